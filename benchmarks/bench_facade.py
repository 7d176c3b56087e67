"""The dictionary-like Fasta class against the Faidx it wraps.

On the benchmark genome, 200,000 random 100-residue regions, each a Python loop:

* fa[name][start - 1:end] with fa = tavlo.Fasta(path): at most 1.15x Faidx.fetch
* fa.get_seq(name, start, end): at most 1.2x Faidx.fetch
* fa.fetch_many(regions, rc=True): at most 1.3x fa.fetch_many(regions)

On the file of 1,000,000 records (benchmarks/data/many.fa):

* fa.keys(), len(fa) and iterating the records (for rec in fa): each under 0.3 s
* fa[i] for every position i: under 2 s in total. A small sample is timed
  first; when it projects past a minute (a listing rebuilt on every call) the
  full loop is not run and the projection is reported instead.

pysam.FastaFile.fetch runs once over the same regions for reference.

    python benchmarks/bench_facade.py [--regions N] [--repeats N] [--genome PATH] [--many PATH]
"""

from __future__ import annotations

import argparse
import sys
import time

import benchutil as bu


def genome_part(a, tavlo, pysam, v):
    path = a.genome or bu.make_genome.ensure_genome()
    fa = tavlo.Fasta(path)
    fx = tavlo.Faidx(path)
    entries = bu.read_fai(path + ".fai")
    regions = bu.random_regions(entries, a.regions, 100, a.seed)
    n = len(regions)

    for how, get in (("fa[name][s-1:e]", lambda name, s, e: fa[name][s - 1:e]),
                     ("fa.get_seq", fa.get_seq)):
        for name, s, e in regions[:: max(1, n // 2000)]:
            got, want = get(name, s, e), fx.fetch(name, s, e)
            if (got.seq, got.start, got.end) != (want.seq, want.start, want.end):
                v.error(f"{how} of {name}:{s}-{e} differs from Faidx.fetch")
                break

    def loop_fetch():
        f = fx.fetch
        for name, s, e in regions:
            f(name, s, e)

    def loop_subscript():
        for name, s, e in regions:
            fa[name][s - 1:e]

    def loop_get_seq():
        g = fa.get_seq
        for name, s, e in regions:
            g(name, s, e)

    t = bu.median_of({"Faidx.fetch": loop_fetch, "fa[name][s-1:e]": loop_subscript,
                      "fa.get_seq": loop_get_seq}, a.repeats)
    if pysam is not None:
        ff = pysam.FastaFile(path)

        def loop_pysam():
            f = ff.fetch
            for name, s, e in regions:
                f(name, s - 1, e)
        t.update(bu.median_of({"pysam FastaFile.fetch": loop_pysam}, 1))
    bu.table(f"Python loop over {n:,} random 100-residue regions (median of {a.repeats}; pysam 1 run)",
             [(k, t.get(k)) for k in ("Faidx.fetch", "fa[name][s-1:e]", "fa.get_seq",
                                      "pysam FastaFile.fetch")],
             per=n, ref="Faidx.fetch", rows_from=t)
    r = t["fa[name][s-1:e]"] / t["Faidx.fetch"]
    v.check("fa[name][s:e] / Faidx.fetch", f"{r:.2f}", "<= 1.15", r <= 1.15)
    r = t["fa.get_seq"] / t["Faidx.fetch"]
    v.check("fa.get_seq / Faidx.fetch", f"{r:.2f}", "<= 1.2", r <= 1.2)

    if bu.missing(tavlo, "Fasta.fetch_many"):
        v.skip("fetch_many(rc=True) / fetch_many()", "<= 1.3", "Fasta.fetch_many unavailable")
        return
    plain = fa.fetch_many(regions)
    rc = fa.fetch_many(regions, rc=True)
    for i in range(0, n, max(1, n // 2000)):
        if rc[i].seq != (-plain[i]).seq:
            v.error(f"fetch_many(rc=True)[{i}] is not the reverse complement of fetch_many()[{i}]")
            break
    del plain, rc
    t = bu.median_of({"fa.fetch_many(regions)": lambda: fa.fetch_many(regions),
                      "fa.fetch_many(regions, rc=True)": lambda: fa.fetch_many(regions, rc=True)},
                     a.repeats)
    bu.table(f"Batch of {n:,} regions (median of {a.repeats})", list(t.items()), per=n,
             ref="fa.fetch_many(regions)", rows_from=t)
    r = t["fa.fetch_many(regions, rc=True)"] / t["fa.fetch_many(regions)"]
    v.check("fetch_many(rc=True) / fetch_many()", f"{r:.2f}", "<= 1.3", r <= 1.3)


def many_part(a, tavlo, v):
    path = a.many or bu.make_genome.ensure_many()
    fa = tavlo.Fasta(path)  # builds the index when missing
    entries = bu.read_fai(path + ".fai")
    n = len(entries)
    names = sorted(e.name for e in entries)
    total = sum(e.rlen for e in entries)
    keys = fa.keys()
    if sorted(keys) != names:
        v.error("Fasta.keys() does not list every name of the index once")
    if len(fa) != total:
        v.error(f"len(Fasta) is {len(fa)}, the residues add up to {total}")

    def iterate():
        for _ in fa:
            pass

    t = bu.median_of({"fa.keys()": fa.keys, "len(fa)": lambda: len(fa),
                      "for rec in fa": iterate}, a.repeats)

    # fa[i] over every position: a sample first, so that a quadratic listing
    # cannot run for hours.
    sample = range(0, n, max(1, n // 1000))
    t0 = time.perf_counter()
    for i in sample:
        fa[i]
    projected = (time.perf_counter() - t0) / len(sample) * n
    if projected > 60:
        full = None
        print(f"\nfa[i] for every i: {len(sample)} positions project to {projected:.0f} s; "
              "the full loop is not run")
    else:
        def positions():
            for i in range(n):
                fa[i]
        full = bu.median_of({"x": positions}, max(1, a.repeats // 2))["x"]
        t["for i in range(n): fa[i]"] = full
        if fa[n - 1].long_name != keys[n - 1] or fa[0].long_name != keys[0]:
            v.error("fa[i] does not follow the order of fa.keys()")

    bu.table(f"Name listing on {n:,} records (median of {a.repeats})", list(t.items()), per=n,
             rows_from=t)
    for k in ("fa.keys()", "len(fa)", "for rec in fa"):
        v.check(k, f"{t[k]:.3f} s", "< 0.3 s", t[k] < 0.3)
    if full is None:
        v.check("fa[i] for every i", f"~{projected:.0f} s (projected)", "< 2 s", False)
    else:
        v.check("fa[i] for every i", f"{full:.3f} s", "< 2 s", full < 2)


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--genome", help="FASTA file (default: the generated benchmark genome)")
    p.add_argument("--many", help="FASTA file of many records (default: the generated one)")
    p.add_argument("--regions", type=int, default=200_000)
    p.add_argument("--repeats", type=int, default=5)
    p.add_argument("--seed", type=int, default=20240603)
    a = p.parse_args(argv)

    print("bench_facade")
    print(bu.environment_line())
    v = bu.Verdicts()
    targets = [("fa[name][s:e] / Faidx.fetch", "<= 1.15"), ("fa.get_seq / Faidx.fetch", "<= 1.2"),
               ("fetch_many(rc=True) / fetch_many()", "<= 1.3"), ("fa.keys()", "< 0.3 s"),
               ("len(fa)", "< 0.3 s"), ("for rec in fa", "< 0.3 s"),
               ("fa[i] for every i", "< 2 s")]

    tavlo = bu.load_tavlo()
    pysam = bu.load_pysam()
    gap = "tavlo not importable" if tavlo is None else bu.missing(tavlo, "Fasta", "Faidx.fetch")
    if gap:
        if tavlo is not None:
            print(f"tavlo: no {gap} yet; the facade measurements are skipped")
            gap = f"no {gap}"
        for what, target in targets:
            v.skip(what, target, gap)
        return v.report()

    genome_part(a, tavlo, pysam, v)
    many_part(a, tavlo, v)
    return v.report()


if __name__ == "__main__":
    sys.exit(main())
