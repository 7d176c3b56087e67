"""Plain gzip genome: tavlo's checkpoint index against pyfastx, indexed_gzip and rapidgzip.

The 100 Mb benchmark genome compressed by `gzip -6` (benchmarks/data/genome100.fa.gz, made on
first use), in one process; every figure is the median over interleaved rounds (each round runs
every candidate once, in turn), with the spread of the rounds:

* build:   the index from nothing (tavlo .fai + .gzidx; pyfastx .fxi; indexed_gzip at 1 MiB and
           4 MiB spacing; rapidgzip with 2 threads), against ISA-L's full decompression
* random:  mean time of a 100-residue fetch over fresh misses (a new open per round, regions not
           seen before); indexed_gzip and rapidgzip seek to the residue's text offset (from the
           .fai) and read, unbuffered; pyfastx, being slow, gets fewer regions
* batch:   20,000 random regions in one fetch_many, against one full decompression
* sorted:  the same regions in file order, one fetch each, against one full decompression
* open:    tavlo.Faidx with both indexes present, against opening the bgzip copy

Targets: build <= 1.2x ISA-L and >= 4x faster than pyfastx; random <= 200 us with an index
<= 15 % of the file, >= 6x faster than indexed_gzip (1 MiB), >= 5x rapidgzip, >= 100x pyfastx
fetch; batch <= 1.3x and sorted <= 2x one decompression; open <= 1.2x the BGZF copy's.

    python benchmarks/bench_gzip.py [--rounds N] [--misses N]
"""

from __future__ import annotations

import argparse
import os
import shutil
import statistics
import subprocess
import sys
import time

import benchutil as bu

MiB = 1 << 20


def ensure_gzip(plain: str, out: str, argv: list[str]) -> str:
    if not os.path.exists(out) or os.path.getmtime(out) < os.path.getmtime(plain):
        print(f"compressing {plain} with {' '.join(argv)} ...")
        with open(out + ".part", "wb") as f:
            subprocess.run(argv + [plain], stdout=f, check=True)
        os.replace(out + ".part", out)
    return out


def load(name):
    try:
        return __import__(name)
    except ImportError:
        print(f"{name}: not installed (pip install {name}); its measurements are skipped")
        return None


def remove(*paths):
    for p in paths:
        if os.path.exists(p):
            os.remove(p)


def rounds(candidates: dict, n: int) -> dict:
    out = {k: [] for k, f in candidates.items() if f is not None}
    for _ in range(n):
        for k in out:
            t0 = time.perf_counter()
            candidates[k]()
            out[k].append(time.perf_counter() - t0)
    return out


def line(name, ts, per=1, unit="s"):
    m = statistics.median(ts)
    scale = 1e6 if unit == "us" else 1
    print(f"  {name:<40} {m / per * scale:10.3f} {unit}  (rounds {min(ts) / per * scale:.3f} to "
          f"{max(ts) / per * scale:.3f})")


def ratio_check(v, what, num, den, target, ok):
    if not num or not den:
        v.skip(what, target, "not measured")
        return
    r = sorted(a / b for a, b in zip(num, den))
    med = statistics.median(r)
    v.check(what, f"{med:.2f} (spread {r[0]:.2f}-{r[-1]:.2f} over {len(r)} rounds)", target,
            ok(med))


def main(argv=None) -> int:
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--misses", type=int, default=2000)
    p.add_argument("--batch", type=int, default=20_000)
    p.add_argument("--seed", type=int, default=20261208)
    a = p.parse_args(argv)

    data_dir = bu.make_genome.DATA_DIR
    os.makedirs(data_dir, exist_ok=True)
    plain = bu.make_genome.ensure_genome(os.path.join(data_dir, "genome100.fa"), size=100_000_000)
    gz = ensure_gzip(plain, plain + ".gz", ["gzip", "-6", "-c"])
    bgz = ensure_gzip(plain, os.path.join(data_dir, "bgzf_genome100.fa.gz"),
                      ["bgzip", "-@", "2", "-c"])
    print(f"bench_gzip: {gz} ({os.path.getsize(gz) / 1e6:.1f} MB)")
    print(bu.environment_line())
    v = bu.Verdicts()
    tavlo = bu.load_tavlo()
    if tavlo is None:
        return v.report()
    isal = load("isal.igzip") and sys.modules["isal.igzip"]
    pyfastx, igz, rgz = load("pyfastx"), load("indexed_gzip"), load("rapidgzip")

    compressed = open(gz, "rb").read()
    work = os.path.join(data_dir, "gzip_bench")
    os.makedirs(work, exist_ok=True)
    copies = {}
    for k in ("tavlo", "pyfastx", "igz1", "igz4", "rgz"):
        copies[k] = os.path.join(work, f"{k}.fa.gz")
        if not os.path.exists(copies[k]) or os.path.getsize(copies[k]) != len(compressed):
            shutil.copyfile(gz, copies[k])

    # Builds, interleaved.
    def build_tavlo():
        remove(copies["tavlo"] + ".fai", copies["tavlo"] + ".gzidx")
        tavlo.Faidx(copies["tavlo"])

    def build_pyfastx():
        remove(copies["pyfastx"] + ".fxi")
        pyfastx.Fasta(copies["pyfastx"])

    def build_igz(key, spacing):
        def run():
            with igz._IndexedGzipFile(copies[key], spacing=spacing) as f:
                f.build_full_index()
                f.export_index(copies[key] + ".gzidx")
        return run

    def build_rgz():
        with rgz.open(copies["rgz"], parallelization=2) as f:
            f.block_offsets()
            f.export_index(copies["rgz"] + ".rgzidx")

    builds = rounds({
        "ISA-L full decompression (isal.igzip)": (lambda: isal.decompress(compressed))
        if isal else None,
        "tavlo (.fai + .gzidx)": build_tavlo,
        "pyfastx": build_pyfastx if pyfastx else None,
        "indexed_gzip, 1 MiB spacing": build_igz("igz1", MiB) if igz else None,
        "indexed_gzip, 4 MiB spacing": build_igz("igz4", 4 * MiB) if igz else None,
        "rapidgzip, 2 threads": build_rgz if rgz else None,
    }, a.rounds)
    print(f"\nBuilding the index ({a.rounds} rounds, medians)")
    for k, ts in builds.items():
        line(k, ts)
    sizes = {"tavlo": copies["tavlo"] + ".gzidx", "pyfastx": copies["pyfastx"] + ".fxi",
             "indexed_gzip 1 MiB": copies["igz1"] + ".gzidx",
             "indexed_gzip 4 MiB": copies["igz4"] + ".gzidx",
             "rapidgzip": copies["rgz"] + ".rgzidx"}
    print("\nIndex sizes")
    for k, path in sizes.items():
        if os.path.exists(path):
            print(f"  {k:<40} {os.path.getsize(path) / 1e6:8.2f} MB  "
                  f"({os.path.getsize(path) / len(compressed) * 100:.1f} % of the file)")
    tb = builds["tavlo (.fai + .gzidx)"]
    ratio_check(v, "build: tavlo / ISA-L decompression", tb,
                builds.get("ISA-L full decompression (isal.igzip)"), "<= 1.2", lambda r: r <= 1.2)
    ratio_check(v, "build: pyfastx / tavlo", builds.get("pyfastx"), tb, ">= 4", lambda r: r >= 4)
    share = os.path.getsize(sizes["tavlo"]) / len(compressed)
    v.check("index size: .gzidx / file", f"{share * 100:.1f} %", "<= 15 %", share <= 0.15)

    # Random misses: a fresh open and regions not read before, every round.
    entries = bu.read_fai(copies["tavlo"] + ".fai")
    by_name = {e.name: e for e in entries}
    ref = tavlo.Faidx(plain)
    few = max(20, a.misses // 40)

    def regions(r, n):
        return bu.random_regions(entries, n, 100, a.seed + 1000 * r)

    def text_reader(f):
        def fetch(n, s, e):
            ent = by_name[n]
            at = ent.byte(s)
            span = (e - s + 1) + ((e - s + 1) // ent.lenc + 2) * (ent.lenb - ent.lenc)
            f.seek(at)
            return f.read(span).replace(b"\n", b"")[:e - s + 1].decode()
        return fetch

    opened = {}

    def random_round(key, opener, fetch_of, n):
        state = {"round": 0}

        def run():
            state["round"] += 1
            regs = regions(state["round"], n)
            obj = opener()
            fetch = fetch_of(obj)
            t0 = time.perf_counter()
            for r in regs:
                fetch(*r)
            opened.setdefault(key, []).append((time.perf_counter() - t0) / n)
            if hasattr(obj, "close"):
                obj.close()
        return run

    def igz_open(key):
        def o():
            f = igz._IndexedGzipFile(copies[key])
            f.import_index(copies[key] + ".gzidx")
            return f
        return o

    def rgz_open():
        f = rgz.open(copies["rgz"], parallelization=2)
        f.import_index(copies["rgz"] + ".rgzidx")
        return f

    # Correctness before timing: every peer gives the plain file's residues.
    check = regions(0, 50)
    want = [ref.fetch(*r).seq for r in check]
    fa = tavlo.Faidx(copies["tavlo"])
    if [fa.fetch(*r).seq for r in check] != want:
        v.error("tavlo differs from the plain file")
    for key, o in (("igz1", igz_open("igz1") if igz else None),
                   ("rgz", rgz_open if rgz else None)):
        if o is not None:
            f = o()
            if [text_reader(f)(*r) for r in check] != want:
                v.error(f"{key} differs from the plain file")
            f.close()
    if pyfastx is not None:
        px = pyfastx.Fasta(copies["pyfastx"])
        if [px.fetch(n, (s, e)) for n, s, e in check[:10]] != want[:10]:
            v.error("pyfastx differs from the plain file")

    rounds({
        "tavlo": random_round("tavlo", lambda: tavlo.Faidx(copies["tavlo"]),
                              lambda f: f.fetch, a.misses),
        "indexed_gzip 1 MiB": random_round("indexed_gzip 1 MiB", igz_open("igz1"), text_reader,
                                           a.misses // 4) if igz else None,
        "indexed_gzip 4 MiB": random_round("indexed_gzip 4 MiB", igz_open("igz4"), text_reader,
                                           a.misses // 8) if igz else None,
        "rapidgzip": random_round("rapidgzip", rgz_open, text_reader, a.misses // 4)
        if rgz else None,
        "pyfastx fetch": random_round("pyfastx fetch", lambda: pyfastx.Fasta(copies["pyfastx"]),
                                      lambda f: lambda n, s, e: f.fetch(n, (s, e)), few // 5)
        if pyfastx else None,
        "pyfastx fa[name][s:e]": random_round(
            "pyfastx fa[name][s:e]", lambda: pyfastx.Fasta(copies["pyfastx"]),
            lambda f: lambda n, s, e: f[n][s - 1:e].seq, few) if pyfastx else None,
    }, a.rounds)
    print(f"\nRandom 100-residue fetch, fresh misses: mean per fetch ({a.rounds} rounds, medians)")
    for k, ts in opened.items():
        line(k, ts, unit="us")
    t = opened["tavlo"]
    v.check("random: tavlo mean", f"{statistics.median(t) * 1e6:.0f} us", "<= 200 us",
            statistics.median(t) <= 200e-6)
    for k, target in (("indexed_gzip 1 MiB", 6), ("rapidgzip", 5), ("pyfastx fetch", 100)):
        ratio_check(v, f"random: {k} / tavlo", opened.get(k), t, f">= {target}",
                    lambda r, x=target: r >= x)

    # Batches and file order, against one full decompression.
    batch = bu.random_regions(entries, a.batch, 100, a.seed + 7)
    rank = {e.name: i for i, e in enumerate(entries)}
    ordered = sorted(batch, key=lambda r: (rank[r[0]], r[1]))
    if [x.seq for x in tavlo.Faidx(copies["tavlo"]).fetch_many(batch)] != \
            [x.seq for x in ref.fetch_many(batch)]:
        v.error("tavlo fetch_many differs from the plain file")

    def sorted_loop():
        f = tavlo.Faidx(copies["tavlo"])
        for r in ordered:
            f.fetch(*r)

    bt = rounds({
        "ISA-L full decompression": (lambda: isal.decompress(compressed)) if isal else None,
        "tavlo fetch_many (fresh open)": lambda: tavlo.Faidx(copies["tavlo"]).fetch_many(batch),
        "tavlo sorted fetch loop (fresh open)": sorted_loop,
    }, a.rounds)
    print(f"\n{a.batch:,} random regions ({a.rounds} rounds, medians)")
    for k, ts in bt.items():
        line(k, ts)
    ratio_check(v, "batch: fetch_many / decompression", bt["tavlo fetch_many (fresh open)"],
                bt.get("ISA-L full decompression"), "<= 1.3", lambda r: r <= 1.3)
    ratio_check(v, "sorted: loop / decompression", bt["tavlo sorted fetch loop (fresh open)"],
                bt.get("ISA-L full decompression"), "<= 2", lambda r: r <= 2)

    # Opening with both indexes present, against the BGZF copy.
    tavlo.Faidx(bgz)
    ot = rounds({"gzip + .gzidx": lambda: [tavlo.Faidx(copies["tavlo"]) for _ in range(200)],
                 "BGZF + .gzi": lambda: [tavlo.Faidx(bgz) for _ in range(200)]}, a.rounds)
    print(f"\nOpening with both indexes present ({a.rounds} rounds of 200, medians)")
    for k, ts in ot.items():
        line(k, ts, per=200, unit="us")
    ratio_check(v, "open: gzip / BGZF", ot["gzip + .gzidx"], ot["BGZF + .gzi"], "<= 1.2",
                lambda r: r <= 1.2)
    print(f"\npyfastx {getattr(pyfastx, '__version__', '-')}, indexed_gzip "
          f"{getattr(igz, '__version__', '-')}, rapidgzip {getattr(rgz, '__version__', '-')}")
    return v.report()


if __name__ == "__main__":
    sys.exit(main())
