"""Index building: tavlo against `wc -l` and `samtools faidx` on the benchmark genome and on a file of many records.

* tavlo:    delete the .fai, then tavlo.Faidx(path), which scans the FASTA
            file, writes the .fai and loads it
* wc -l:    `wc -l path` in a subprocess: one pass over the same bytes, the floor
* samtools: `samtools faidx path --fai-idx OUT` (when samtools is on PATH)

All medians of N with a warm page cache (the file is read once before timing).
Targets: tavlo at most 2x `wc -l`; samtools at least 5x tavlo. When samtools is
present, the .fai that tavlo writes must be byte-identical to samtools' own.

The same on the file of 1,000,000 short records (benchmarks/data/many.fa), where
the cost per record shows. Targets: tavlo at most 0.30 s; samtools at least 8x
tavlo.

    python benchmarks/bench_index.py [--repeats N] [--genome PATH] [--many PATH]
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

import benchutil as bu


def build_times(path, tavlo, samtools, sam_fai, repeats):
    """Median build times of wc -l, tavlo and samtools on `path`, taking turns in each round;
    the .fai is removed (untimed) before each tavlo build."""
    with open(path, "rb") as f:  # warm the page cache
        while f.read(1 << 24):
            pass
    fai = path + ".fai"
    env = dict(os.environ, LC_ALL="C")

    def run_wc():
        subprocess.run(["wc", "-l", path], check=True, stdout=subprocess.DEVNULL, env=env)

    def run_samtools():
        subprocess.run([samtools, "faidx", path, "--fai-idx", sam_fai], check=True)

    def run_tavlo():
        if os.path.exists(fai):
            os.remove(fai)
        return bu.timed(lambda: tavlo.Faidx(path))

    runs = {"wc -l": []}
    if tavlo is not None:
        runs["tavlo Faidx()"] = []
    if samtools:
        runs["samtools faidx"] = []
    for _ in range(repeats):
        runs["wc -l"].append(bu.timed(run_wc))
        if tavlo is not None:
            runs["tavlo Faidx()"].append(run_tavlo())
        if samtools:
            runs["samtools faidx"].append(bu.timed(run_samtools))
    return bu.Timings(runs)


def check_identical(path, sam_fai, tavlo, samtools, v):
    """Whether the .fai tavlo wrote for `path` is byte-identical to samtools' (True if unchecked)."""
    name = os.path.basename(path)
    if tavlo is None or not samtools:
        v.skip(f".fai of {name} identical to samtools'", "identical", "needs tavlo and samtools")
        return True
    with open(path + ".fai", "rb") as f1, open(sam_fai, "rb") as f2:
        same = f1.read() == f2.read()
    v.check(f".fai of {name} identical to samtools'", "yes" if same else "no", "identical", same)
    if not same:
        v.error(f"{path}.fai differs from the index samtools writes ({sam_fai} kept)")
    return same


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--genome", help="FASTA file (default: the generated benchmark genome)")
    p.add_argument("--many", help="FASTA file of many records (default: the generated one)")
    p.add_argument("--repeats", type=int, default=5)
    a = p.parse_args(argv)

    path = a.genome or bu.make_genome.ensure_genome()
    size = os.path.getsize(path)
    print(f"bench_index: {path} ({size / 1e6:.1f} MB)")
    print(bu.environment_line())
    v = bu.Verdicts()

    tavlo = bu.load_tavlo()
    if tavlo is not None and bu.missing(tavlo, "Faidx"):
        print("tavlo: no Faidx yet; its measurements are skipped")
        tavlo = None
    samtools = shutil.which("samtools")
    if samtools is None:
        print("samtools: not on PATH (apt-get install samtools); its measurements are skipped")

    tmp = tempfile.mkdtemp(prefix="tavlo-bench-index-")
    sam_fai = os.path.join(tmp, "samtools.fai")
    t = build_times(path, tavlo, samtools, sam_fai, a.repeats)
    bu.table(f"Building the index of {size / 1e6:.0f} MB (median of {a.repeats})",
             [(k, t.get(k)) for k in ("wc -l", "tavlo Faidx()", "samtools faidx")],
             ref="wc -l", rows_from=t)
    tv, wv, sv = t.get("tavlo Faidx()"), t["wc -l"], t.get("samtools faidx")
    for k, x in t.items():
        print(f"  {k:<16} {size / x / 1e9:6.2f} GB/s")

    r = bu.ratio(tv, wv)
    if r is None:
        v.skip("tavlo build / wc -l", "<= 2", "tavlo unavailable")
    else:
        v.check("tavlo build / wc -l", f"{r:.2f}", "<= 2", r <= 2)
    r = bu.ratio(sv, tv)
    if r is None:
        v.skip("samtools faidx / tavlo build", ">= 5",
               "samtools not on PATH" if sv is None else "tavlo unavailable")
    else:
        v.check("samtools faidx / tavlo build", f"{r:.1f}", ">= 5", r >= 5)
    same = check_identical(path, sam_fai, tavlo, samtools, v)

    # The file of 1,000,000 short records: the cost per record, not per byte.
    many = a.many or bu.make_genome.ensure_many()
    many_fai = os.path.join(tmp, "samtools-many.fai")
    t = build_times(many, tavlo, samtools, many_fai, a.repeats)
    bu.table(f"Building the index of {os.path.getsize(many) / 1e6:.0f} MB in 1,000,000 records "
             f"(median of {a.repeats})",
             [(k, t.get(k)) for k in ("wc -l", "tavlo Faidx()", "samtools faidx")],
             per=1_000_000, ref="wc -l", rows_from=t)
    tv, sv = t.get("tavlo Faidx()"), t.get("samtools faidx")
    if tv is None:
        v.skip("tavlo build of 1,000,000 records", "<= 0.30 s", "tavlo unavailable")
    else:
        v.check("tavlo build of 1,000,000 records", f"{tv:.3f} s", "<= 0.30 s", tv <= 0.30)
    r = bu.ratio(sv, tv)
    if r is None:
        v.skip("samtools faidx / tavlo build, 1,000,000 records", ">= 8",
               "samtools not on PATH" if sv is None else "tavlo unavailable")
    else:
        v.check("samtools faidx / tavlo build, 1,000,000 records", f"{r:.1f}", ">= 8", r >= 8)
    same = check_identical(many, many_fai, tavlo, samtools, v) and same
    if not same:
        tmp = None  # kept for a look at the differing files

    if tmp:
        shutil.rmtree(tmp, ignore_errors=True)
    return v.report()


if __name__ == "__main__":
    sys.exit(main())
