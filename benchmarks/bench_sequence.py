"""Sequence derivations and statistics on one long Sequence against plain-Python equivalents.

One 100,000,000-residue Sequence of genome-like text (upper-case ACGT with soft-masked
stretches and runs of N, from make_genome's generator), in one process:

* complement:  s.complement  vs  text.translate(table)      (table from str.maketrans)
* reverse:     s.reverse     vs  text[::-1]
* unary minus: -s            vs  text.translate(table)[::-1]
* gc:          s.gc          vs  counting C, G, c, g with str.count
* gc_strict:   s.gc_strict   vs  counting A, C, G, T in either case with str.count
* gc_iupac:    s.gc_iupac    vs  str.count of the 30 IUPAC letters, weighted
* slicing:     100,000 consecutive slices s[i:i+100] of the long Sequence vs of a
               1,000-residue one (and of the long str, for scale)

Targets: complement, reverse and unary minus at least 5x faster than their plain-Python
equivalent and at least 1 GB/s; gc at least 2 GB/s; gc_strict and gc_iupac at least 0.5 GB/s;
a 100-residue slice of the long Sequence costs at most 1.5x one of a short Sequence (only the
selected residues are copied).

    python benchmarks/bench_sequence.py [--size N] [--repeats N]
"""

from __future__ import annotations

import argparse
import sys

import benchutil as bu

IUPAC = "ACGTRYKMBVDHSWXNacgtrykmbvdhswxn"
COMPLEMENT = str.maketrans(IUPAC, "TGCAYRMKVBHDSWXNtgcayrmkvbhdswxn")
WEIGHTS = {**dict.fromkeys("CGS", 1.0), **dict.fromkeys("BV", 0.67),
           **dict.fromkeys("KMRY", 0.5), **dict.fromkeys("DH", 0.33), "N": 0.25,
           **dict.fromkeys("ATW", 0.0)}


def plain_gc(text):
    return sum(text.count(c) for c in "CGcg") / len(text)


def plain_gc_strict(text):
    total = sum(text.count(c) for c in "ACGTacgt")
    return sum(text.count(c) for c in "CGcg") / total if total else 0.0


def plain_gc_iupac(text):
    # Counting per letter sums in another order than the text's, so the last digit may differ.
    counts = {c: text.count(c) + text.count(c.lower()) for c in WEIGHTS}
    total = sum(counts.values())
    return sum(WEIGHTS[c] * n for c, n in counts.items()) / total if total else 0.0


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--size", type=int, default=100_000_000)
    p.add_argument("--repeats", type=int, default=5)
    p.add_argument("--slices", type=int, default=100_000)
    a = p.parse_args(argv)

    print(f"bench_sequence: one Sequence of {a.size:,} residues")
    print(bu.environment_line())
    v = bu.Verdicts()
    tavlo = bu.load_tavlo()
    if tavlo is None or bu.missing(tavlo, "Sequence.complement", "Sequence.gc_iupac"):
        v.skip("everything", "-", "tavlo.Sequence with derivations is not available")
        return v.report()

    text = bu.make_genome.chromosome_residues("bench-sequence", a.size).decode("ascii")
    s = tavlo.Sequence("chr", text, 1, a.size)
    gb = a.size / 1e9

    # Results first: a fast wrong answer is no answer.
    if s.complement.seq != text.translate(COMPLEMENT):
        v.error("complement differs from str.translate")
    if s.reverse.seq != text[::-1] or (-s).seq != text.translate(COMPLEMENT)[::-1]:
        v.error("reverse or unary minus differs from slicing")
    if s.gc != plain_gc(text) or s.gc_strict != plain_gc_strict(text):
        v.error("gc or gc_strict differs from counting")
    if abs(s.gc_iupac - plain_gc_iupac(text)) > 1e-12:
        v.error("gc_iupac differs from counting")

    pairs = [
        ("complement", lambda: s.complement, lambda: text.translate(COMPLEMENT)),
        ("reverse", lambda: s.reverse, lambda: text[::-1]),
        ("unary minus", lambda: -s, lambda: text.translate(COMPLEMENT)[::-1]),
        ("gc", lambda: s.gc, lambda: plain_gc(text)),
        ("gc_strict", lambda: s.gc_strict, lambda: plain_gc_strict(text)),
        ("gc_iupac", lambda: s.gc_iupac, lambda: plain_gc_iupac(text)),
    ]
    speeds = {}
    for name, ours, plain in pairs:
        best = bu.median_of({"tavlo": ours, "plain Python": plain}, a.repeats)
        bu.table(f"{name} ({a.size:,} residues)", [("tavlo", best["tavlo"]),
                                                  ("plain Python", best["plain Python"])],
                 ref="tavlo")
        speeds[name] = (gb / best["tavlo"], best["plain Python"] / best["tavlo"])
        print(f"  tavlo: {speeds[name][0]:.2f} GB/s, {speeds[name][1]:.1f}x faster than plain")

    # Consecutive windows, so that reading the long text costs what streaming memory costs and
    # the comparison shows what each slice copies, not the latency of random reads.
    short = tavlo.Sequence("short", text[:1000], 1, 1000)
    starts = [(i * 100) % (a.size - 100) for i in range(a.slices)]
    short_starts = [i % 900 for i in starts]

    def slice_long():
        for i in starts:
            s[i:i + 100]

    def slice_short():
        for i in short_starts:
            short[i:i + 100]

    def slice_str():
        for i in starts:
            text[i:i + 100]

    best = bu.median_of({"long": slice_long, "short": slice_short, "str": slice_str}, a.repeats)
    bu.table(f"{a.slices:,} consecutive slices of 100 residues",
             [("of the long Sequence", best["long"]), ("of a 1,000-residue one", best["short"]),
              ("of the long str (plain Python)", best["str"])],
             per=a.slices, ref="of a 1,000-residue one")

    for name in ("complement", "reverse", "unary minus"):
        rate, ratio = speeds[name]
        v.check(f"{name} vs plain Python", f"{ratio:.1f}x", ">= 5x", ratio >= 5)
        v.check(f"{name} throughput", f"{rate:.2f} GB/s", ">= 1 GB/s", rate >= 1)
    v.check("gc throughput", f"{speeds['gc'][0]:.2f} GB/s", ">= 2 GB/s", speeds["gc"][0] >= 2)
    for name in ("gc_strict", "gc_iupac"):
        rate = speeds[name][0]
        v.check(f"{name} throughput", f"{rate:.2f} GB/s", ">= 0.5 GB/s", rate >= 0.5)
    slice_ratio = best["long"] / best["short"]
    v.check("slice of long / slice of short", f"{slice_ratio:.2f}x", "<= 1.5x", slice_ratio <= 1.5)
    return v.report()


if __name__ == "__main__":
    sys.exit(main())
