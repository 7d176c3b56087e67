"""Index building: tavlo against `wc -l` and `samtools faidx` on the benchmark genome.

* tavlo:    delete the .fai, then tavlo.Faidx(path), which scans the FASTA
            file, writes the .fai and loads it
* wc -l:    `wc -l path` in a subprocess: one pass over the same bytes, the floor
* samtools: `samtools faidx path --fai-idx OUT` (when samtools is on PATH)

All best of N with a warm page cache (the file is read once before timing).
Targets: tavlo at most 2x `wc -l`; samtools at least 5x tavlo. When samtools is
present, the .fai that tavlo writes must be byte-identical to samtools' own.

    python benchmarks/bench_index.py [--repeats N] [--genome PATH]
"""

from __future__ import annotations

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

import benchutil as bu


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--genome", help="FASTA file (default: the generated benchmark genome)")
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

    # Warm the page cache.
    with open(path, "rb") as f:
        while f.read(1 << 24):
            pass

    tmp = tempfile.mkdtemp(prefix="tavlo-bench-index-")
    sam_fai = os.path.join(tmp, "samtools.fai")
    fai = path + ".fai"

    def run_wc():
        subprocess.run(["wc", "-l", path], check=True, stdout=subprocess.DEVNULL,
                       env=dict(os.environ, LC_ALL="C"))

    def run_samtools():
        subprocess.run([samtools, "faidx", path, "--fai-idx", sam_fai], check=True)

    def run_tavlo():
        tavlo.Faidx(path)

    def drop_fai():
        if os.path.exists(fai):
            os.remove(fai)

    # wc and samtools take turns with tavlo inside each round; the .fai is
    # removed (untimed) before each tavlo build.
    best = {"wc -l": float("inf")}
    if tavlo is not None:
        best["tavlo Faidx()"] = float("inf")
    if samtools:
        best["samtools faidx"] = float("inf")
    for _ in range(a.repeats):
        best["wc -l"] = min(best["wc -l"], bu.timed(run_wc))
        if tavlo is not None:
            drop_fai()
            best["tavlo Faidx()"] = min(best["tavlo Faidx()"], bu.timed(run_tavlo))
        if samtools:
            best["samtools faidx"] = min(best["samtools faidx"], bu.timed(run_samtools))

    bu.table(f"Building the index of {size / 1e6:.0f} MB (best of {a.repeats})",
             [(k, best.get(k)) for k in ("wc -l", "tavlo Faidx()", "samtools faidx")],
             ref="wc -l")
    tv, wv, sv = best.get("tavlo Faidx()"), best["wc -l"], best.get("samtools faidx")
    for k, t in best.items():
        print(f"  {k:<16} {size / t / 1e9:6.2f} GB/s")

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

    if tavlo is not None and samtools:
        with open(fai, "rb") as f1, open(sam_fai, "rb") as f2:
            same = f1.read() == f2.read()
        v.check(".fai identical to samtools'", "yes" if same else "no", "identical", same)
        if not same:
            v.error(f"{fai} differs from the index samtools writes ({sam_fai} kept)")
            tmp = None
    else:
        v.skip(".fai identical to samtools'", "identical", "needs tavlo and samtools")

    if tmp:
        shutil.rmtree(tmp, ignore_errors=True)
    return v.report()


if __name__ == "__main__":
    sys.exit(main())
