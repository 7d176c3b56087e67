"""Shared helpers of the benchmark scripts: timing, regions, tables, verdicts.

Timings are medians of N wall-clock times (time.perf_counter), shown with their
spread, with the cyclic garbage collector switched off while a candidate runs,
as timeit does, so that a
collection triggered by one candidate's garbage is not billed to another. The
candidates of one comparison run in turn inside each repeat, so that they see
the same state of the page cache and CPU.
"""

from __future__ import annotations

import bisect
import gc
import os
import random
import resource
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
if HERE not in sys.path:
    sys.path.insert(0, HERE)

import make_genome  # noqa: E402,F401  (re-exported for the scripts)

# ---------------------------------------------------------------------------
# Optional modules


def load_tavlo():
    """The tavlo module, or None (with the reason printed) when it cannot be imported."""
    try:
        import tavlo
    except ImportError as e:
        print(f"tavlo: not importable ({e}); its measurements are skipped")
        return None
    return tavlo


def load_pysam():
    try:
        import pysam
    except ImportError:
        print("pysam: not installed (pip install pysam); its measurements are skipped")
        return None
    return pysam


def missing(obj, *attrs):
    """The first of the dotted attribute paths that `obj` lacks, or None."""
    for path in attrs:
        o = obj
        for part in path.split("."):
            if not hasattr(o, part):
                return path
            o = getattr(o, part)
    return None


# ---------------------------------------------------------------------------
# Timing


def timed(fn):
    """Seconds taken by one call of fn(), with the cyclic GC off.

    What fn returns is released after the clock stops, so freeing a large
    result is not part of the time.
    """
    enabled = gc.isenabled()
    gc.collect()
    gc.disable()
    try:
        t = time.perf_counter()
        result = fn()
        t = time.perf_counter() - t
        del result
        return t
    finally:
        if enabled:
            gc.enable()


class Timings(dict):
    """Median seconds per candidate; `samples` keeps every run, for the spread."""

    def __init__(self, samples: dict):
        super().__init__({k: statistics.median(v) for k, v in samples.items()})
        self.samples = dict(samples)

    def update(self, other):
        super().update(other)
        self.samples.update(getattr(other, "samples", {}))


def median_of(candidates: dict, repeats: int) -> Timings:
    """Median time of each candidate over `repeats` rounds; candidates take turns in a round, so
    that a busy moment of the machine falls on all of them alike. A candidate whose value is None
    is left out of the result."""
    runs = {k: [] for k, f in candidates.items() if f is not None}
    for _ in range(repeats):
        for k in runs:
            runs[k].append(timed(candidates[k]))
    return Timings(runs)


def spread(samples) -> str:
    """The range of a candidate's runs around their median, e.g. '-3%/+12% of 7'."""
    m = statistics.median(samples)
    if not m:
        return ""
    return f"{(min(samples) / m - 1) * 100:+.0f}%/{(max(samples) / m - 1) * 100:+.0f}% of {len(samples)}"


# ---------------------------------------------------------------------------
# Index files and regions


class Entry:
    __slots__ = ("name", "rlen", "offset", "lenc", "lenb")

    def __init__(self, name, rlen, offset, lenc, lenb):
        self.name, self.rlen, self.offset, self.lenc, self.lenb = name, rlen, offset, lenc, lenb

    def byte(self, p: int) -> int:
        """File offset of 1-based residue p."""
        return self.offset + (p - 1) // self.lenc * self.lenb + (p - 1) % self.lenc


def read_fai(path: str) -> list[Entry]:
    out = []
    with open(path, encoding="utf-8") as f:
        for line in f:
            name, *nums = line.rstrip("\n").split("\t")
            out.append(Entry(name, *map(int, nums)))
    return out


def ensure_fai(fasta: str) -> str:
    """Path of an index of `fasta`, written with samtools or here when missing.

    The index is written the way samtools writes it, for the peers that need
    one; the tavlo measurements build or read their own where that matters.
    """
    fai = fasta + ".fai"
    if os.path.exists(fai) and os.path.getmtime(fai) >= os.path.getmtime(fasta):
        return fai
    entries = scan_fasta(fasta)
    tmp = fai + ".part"
    with open(tmp, "w", encoding="utf-8") as f:
        for e in entries:
            f.write(f"{e.name}\t{e.rlen}\t{e.offset}\t{e.lenc}\t{e.lenb}\n")
    os.replace(tmp, fai)
    return fai


def scan_fasta(path: str) -> list[Entry]:
    """Index entries of a well-formed FASTA file (a slow reference scan)."""
    out = []
    pos = 0
    cur = None
    with open(path, "rb") as f:
        for line in f:
            if line.startswith(b">"):
                if cur:
                    out.append(cur)
                name = line[1:].split()[0].decode() if line[1:].split() else ""
                cur = Entry(name, 0, pos + len(line), 0, 0)
            elif cur is not None:
                n = len(line.rstrip(b"\r\n"))
                if cur.lenb == 0:
                    cur.lenc, cur.lenb = n, len(line)
                cur.rlen += n
            pos += len(line)
    if cur:
        out.append(cur)
    return out


def random_regions(entries, count: int, length: int, seed: int, names=None):
    """`count` regions (name, start, end), 1-based inclusive, `length` residues each,
    placed uniformly over the residues of the named records (all by default)."""
    rng = random.Random(seed)
    pool = [e for e in entries if (names is None or e.name in names) and e.rlen >= length]
    cum = []
    total = 0
    for e in pool:
        total += e.rlen - length + 1
        cum.append(total)
    out = []
    for _ in range(count):
        x = int(rng.random() * total)
        i = bisect.bisect_right(cum, x)
        e = pool[i]
        start = x - (cum[i - 1] if i else 0) + 1
        out.append((e.name, start, start + length - 1))
    return out


def random_sized_regions(entries, count: int, lo: int, hi: int, seed: int):
    """`count` regions of lo..hi residues each, inside their records."""
    rng = random.Random(seed)
    cum = []
    total = 0
    for e in entries:
        total += e.rlen
        cum.append(total)
    out = []
    for _ in range(count):
        n = lo + int(rng.random() * (hi - lo + 1))
        while True:
            x = int(rng.random() * total)
            i = bisect.bisect_right(cum, x)
            e = entries[i]
            if e.rlen >= n:
                break
        start = 1 + int(rng.random() * (e.rlen - n + 1))
        out.append((e.name, start, start + n - 1))
    return out


# ---------------------------------------------------------------------------
# Memory of this process


def proc_status() -> dict:
    """Memory figures of this process from /proc/self/status, in bytes."""
    out = {}
    with open("/proc/self/status") as f:
        for line in f:
            key, _, val = line.partition(":")
            if key in ("VmRSS", "VmHWM", "RssAnon", "RssFile"):
                out[key] = int(val.split()[0]) * 1024
    return out


def reset_peak() -> bool:
    """Reset VmHWM to the current RSS (Linux >= 4.0); False when not allowed."""
    try:
        with open("/proc/self/clear_refs", "w") as f:
            f.write("5")
        return True
    except OSError:
        return False


def trim_heap() -> None:
    """Hand freed heap memory back to the system (glibc), so RSS reflects live data."""
    try:
        import ctypes
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except (OSError, AttributeError):
        pass


def peak_rss(after_reset: bool = True) -> int:
    """Peak RSS in bytes: VmHWM, which reset_peak() moves down; ru_maxrss never moves
    down, so it stands in only where the reset was refused."""
    if after_reset:
        return proc_status()["VmHWM"]
    return resource.getrusage(resource.RUSAGE_SELF).ru_maxrss * 1024


def run_child(code: str, *args) -> str:
    """Run `code` in a fresh interpreter (this one) and return its standard output."""
    r = subprocess.run([sys.executable, "-c", code, *map(str, args)],
                       capture_output=True, text=True, cwd=HERE)
    if r.returncode != 0:
        raise RuntimeError(f"child process failed ({r.returncode}):\n{r.stderr}")
    return r.stdout


# ---------------------------------------------------------------------------
# Reporting


def fmt_time(t: float) -> str:
    if t < 1e-3:
        return f"{t * 1e6:8.1f} us"
    if t < 1:
        return f"{t * 1e3:8.2f} ms"
    return f"{t:8.3f} s "


def table(title: str, rows, per: int | None = None, ref: str | None = None,
          rows_from=None) -> None:
    """Print rows of (label, seconds); `per` adds a per-item column, `ref` a ratio column, and
    `rows_from` (the Timings the rows came from) the spread of each row's runs."""
    rows = [(k, v) for k, v in rows if v is not None]
    print(f"\n{title}")
    if not rows:
        print("  (nothing measured)")
        return
    width = max(len(k) for k, _ in rows)
    base = dict(rows).get(ref) if ref else None
    for k, v in rows:
        line = f"  {k:<{width}}  {fmt_time(v)}"
        if per:
            line += f"  {v / per * 1e9:9.1f} ns/item"
        if base:
            line += f"  {v / base:7.2f}x {ref}"
        runs = getattr(rows_from, "samples", {}).get(k) if rows_from is not None else None
        if runs and len(runs) > 1:
            line += f"  (runs {spread(runs)})"
        print(line)


class Verdicts:
    """PASS/FAIL/SKIP lines for the targets of one script."""

    def __init__(self):
        self.rows = []
        self.errors = []

    def check(self, what: str, value, target: str, ok) -> None:
        """ok: True, False, or None when the measurement could not be made."""
        state = "SKIP" if ok is None else ("PASS" if ok else "FAIL")
        shown = "-" if value is None else value
        self.rows.append((state, what, shown, target))

    def skip(self, what: str, target: str, why: str) -> None:
        self.rows.append(("SKIP", what, why, target))

    def error(self, text: str) -> None:
        """A wrong result: reported, and the script exits non-zero."""
        self.errors.append(text)
        print(f"MISMATCH: {text}")

    def report(self) -> int:
        print("\nTargets")
        if self.rows:
            w = max(len(r[1]) for r in self.rows)
            for state, what, shown, target in self.rows:
                print(f"  {state}  {what:<{w}}  {shown}  (target {target})")
        for e in self.errors:
            print(f"  FAIL  results differ: {e}")
        return 1 if self.errors else 0


def ratio(a, b):
    """a / b, or None when either is missing."""
    if a is None or b is None or b == 0:
        return None
    return a / b


def environment_line() -> str:
    import platform
    try:
        cpus = len(os.sched_getaffinity(0))
    except AttributeError:
        cpus = os.cpu_count()
    load = ", ".join(f"{x:.2f}" for x in os.getloadavg())
    return (f"python {platform.python_version()}, {cpus} CPUs available, {platform.machine()}, "
            f"load average {load}")
