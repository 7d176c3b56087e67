"""Batch fetch: Faidx.fetch_many and fetch_many_same_chr against loops of single fetches.

On the benchmark genome, in one process:

1. 200,000 random 100-residue regions: fa.fetch_many(regions) against a list
   comprehension of fa.fetch over the same regions, and against one of
   pysam.FastaFile.fetch. Targets: fetch_many at most 0.45x the fetch loop;
   the pysam loop at least 30x fetch_many.
2. 200,000 regions of chr1: fa.fetch_many_same_chr("chr1", pairs) against
   fa.fetch_many of the same regions. Target: at most 0.85x.
3. Peak memory of a batch, each size in a fresh interpreter: the file pages
   are first mapped by a warm-up over the same regions in small batches, the
   heap trimmed and the peak-RSS mark reset (/proc/self/clear_refs; ru_maxrss
   otherwise); then one fetch_many, and the growth of peak RSS over the RSS just
   before it. The size of the results is what they take as Python objects:
   sys.getsizeof of the list, plus, for every Sequence, sys.getsizeof of the
   object, of its seq and of its name. Two batch sizes give the slope of peak
   growth against result size (the constant drops out). Target: slope at most
   1.5 (peak <= 1.5 x results + a constant).
4. 1,000,000 regions of 1 to 10,000 residues, all inside their records: one
   fetch_many gives the same name, seq, start, end and comp as a loop of fetch,
   region by region.

    python benchmarks/bench_batch.py [--regions N] [--repeats N] [--skip-identity]
"""

from __future__ import annotations

import argparse
import gc
import json
import sys
import time

import benchutil as bu

MEMORY_CHILD = r"""
import gc, json, sys
import benchutil as bu
import tavlo
path, count, length, seed = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
fa = tavlo.Faidx(path)
regions = bu.random_regions(bu.read_fai(path + ".fai"), count, length, seed)
for i in range(0, count, 5000):          # map the pages these regions touch
    fa.fetch_many(regions[i:i + 5000])
gc.collect()
bu.trim_heap()
reset = bu.reset_peak()
before = bu.proc_status()["VmRSS"]
res = fa.fetch_many(regions)
peak = bu.peak_rss(reset)
after = bu.proc_status()["VmRSS"]
size = sys.getsizeof(res) + sum(
    sys.getsizeof(s) + sys.getsizeof(s.seq) + sys.getsizeof(s.name) for s in res)
print(json.dumps({"before": before, "peak": peak, "after": after, "size": size,
                  "reset": reset}))
"""


def same(a, b) -> bool:
    return (a.name, a.seq, a.start, a.end, a.comp) == (b.name, b.seq, b.start, b.end, b.comp)


def first_difference(got, want):
    if len(got) != len(want):
        return f"{len(got)} results for {len(want)} regions"
    for i, (g, w) in enumerate(zip(got, want)):
        if not same(g, w):
            return (f"region {i}: {g.name}:{g.start}-{g.end} {g.seq[:20]!r}... != "
                    f"{w.name}:{w.start}-{w.end} {w.seq[:20]!r}...")
    return None


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--genome", help="FASTA file (default: the generated benchmark genome)")
    p.add_argument("--regions", type=int, default=200_000)
    p.add_argument("--repeats", type=int, default=5)
    p.add_argument("--pysam-repeats", type=int, default=3)
    p.add_argument("--identity-regions", type=int, default=1_000_000)
    p.add_argument("--skip-identity", action="store_true",
                   help="skip the identity check of 1,000,000 regions (memory-hungry)")
    p.add_argument("--skip-memory", action="store_true", help="skip the peak-memory measurement")
    p.add_argument("--seed", type=int, default=20240602)
    a = p.parse_args(argv)

    path = a.genome or bu.make_genome.ensure_genome()
    print(f"bench_batch: {path}")
    print(bu.environment_line())
    v = bu.Verdicts()

    tavlo = bu.load_tavlo()
    pysam = bu.load_pysam()
    fa = None
    has_many = has_same = False
    if tavlo is not None:
        gap = bu.missing(tavlo, "Faidx", "Faidx.fetch")
        if gap:
            print(f"tavlo: no {gap} yet; its measurements are skipped")
        else:
            fa = tavlo.Faidx(path)
            has_many = not bu.missing(tavlo, "Faidx.fetch_many")
            has_same = not bu.missing(tavlo, "Faidx.fetch_many_same_chr")
            if not has_many:
                print("tavlo: no Faidx.fetch_many yet; batch measurements are skipped")
            if not has_same:
                print("tavlo: no Faidx.fetch_many_same_chr yet; its measurement is skipped")
    fai = path + ".fai" if fa is not None else bu.ensure_fai(path)
    entries = bu.read_fai(fai)
    ff = pysam.FastaFile(path) if pysam else None
    n = a.regions

    # 1. Random regions over the whole genome.
    regions = bu.random_regions(entries, n, 100, a.seed)
    if fa is not None and has_many:
        err = first_difference(fa.fetch_many(regions), [fa.fetch(*r) for r in regions])
        if err:
            v.error(f"fetch_many against fetch: {err}")
    if fa is not None and ff is not None:
        for name, s, e in regions[:: max(1, n // 2000)]:
            if fa.fetch(name, s, e).seq != ff.fetch(name, s - 1, e):
                v.error(f"tavlo and pysam differ on {name}:{s}-{e}")
                break

    fetch = fa.fetch if fa is not None else None
    t = bu.median_of({
        "tavlo fetch_many": (lambda: fa.fetch_many(regions)) if has_many else None,
        "tavlo fetch loop": (lambda: [fetch(nm, s, e) for nm, s, e in regions]) if fa else None,
    }, a.repeats)
    if ff is not None:
        pf = ff.fetch
        t.update(bu.median_of({"pysam fetch loop": lambda: [pf(nm, s - 1, e) for nm, s, e in regions]},
                            a.pysam_repeats))
    bu.table(f"{n:,} random 100-residue regions (median of {a.repeats}; pysam median of "
             f"{a.pysam_repeats}); loops are list comprehensions",
             [(k, t.get(k)) for k in ("tavlo fetch_many", "tavlo fetch loop", "pysam fetch loop")],
             per=n, ref="tavlo fetch_many" if has_many else None, rows_from=t)

    fm, lp, ps = t.get("tavlo fetch_many"), t.get("tavlo fetch loop"), t.get("pysam fetch loop")
    r = bu.ratio(fm, lp)
    if r is None:
        v.skip("fetch_many / fetch loop", "<= 0.45", "fetch_many unavailable")
    else:
        v.check("fetch_many / fetch loop", f"{r:.2f}", "<= 0.45", r <= 0.45)
    r = bu.ratio(ps, fm)
    if r is None:
        v.skip("pysam loop / fetch_many", ">= 30",
               "pysam not installed" if ps is None else "fetch_many unavailable")
    else:
        v.check("pysam loop / fetch_many", f"{r:.1f}", ">= 30", r >= 30)

    # 2. One chromosome.
    chr_regions = bu.random_regions(entries, n, 100, a.seed + 1, names={entries[0].name})
    chrom = entries[0].name
    pairs = [(s, e) for _, s, e in chr_regions]
    if has_many and has_same:
        err = first_difference(fa.fetch_many_same_chr(chrom, pairs), fa.fetch_many(chr_regions))
        if err:
            v.error(f"fetch_many_same_chr against fetch_many: {err}")
        t = bu.median_of({
            "fetch_many_same_chr": lambda: fa.fetch_many_same_chr(chrom, pairs),
            "fetch_many": lambda: fa.fetch_many(chr_regions),
        }, a.repeats)
        bu.table(f"{n:,} random 100-residue regions of {chrom} (median of {a.repeats})",
                 [(k, t[k]) for k in ("fetch_many_same_chr", "fetch_many")],
                 per=n, ref="fetch_many", rows_from=t)
        r = t["fetch_many_same_chr"] / t["fetch_many"]
        v.check("fetch_many_same_chr / fetch_many", f"{r:.2f}", "<= 0.85", r <= 0.85)
    else:
        v.skip("fetch_many_same_chr / fetch_many", "<= 0.85", "batch fetch unavailable")

    # 3. Peak memory.
    if has_many and not a.skip_memory:
        print("\nPeak memory of one fetch_many (fresh process per size)")
        points = []
        for length in (100, 1000):
            m = json.loads(bu.run_child(MEMORY_CHILD, path, n, length, a.seed + 2))
            growth = m["peak"] - m["before"]
            kept = m["after"] - m["before"]
            points.append((m["size"], growth))
            print(f"  {n:,} x {length:>4} residues: results {m['size'] / 2**20:7.1f} MiB, "
                  f"peak growth {growth / 2**20:7.1f} MiB ({growth / m['size']:.2f}x), "
                  f"kept {kept / 2**20:7.1f} MiB"
                  + ("" if m["reset"] else "  [peak from ru_maxrss]"))
        (s1, g1), (s2, g2) = points
        slope = (g2 - g1) / (s2 - s1)
        const = g1 - slope * s1
        print(f"  slope {slope:.2f}, constant {const / 2**20:.1f} MiB")
        v.check("batch peak growth / result size (slope)", f"{slope:.2f}", "<= 1.5", slope <= 1.5)
    else:
        v.skip("batch peak growth / result size (slope)", "<= 1.5",
               "skipped" if has_many else "fetch_many unavailable")

    # 4. Parallel path against the sequential one on many long regions.
    if has_many and not a.skip_identity:
        big = bu.random_sized_regions(entries, a.identity_regions, 1, 10_000, a.seed + 3)
        gc.disable()  # a million new objects would trigger needless collections
        t0 = time.perf_counter()
        got = fa.fetch_many(big)
        t1 = time.perf_counter()
        bad = None
        if len(got) != len(big):
            bad = f"{len(got)} results for {len(big)} regions"
        else:
            for i, r in enumerate(big):
                if not same(got[i], fetch(*r)):
                    bad = f"region {i} {r}"
                    break
                got[i] = None
        t2 = time.perf_counter()
        del got
        gc.enable()
        total = sum(e - s + 1 for _, s, e in big)
        print(f"\n{len(big):,} regions of 1..10,000 residues ({total / 1e9:.2f} G residues): "
              f"fetch_many {t1 - t0:.2f} s, fetch loop and compare {t2 - t1:.2f} s")
        if bad:
            v.error(f"fetch_many differs from fetch: {bad}")
        v.check(f"{len(big):,} long regions: fetch_many == fetch", "same" if not bad else "differ",
                "identical", not bad)
    else:
        v.skip("1,000,000 long regions: fetch_many == fetch", "identical",
               "skipped" if has_many else "fetch_many unavailable")

    return v.report()


if __name__ == "__main__":
    sys.exit(main())
