"""bgzip-compressed genome: tavlo against pysam and samtools on the same .fa.gz.

The benchmark genome compressed by Debian's bgzip (benchmarks/data/bgzf_genome.fa.gz, made on
first use), 100-residue regions (fixed seed), in one process; each figure is the median over
interleaved rounds, with the spread of the per-round ratios:

* random:  regions over the whole genome, so most need a block that is not cached
           (tavlo Faidx.fetch loop, tavlo fetch_many, pysam FastaFile.fetch loop)
* window:  regions inside the first 12 MB of text, which the default block cache holds
* sorted:  the random regions in file order (the common pipeline order)
* build:   writing .fai and .gzi (tavlo.Faidx in this process; samtools faidx as a command)
* open:    tavlo.Faidx with both index files present, against the plain file's opening

Targets: random loop >= 3x pysam, fetch_many >= 6x the pysam loop, window >= 50x,
sorted >= 10x, build >= 3x samtools, open <= 1.2x the plain file's.

    python benchmarks/bench_bgzf.py [--regions N] [--rounds N] [--genome PATH]
"""

from __future__ import annotations

import argparse
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

import benchutil as bu


def compressed_genome(plain: str) -> str:
    path = os.path.join(os.path.dirname(plain), "bgzf_" + os.path.basename(plain) + ".gz")
    if not os.path.exists(path) or os.path.getmtime(path) < os.path.getmtime(plain):
        bgzip = shutil.which("bgzip")
        if bgzip is None:
            sys.exit("bench_bgzf: bgzip is needed (Debian package tabix)")
        print(f"compressing {plain} with bgzip ...")
        with open(path + ".part", "wb") as f:
            subprocess.run([bgzip, "-c", "-@", "2", plain], stdout=f, check=True)
        os.replace(path + ".part", path)
    return path


def rounds(candidates: dict, n: int) -> dict:
    """Times of each candidate in each of n rounds; the candidates take turns within a round."""
    out = {k: [] for k, f in candidates.items() if f is not None}
    for _ in range(n):
        for k in out:
            out[k].append(bu.timed(candidates[k]))
    return out


def verdict(v, what, slow, fast, target, ok_if):
    """Median of the per-round ratios slow/fast, their spread, and the verdict."""
    if not slow or not fast:
        v.skip(what, target, "not measured")
        return
    r = sorted(a / b for a, b in zip(slow, fast))
    med = statistics.median(r)
    v.check(what, f"{med:.2f} (spread {r[0]:.2f}-{r[-1]:.2f} over {len(r)} rounds)", target,
            ok_if(med))


def show(title, times, per=None):
    print(f"\n{title}")
    for k, ts in times.items():
        m = statistics.median(ts)
        if per:
            print(f"  {k:<28} {bu.fmt_time(m)}  {m / per * 1e6:9.2f} us/item  "
                  f"(rounds {min(ts) / per * 1e6:.2f}-{max(ts) / per * 1e6:.2f})")
        else:
            print(f"  {k:<28} {bu.fmt_time(m)}  (rounds {bu.fmt_time(min(ts)).strip()} to "
                  f"{bu.fmt_time(max(ts)).strip()})")


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--genome", help="plain FASTA to compress (default: the benchmark genome)")
    p.add_argument("--regions", type=int, default=20_000)
    p.add_argument("--length", type=int, default=100)
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--seed", type=int, default=20240601)
    a = p.parse_args(argv)

    plain = a.genome or bu.make_genome.ensure_genome()
    gz = compressed_genome(plain)
    print(f"bench_bgzf: {a.regions:,} regions of {a.length} residues in {gz}")
    print(bu.environment_line())
    v = bu.Verdicts()
    tavlo = bu.load_tavlo()
    pysam = bu.load_pysam()
    samtools = shutil.which("samtools")
    if tavlo is None:
        return v.report()

    plain_fa = tavlo.Faidx(plain)
    fa = tavlo.Faidx(gz)  # builds the .fai and .gzi when missing or stale
    ff = pysam.FastaFile(gz) if pysam else None
    entries = bu.read_fai(gz + ".fai")
    regions = bu.random_regions(entries, a.regions, a.length, a.seed)
    first = max(entries, key=lambda e: e.rlen)
    window = 12_000_000 * first.lenc // first.lenb
    rng = random.Random(a.seed + 1)
    inside = [(first.name, s, s + a.length - 1)
              for s in (rng.randint(1, window - a.length) for _ in range(a.regions))]
    rank = {e.name: i for i, e in enumerate(entries)}
    ordered = sorted(regions, key=lambda r: (rank[r[0]], r[1]))

    # Correctness on a sample before any timing.
    for n, s, e in regions[:: max(1, len(regions) // 500)] + inside[:200]:
        want = plain_fa.fetch(n, s, e).seq
        if fa.fetch(n, s, e).seq != want:
            v.error(f"tavlo {n}:{s}-{e} differs from the plain file")
            break
        if ff is not None and ff.fetch(n, s - 1, e) != want:
            v.error(f"pysam {n}:{s}-{e} differs from the plain file")
            break
    if [x.seq for x in fa.fetch_many(regions)] != [x.seq for x in plain_fa.fetch_many(regions)]:
        v.error("tavlo fetch_many differs from the plain file")

    def loop(f, regs, shift=0):
        def run():
            for n, s, e in regs:
                f(n, s - shift, e)
        return run

    def cand(regs):
        return {"tavlo Faidx.fetch loop": loop(fa.fetch, regs),
                "pysam FastaFile.fetch loop": loop(ff.fetch, regs, 1) if ff else None}

    t = rounds(cand(regions) | {"tavlo fetch_many": lambda: fa.fetch_many(regions)}, a.rounds)
    show(f"Random regions over the whole genome ({a.rounds} rounds, medians)", t, len(regions))
    pl = t.get("pysam FastaFile.fetch loop")
    verdict(v, "random: pysam loop / tavlo loop", pl, t["tavlo Faidx.fetch loop"], ">= 3",
            lambda r: r >= 3)
    verdict(v, "random: pysam loop / tavlo fetch_many", pl, t["tavlo fetch_many"], ">= 6",
            lambda r: r >= 6)

    w = rounds(cand(inside), a.rounds)
    show("Random regions inside a 12 MB window (the cache holds it)", w, len(inside))
    verdict(v, "window: pysam loop / tavlo loop", w.get("pysam FastaFile.fetch loop"),
            w["tavlo Faidx.fetch loop"], ">= 50", lambda r: r >= 50)

    o = rounds(cand(ordered), a.rounds)
    show("The random regions in file order", o, len(ordered))
    verdict(v, "sorted: pysam loop / tavlo loop", o.get("pysam FastaFile.fetch loop"),
            o["tavlo Faidx.fetch loop"], ">= 10", lambda r: r >= 10)

    # Building both index files, in a scratch folder beside a link to the compressed file.
    with tempfile.TemporaryDirectory() as tmp:
        link = os.path.join(tmp, "g.fa.gz")
        os.symlink(os.path.abspath(gz), link)

        def clean():
            for ext in (".fai", ".gzi"):
                if os.path.exists(link + ext):
                    os.remove(link + ext)

        # CPU seconds too: on a loaded machine the wall-clock ratio says little about a
        # build that runs on every core.
        cpu = {"tavlo": [], "samtools faidx": []}

        def build_tavlo():
            clean()
            t0, c0 = time.perf_counter(), time.process_time()
            tavlo.Faidx(link)
            cpu["tavlo"].append(time.process_time() - c0)
            return time.perf_counter() - t0

        def build_samtools():
            clean()
            c0 = resource.getrusage(resource.RUSAGE_CHILDREN)
            t0 = time.perf_counter()
            subprocess.run([samtools, "faidx", link], check=True)
            t = time.perf_counter() - t0
            c1 = resource.getrusage(resource.RUSAGE_CHILDREN)
            cpu["samtools faidx"].append(c1.ru_utime + c1.ru_stime - c0.ru_utime - c0.ru_stime)
            return t

        b = {"tavlo": [], "samtools faidx": []}
        for _ in range(a.rounds):
            b["tavlo"].append(build_tavlo())
            if samtools:
                b["samtools faidx"].append(build_samtools())
        if samtools:
            same = all(open(link + ext, "rb").read() == open(gz + ext, "rb").read()
                       for ext in (".fai", ".gzi"))
            if not same:
                v.error("samtools' .fai/.gzi differ from tavlo's")
        show("Building .fai and .gzi (wall clock)", {k: x for k, x in b.items() if x})
        show("Building .fai and .gzi (CPU time, all threads)", {k: x for k, x in cpu.items() if x})
        verdict(v, "build: samtools / tavlo", b["samtools faidx"], b["tavlo"], ">= 3",
                lambda r: r >= 3)

    def opening(path):
        def run():
            tavlo.Faidx(path)
        return run

    op = rounds({"plain Faidx(genome.fa)": opening(plain),
                 "bgzf Faidx(genome.fa.gz)": opening(gz)}, max(a.rounds, 15))
    show("Opening with the index files present", op)
    verdict(v, "open: bgzf / plain", op["bgzf Faidx(genome.fa.gz)"],
            op["plain Faidx(genome.fa)"], "<= 1.2", lambda r: r <= 1.2)
    return v.report()


if __name__ == "__main__":
    sys.exit(main())
