"""Single-region fetch: tavlo.Faidx.fetch against a Python mmap slice and pysam.

200,000 random 100-residue regions (fixed seed) of the benchmark genome, each
fetched by a plain Python loop, in one process:

* tavlo:  fa.fetch(name, start, end) with fa = tavlo.Faidx(path)
* mmap:   mm[a:b] on a Python mmap of the file, with the byte offsets a, b of
          every region computed before the timed loop: one call and one new
          object per region, the floor of any Python-level fetch
* pysam:  pysam.FastaFile(path).fetch(name, start - 1, end)

Targets: tavlo at most 1.2x the mmap loop, and at most 1.6x it on one region
repeated (cache-hot: the cost of the call); pysam at least 20x tavlo.

    python benchmarks/bench_fetch.py [--regions N] [--repeats N] [--genome PATH]
"""

from __future__ import annotations

import argparse
import mmap
import sys

import benchutil as bu


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--genome", help="FASTA file (default: the generated benchmark genome)")
    p.add_argument("--regions", type=int, default=200_000)
    p.add_argument("--length", type=int, default=100)
    p.add_argument("--repeats", type=int, default=7)
    p.add_argument("--pysam-repeats", type=int, default=3)
    p.add_argument("--seed", type=int, default=20240601)
    a = p.parse_args(argv)

    path = a.genome or bu.make_genome.ensure_genome()
    print(f"bench_fetch: {a.regions:,} regions of {a.length} residues in {path}")
    print(bu.environment_line())
    v = bu.Verdicts()

    tavlo = bu.load_tavlo()
    pysam = bu.load_pysam()
    fa = None
    if tavlo is not None:
        gap = bu.missing(tavlo, "Faidx", "Faidx.fetch")
        if gap:
            print(f"tavlo: no {gap} yet; its measurements are skipped")
        else:
            fa = tavlo.Faidx(path)  # builds the index when missing or stale
    fai = path + ".fai" if fa is not None else bu.ensure_fai(path)

    entries = bu.read_fai(fai)
    by_name = {e.name: e for e in entries}
    regions = bu.random_regions(entries, a.regions, a.length, a.seed)
    offsets = []
    for name, s, e in regions:
        ent = by_name[name]
        offsets.append((ent.byte(s), ent.byte(e) + 1))

    f = open(path, "rb")
    mm = mmap.mmap(f.fileno(), 0, prot=mmap.PROT_READ)
    ff = pysam.FastaFile(path) if pysam else None

    # Correctness on a sample before any timing.
    sample = range(0, len(regions), max(1, len(regions) // 2000))
    for i in sample:
        name, s, e = regions[i]
        want = mm[offsets[i][0]:offsets[i][1]].replace(b"\n", b"").decode()
        if len(want) != e - s + 1:
            v.error(f"mmap slice of region {i} has {len(want)} residues")
        if fa is not None:
            got = fa.fetch(name, s, e)
            if got.seq != want or (got.start, got.end) != (s, e):
                v.error(f"tavlo region {i} {name}:{s}-{e}: {got.seq[:20]!r}... != {want[:20]!r}...")
                break
        if ff is not None and ff.fetch(name, s - 1, e) != want:
            v.error(f"pysam region {i} differs from the file")
            break

    def loop_tavlo():
        fetch = fa.fetch
        for name, s, e in regions:
            fetch(name, s, e)

    def loop_mmap():
        m = mm
        for b0, b1 in offsets:
            m[b0:b1]

    def loop_pysam():
        fetch = ff.fetch
        for name, s, e in regions:
            fetch(name, s - 1, e)

    t = bu.median_of({"mmap slice": loop_mmap,
                      "tavlo Faidx.fetch": loop_tavlo if fa is not None else None}, a.repeats)
    if ff is not None:
        t.update(bu.median_of({"pysam FastaFile.fetch": loop_pysam}, a.pysam_repeats))

    bu.table(f"Python loop over {a.regions:,} regions (median of {a.repeats}; pysam median of "
             f"{a.pysam_repeats})",
             [(k, t.get(k)) for k in ("mmap slice", "tavlo Faidx.fetch", "pysam FastaFile.fetch")],
             per=a.regions, ref="mmap slice", rows_from=t)

    # The same region over and over: the residues stay in cache, so this shows
    # the cost of the call itself, apart from memory latency.
    name0, s0, e0 = regions[0]
    hot_regions = [regions[0]] * len(regions)
    hot_offsets = [offsets[0]] * len(regions)

    def hot_tavlo():
        fetch = fa.fetch
        for name, s, e in hot_regions:
            fetch(name, s, e)

    def hot_mmap():
        m = mm
        for b0, b1 in hot_offsets:
            m[b0:b1]

    h = bu.median_of({"mmap slice": hot_mmap,
                      "tavlo Faidx.fetch": hot_tavlo if fa is not None else None}, a.repeats)
    bu.table(f"The same region {len(regions):,} times, cache-hot (median of {a.repeats}): "
             "call overhead only",
             [(k, h.get(k)) for k in ("mmap slice", "tavlo Faidx.fetch")],
             per=len(regions), ref="mmap slice", rows_from=h)

    tv, mv, pv = t.get("tavlo Faidx.fetch"), t.get("mmap slice"), t.get("pysam FastaFile.fetch")
    r = bu.ratio(tv, mv)
    if r is None:
        v.skip("tavlo fetch / mmap slice", "<= 1.2", "tavlo fetch unavailable")
    else:
        v.check("tavlo fetch / mmap slice", f"{r:.2f}", "<= 1.2", r <= 1.2)
    r = bu.ratio(h.get("tavlo Faidx.fetch"), h.get("mmap slice"))
    if r is None:
        v.skip("cache-hot tavlo fetch / mmap slice", "<= 1.6", "tavlo fetch unavailable")
    else:
        v.check("cache-hot tavlo fetch / mmap slice", f"{r:.2f}", "<= 1.6", r <= 1.6)
    r = bu.ratio(pv, tv)
    if r is None:
        v.skip("pysam fetch / tavlo fetch", ">= 20",
               "pysam not installed" if pv is None else "tavlo fetch unavailable")
    else:
        v.check("pysam fetch / tavlo fetch", f"{r:.1f}", ">= 20", r >= 20)

    mm.close()
    f.close()
    return v.report()


if __name__ == "__main__":
    sys.exit(main())
