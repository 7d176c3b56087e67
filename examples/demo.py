"""Fetches a few regions of the bundled sample FASTA file."""

import os
import sys

import tavlo

HERE = os.path.dirname(os.path.abspath(__file__))
path = os.path.join(HERE, "sample.fa")

fa = tavlo.Faidx(path)                      # builds sample.fa.fai when missing or stale
print(repr(fa), "holds", ", ".join(fa.keys))

region = fa.fetch("chr1", 55, 70)           # 1-based, inclusive, across a line break
print(repr(region))
print("length", len(region.seq), "start", region.start, "end", region.end)

whole = fa.fetch_entire_sequence("chrM")
print(f"chrM: {len(whole.seq)} residues, starts {whole.seq[:20]}...")

regions = [("chr1", 1, 10), ("chr2", 15, 30), ("chrM", 150, 161)]
for s in fa.fetch_many(regions):
    print(f"{s.name}:{s.start}-{s.end}\t{s.seq}")

upper = tavlo.Faidx(path, sequence_always_upper=True)
print("upper-cased:", upper.fetch("chr2", 15, 30).seq)
sys.exit(0)
