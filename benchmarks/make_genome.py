"""Deterministic synthetic FASTA files for the benchmarks.

Two files, both written under benchmarks/data/ by default:

* genome.fa: a ~200 Mb genome of ten chromosomes, wrapped at 60 residues,
  mostly upper-case ACGT with soft-masked (lower-case) stretches and runs of N.
* many.fa: 1,000,000 short records, for opening an index of many names and for
  the name-listing operations.

Every byte comes from SHAKE-128 streams keyed by fixed labels, so the output is
the same on every machine, every Python version and every run (the `random`
module promises a stable stream only for random(), not for randbytes() or
choices()). An existing file of the expected size is kept as it is.

    python benchmarks/make_genome.py                 # genome.fa
    python benchmarks/make_genome.py --many          # many.fa
    python benchmarks/make_genome.py --size 1000000 --line-width 70 --out /tmp/g.fa
"""

from __future__ import annotations

import argparse
import hashlib
import os
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA_DIR = os.path.join(HERE, "data")
GENOME_PATH = os.path.join(DATA_DIR, "genome.fa")
MANY_PATH = os.path.join(DATA_DIR, "many.fa")

DEFAULT_SIZE = 200_000_000
DEFAULT_WIDTH = 60
DEFAULT_RECORDS = 1_000_000

SEED = b"tavlo-bench-v1/"

# Relative chromosome sizes (sum 200) and small offsets that keep most lengths
# off a multiple of the line width, so most records end in a short line.
WEIGHTS = (40, 32, 28, 24, 20, 18, 14, 12, 8, 4)
NUDGES = (17, -17, 31, -31, 7, -7, 43, -43, 1, -1)

# Byte -> residue: an even spread of A, C, G, T.
ACGT_TABLE = bytes(b"ACGT"[i & 3] for i in range(256))

CHUNK = 8 * 1024 * 1024


def stream(label: str, n: int) -> bytes:
    """n pseudo-random bytes, fixed for a given label."""
    return hashlib.shake_128(SEED + label.encode()).digest(n)


def numbers(label: str, count: int) -> list[int]:
    """count pseudo-random 64-bit integers, fixed for a given label."""
    raw = stream(label, 8 * count)
    return [int.from_bytes(raw[i : i + 8], "little") for i in range(0, len(raw), 8)]


# ---------------------------------------------------------------------------
# genome.fa


def chromosome_lengths(size: int) -> list[tuple[str, int]]:
    """Names and lengths of the chromosomes of a genome of `size` residues."""
    total = sum(WEIGHTS)
    lengths = [size * w // total for w in WEIGHTS]
    if size >= 100 * len(WEIGHTS):
        lengths = [n + d for n, d in zip(lengths, NUDGES)]
    lengths[0] += size - sum(lengths)
    return [(f"chr{i + 1}", n) for i, n in enumerate(lengths)]


def header(name: str, length: int) -> bytes:
    return f">{name} synthetic chromosome length={length}\n".encode()


def expected_genome_size(size: int, width: int) -> int:
    out = 0
    for name, n in chromosome_lengths(size):
        out += len(header(name, n)) + n + (n + width - 1) // width
    return out


def chromosome_residues(name: str, length: int) -> bytearray:
    seq = bytearray()
    for i in range(0, length, CHUNK):
        n = min(CHUNK, length - i)
        seq += stream(f"{name}/residues/{i}", n).translate(ACGT_TABLE)

    # Soft-masked repeats: one stretch of 100..5,099 residues per 20 kb.
    masked = length // 20_000
    nums = numbers(f"{name}/masked", 2 * masked)
    for k in range(masked):
        run = 100 + nums[2 * k + 1] % 5_000
        a = nums[2 * k] % max(1, length - run)
        seq[a : a + run] = seq[a : a + run].lower()

    # Assembly gaps: one run of 1,000..50,999 N per 2 Mb, plus an N cap at the
    # start of every chromosome large enough to carry one.
    gaps = length // 2_000_000
    nums = numbers(f"{name}/gaps", 2 * gaps)
    for k in range(gaps):
        run = 1_000 + nums[2 * k + 1] % 50_000
        a = nums[2 * k] % max(1, length - run)
        seq[a : a + run] = b"N" * run
    if length >= 1_000_000:
        seq[:10_000] = b"N" * 10_000
    return seq


def wrap(seq, width: int) -> bytes:
    lines = [seq[i : i + width] for i in range(0, len(seq), width)]
    lines.append(b"")
    return b"\n".join(lines)


def write_genome(path: str, size: int, width: int) -> None:
    tmp = path + ".part"
    with open(tmp, "wb") as out:
        for name, length in chromosome_lengths(size):
            out.write(header(name, length))
            seq = chromosome_residues(name, length)
            for i in range(0, length, width * 100_000):
                out.write(wrap(memoryview(seq)[i : i + width * 100_000], width))
    os.replace(tmp, path)


# ---------------------------------------------------------------------------
# many.fa


def many_layout(records: int) -> list[tuple[str, int]]:
    """Names and lengths (1..150 residues) of the records of many.fa."""
    raw = stream("many/lengths", records)
    return [(f"scaffold_{i + 1}", 1 + raw[i] % 150) for i in range(records)]


def expected_many_size(records: int, width: int) -> int:
    return sum(len(name) + 2 + n + (n + width - 1) // width for name, n in many_layout(records))


def write_many(path: str, records: int, width: int) -> None:
    layout = many_layout(records)
    pool = stream("many/residues", sum(n for _, n in layout)).translate(ACGT_TABLE)
    tmp = path + ".part"
    pos = 0
    with open(tmp, "wb") as out:
        parts = []
        for name, n in layout:
            parts.append(b">" + name.encode() + b"\n")
            parts.append(wrap(pool[pos : pos + n], width))
            pos += n
            if len(parts) >= 20_000:
                out.write(b"".join(parts))
                parts.clear()
        out.write(b"".join(parts))
    os.replace(tmp, path)


# ---------------------------------------------------------------------------


def _ensure(path, expected, writer, what, quiet):
    if os.path.exists(path) and os.path.getsize(path) == expected:
        return path
    os.makedirs(os.path.dirname(os.path.abspath(path)), exist_ok=True)
    # An index left from an earlier file would no longer match.
    for stale in (path + ".fai",):
        if os.path.exists(stale):
            os.remove(stale)
    if not quiet:
        print(f"writing {what} to {path} ...", file=sys.stderr, flush=True)
    t = time.perf_counter()
    writer()
    if os.path.getsize(path) != expected:
        raise RuntimeError(f"{path}: wrote {os.path.getsize(path)} bytes, expected {expected}")
    if not quiet:
        print(f"  done in {time.perf_counter() - t:.1f} s", file=sys.stderr, flush=True)
    return path


def ensure_genome(path=GENOME_PATH, size=DEFAULT_SIZE, width=DEFAULT_WIDTH, quiet=False) -> str:
    """Path of the genome, written first when missing or of the wrong size."""
    return _ensure(path, expected_genome_size(size, width),
                   lambda: write_genome(path, size, width),
                   f"a {size:,}-residue genome", quiet)


def ensure_many(path=MANY_PATH, records=DEFAULT_RECORDS, width=DEFAULT_WIDTH, quiet=False) -> str:
    """Path of the many-records file, written first when missing or of the wrong size."""
    return _ensure(path, expected_many_size(records, width),
                   lambda: write_many(path, records, width),
                   f"{records:,} short records", quiet)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--many", action="store_true",
                   help="write the file of many short records instead of the genome")
    p.add_argument("--size", type=int, default=DEFAULT_SIZE,
                   help="residues in the genome (default %(default)s)")
    p.add_argument("--records", type=int, default=DEFAULT_RECORDS,
                   help="records in the --many file (default %(default)s)")
    p.add_argument("--line-width", type=int, default=DEFAULT_WIDTH,
                   help="residues per line (default %(default)s)")
    p.add_argument("--out", help="output path (default benchmarks/data/genome.fa or many.fa)")
    p.add_argument("--force", action="store_true", help="rewrite even when the file looks complete")
    a = p.parse_args(argv)
    if a.line_width < 1 or a.size < 0 or a.records < 0:
        p.error("sizes must be positive")
    if a.many:
        out = a.out or MANY_PATH
        if a.force and os.path.exists(out):
            os.remove(out)
        ensure_many(out, a.records, a.line_width)
    else:
        out = a.out or GENOME_PATH
        if a.force and os.path.exists(out):
            os.remove(out)
        ensure_genome(out, a.size, a.line_width)
    print(out)
    return 0


if __name__ == "__main__":
    sys.exit(main())
