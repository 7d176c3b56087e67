"""Windows of the bundled sample FASTA file as NumPy arrays, the way a sequence model takes them."""

import os
import sys

import numpy as np

import tavlo

HERE = os.path.dirname(os.path.abspath(__file__))
fa = tavlo.Faidx(os.path.join(HERE, "sample.fa"))

# Windows as columns: record numbers in the order of fa.keys (or names), 1-based starts and ends.
# The first starts before position 1 and the last ends past chrM's end: those positions pad.
names = np.array([0, 0, 1, 2])
starts = np.array([-3, 55, 15, 150])
ends = starts + 15

text = fa.fetch_array(names=names, starts=starts, ends=ends)  # (4, 16) uint8 residue bytes
for name, start, end, row in zip(names, starts, ends, text):
    print(f"{fa.keys[name]}:{start}-{end}\t{row.tobytes().decode()}")

codes = fa.fetch_array(names=names, starts=starts, ends=ends, encoding="codes")
print("codes (A C G T = 0 1 2 3, anything else 4):", codes[1].tolist())

onehot = fa.fetch_array(names=names, starts=starts, ends=ends, encoding="onehot")
print("one-hot", onehot.shape, onehot.dtype, "channels of the first residue:", onehot[1, 0])

# A batch buffer reused across steps, channels first, the second and fourth rows on the - strand.
batch = np.empty((4, 4, 16), np.float32)
fa.fetch_array(names=names, starts=starts, ends=ends, encoding="onehot", dtype=np.float32,
               channels_first=True, strands=["+", "-", "+", "-"], out=batch)
minus = fa.fetch("chr1", 55, 70).reverse.complement.seq
assert "".join("ACGT"[k] for k in batch[1].argmax(axis=0)) == minus.upper()
print("minus strand of chr1:55-70:", minus)

# The same from tuples, on the dictionary-like facade.
regions = [("chr1", 1, 10), ("chr2", 15, 24), ("chrM", 152, 161)]
print(tavlo.Fasta(os.path.join(HERE, "sample.fa")).fetch_array(regions, encoding="codes"))
sys.exit(0)
