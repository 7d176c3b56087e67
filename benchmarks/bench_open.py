"""Opening a FASTA file whose .fai lists 1,000,000 records.

* Time: tavlo.Faidx(path) with the index present and up to date, median of N
  in this process (pysam.FastaFile(path) alongside, for reference).
  Target: at most 0.10 s.
* Memory: in a fresh interpreter, after `import tavlo`, the growth of the
  resident set (VmRSS, and its anonymous part RssAnon, from /proc/self/status)
  across the opening, with the object kept alive. The file is memory-mapped
  but not touched, so the growth is the name table and what goes with it.
  Subtracting the bytes of all names (UTF-8) gives the cost per record of the
  table itself. Target: at most 40 bytes per record.

    python benchmarks/bench_open.py [--repeats N] [--fasta PATH]
"""

from __future__ import annotations

import argparse
import json
import os
import sys

import benchutil as bu

CHILD = r"""
import gc, json, sys
import benchutil as bu
path, lib = sys.argv[1], sys.argv[2]
if lib == "tavlo":
    import tavlo
    opener = tavlo.Faidx
else:
    import pysam
    opener = pysam.FastaFile
gc.collect()
before = bu.proc_status()
reset = bu.reset_peak()
obj = opener(path)
gc.collect()
after = bu.proc_status()
print(json.dumps({"before": before, "after": after, "peak": bu.peak_rss(reset)}))
"""


def measure_memory(path, lib):
    out = json.loads(bu.run_child(CHILD, path, lib))
    b, a = out["before"], out["after"]
    return {
        "rss": a["VmRSS"] - b["VmRSS"],
        "anon": a["RssAnon"] - b["RssAnon"],
        "peak": out["peak"] - b["VmRSS"],
    }


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--fasta", help="FASTA file (default: the generated file of 1,000,000 records)")
    p.add_argument("--repeats", type=int, default=5)
    a = p.parse_args(argv)

    path = a.fasta or bu.make_genome.ensure_many()
    print(f"bench_open: {path}")
    print(bu.environment_line())
    v = bu.Verdicts()

    tavlo = bu.load_tavlo()
    if tavlo is not None and bu.missing(tavlo, "Faidx"):
        print("tavlo: no Faidx yet; its measurements are skipped")
        tavlo = None
    pysam = bu.load_pysam()

    # The index is made once, untimed: by tavlo itself when it can.
    fai = path + ".fai"
    if tavlo is not None:
        tavlo.Faidx(path)
    else:
        bu.ensure_fai(path)
    entries = bu.read_fai(fai)
    n = len(entries)
    names_bytes = sum(len(e.name.encode()) for e in entries)
    print(f"{n:,} records, names {names_bytes:,} bytes ({names_bytes / n:.1f} per record), "
          f".fai {os.path.getsize(fai):,} bytes")

    t = bu.median_of({
        "tavlo Faidx()": (lambda: tavlo.Faidx(path)) if tavlo else None,
        "pysam FastaFile()": (lambda: pysam.FastaFile(path)) if pysam else None,
    }, a.repeats)
    bu.table(f"Opening with the index present (median of {a.repeats})",
             [(k, t.get(k)) for k in ("tavlo Faidx()", "pysam FastaFile()")],
             per=n, ref="tavlo Faidx()" if tavlo else None, rows_from=t)

    mem = {}
    for lib, mod in (("tavlo", tavlo), ("pysam", pysam)):
        if mod is not None:
            mem[lib] = measure_memory(path, lib)
    print("\nMemory of an open file (fresh process; growth across the opening)")
    for lib, m in mem.items():
        over = (m["rss"] - names_bytes) / n
        print(f"  {lib:<6} RSS +{m['rss'] / 2**20:7.1f} MiB  anon +{m['anon'] / 2**20:7.1f} MiB  "
              f"peak +{m['peak'] / 2**20:7.1f} MiB  -> {m['rss'] / n:6.1f} B/record, "
              f"{over:6.1f} B/record beyond the names")

    tv = t.get("tavlo Faidx()")
    if tv is None:
        v.skip("tavlo open time", "<= 0.10 s", "tavlo unavailable")
        v.skip("tavlo name table beyond names", "<= 40 B/record", "tavlo unavailable")
    else:
        v.check("tavlo open time", f"{tv:.3f} s", "<= 0.10 s", tv <= 0.10)
        over = (mem["tavlo"]["rss"] - names_bytes) / n
        v.check("tavlo name table beyond names", f"{over:.1f} B/record", "<= 40 B/record",
                over <= 40)
    return v.report()


if __name__ == "__main__":
    sys.exit(main())
