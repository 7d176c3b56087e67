"""The tavlo command-line tool against samtools, bedtools and seqkit, and against cat.

Workload: the benchmark genome (benchmarks/data/genome.fa), N random regions (default
1,000,000) of 100 to 1,000 residues, written once as a samtools region file and as a BED file
(benchmarks/data/cli_regions.txt, cli_regions.bed). Every candidate runs once per repeat, in
turn, so that all see the same page cache and machine load; the table gives the median and the
spread (min-max) of wall-clock seconds, the median CPU time (user + system, which a busy
machine disturbs less), and each peer's median over tavlo's. Before each run the
previous output file is removed and the file system synced (neither is timed), so that no
candidate pays for another's writeback.

1. Output written to a file (-o / -fo): tavlo faidx -r, tavlo getfasta; samtools faidx -r,
   bedtools getfasta, seqkit subseq --bed, seqkit faidx -l; and cat copying tavlo's output bytes
   to a file (the floor). Targets: tavlo at most 1.5x cat; samtools at least 5x, bedtools 3x,
   seqkit subseq 2x tavlo.
2. Output to /dev/null: the same programs. Targets: samtools at least 15x, bedtools 4x, seqkit
   subseq 3.5x tavlo.
3. Peak memory of every run: the maximum resident set (wait4), which counts the pages of the
   mapped FASTA file that the run touched (shared page cache, at most the file's size), and the
   peak private memory (RssAnon, sampled every 10 ms). Target: tavlo's private peak at most
   100 MB whatever the number of regions.

Before timing, tavlo's output is checked byte for byte against samtools' and bedtools'. The load
average before and after the runs is printed: on a busy machine compare the ratios, not the
seconds. --no-peers times only tavlo and cat (the peers still serve the identity check).

    python benchmarks/bench_cli.py [--regions N] [--repeats N] [--tavlo PATH] [--no-peers]
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
DATA = os.path.join(HERE, "data")
GENOME = os.path.join(DATA, "genome.fa")


def find_tavlo(given):
    if given:
        return given
    exe = shutil.which("tavlo")
    if exe:
        return exe
    local = os.path.join(os.path.dirname(sys.executable), "tavlo")
    return local if os.path.exists(local) else None


def make_regions(n, seed=8):
    """The region file and BED file of n random regions (reused when already made)."""
    stem = os.path.join(DATA, f"cli_regions_{n}")
    txt, bed = stem + ".txt", stem + ".bed"
    if os.path.exists(txt) and os.path.exists(bed):
        return txt, bed
    records = []
    with open(GENOME + ".fai") as fai:
        for line in fai:
            name, length = line.split("\t")[:2]
            records.append((name, int(length)))
    rng = random.Random(seed)
    weights = [length for _, length in records]
    with open(txt + ".tmp", "w") as t, open(bed + ".tmp", "w") as b:
        for name, length in rng.choices(records, weights=weights, k=n):
            size = rng.randint(100, 1000)
            start = rng.randint(1, length - size + 1)
            end = start + size - 1
            t.write(f"{name}:{start}-{end}\n")
            b.write(f"{name}\t{start - 1}\t{end}\n")
    os.replace(txt + ".tmp", txt)
    os.replace(bed + ".tmp", bed)
    return txt, bed


def rss_anon_kb(pid):
    try:
        with open(f"/proc/{pid}/status") as f:
            for line in f:
                if line.startswith("RssAnon:"):
                    return int(line.split()[1])
    except OSError:
        pass
    return 0


def run(cmd, stdout=subprocess.DEVNULL):
    """Seconds, peak resident kilobytes and peak private (anonymous) kilobytes of one run.

    The private peak is sampled every 10 ms; the resident peak (from wait4) also counts the
    pages of mapped files, which stay in the page cache and are shared."""
    t = time.perf_counter()
    p = subprocess.Popen(cmd, stdout=stdout, stderr=subprocess.DEVNULL)
    anon = 0
    while True:
        pid, status, usage = os.wait4(p.pid, os.WNOHANG)
        if pid != 0:
            break
        anon = max(anon, rss_anon_kb(p.pid))
        time.sleep(0.01)
    t = time.perf_counter() - t
    p.returncode = os.waitstatus_to_exitcode(status)
    if p.returncode != 0:
        raise SystemExit(f"failed ({p.returncode}): {' '.join(cmd)}")
    return t, usage.ru_maxrss, anon, usage.ru_utime + usage.ru_stime


def same_bytes(a, b):
    with open(a, "rb") as fa, open(b, "rb") as fb:
        while True:
            x, y = fa.read(1 << 20), fb.read(1 << 20)
            if x != y:
                return False
            if not x:
                return True


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--regions", type=int, default=1_000_000)
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--no-peers", action="store_true", help="time only tavlo and cat")
    ap.add_argument("--tavlo", help="the tavlo executable (default: on PATH or beside python)")
    args = ap.parse_args()

    tavlo = find_tavlo(args.tavlo)
    if tavlo is None:
        raise SystemExit("tavlo executable not found (pip install . or --tavlo PATH)")
    if not os.path.exists(GENOME):
        raise SystemExit(f"{GENOME} is missing: python benchmarks/make_genome.py")
    peers = {p: shutil.which(p) for p in ("samtools", "bedtools", "seqkit")}
    for p, where in peers.items():
        if where is None:
            print(f"{p}: not installed; its measurements are skipped")
    subprocess.run([tavlo, "faidx", GENOME], check=True)
    txt, bed = make_regions(args.regions)
    out = os.path.join(DATA, "cli_out")

    def cands(dest, peers_too=True):
        c = {
            "tavlo faidx -r": [tavlo, "faidx", GENOME, "-r", txt, "-o", dest],
            "tavlo getfasta": [tavlo, "getfasta", "-fi", GENOME, "-bed", bed, "-fo", dest],
        }
        if not peers_too:
            return c
        if peers["samtools"]:
            c["samtools faidx -r"] = ["samtools", "faidx", GENOME, "-r", txt, "-o", dest]
        if peers["bedtools"]:
            c["bedtools getfasta"] = ["bedtools", "getfasta", "-fi", GENOME, "-bed", bed,
                                      "-fo", dest]
        if peers["seqkit"]:
            c["seqkit subseq --bed"] = ["seqkit", "subseq", "--bed", bed, GENOME, "-o", dest]
            c["seqkit faidx -l"] = ["seqkit", "faidx", "-l", txt, GENOME, "-o", dest]
        return c

    # Identity first: the same bytes as the references.
    ref = out + ".ref"
    for ours, theirs in (("tavlo faidx -r", "samtools faidx -r"),
                         ("tavlo getfasta", "bedtools getfasta")):
        if theirs in cands(out):
            run(cands(out)[ours])
            run(cands(ref)[theirs])
            same = same_bytes(out, ref)
            print(f"{ours} output == {theirs} output: {same}")
            if not same:
                print("MISMATCH")
                raise SystemExit(1)
    os.remove(ref)
    run(cands(out)["tavlo faidx -r"])
    cat_src = out + ".cat_src"
    os.replace(out, cat_src)
    size = os.path.getsize(cat_src)
    print(f"{args.regions:,} regions, {size / 1e6:.0f} MB of output; {args.repeats} repeats,"
          f" medians (min-max) in seconds\n")

    # (candidate, reference, at least this many times slower than tavlo) per output.
    targets = {
        "to a file": [("samtools faidx -r", "tavlo faidx -r", 5), ("bedtools getfasta",
                      "tavlo getfasta", 3), ("seqkit subseq --bed", "tavlo getfasta", 2)],
        "to /dev/null": [("samtools faidx -r", "tavlo faidx -r", 15), ("bedtools getfasta",
                         "tavlo getfasta", 4), ("seqkit subseq --bed", "tavlo getfasta", 3.5)],
    }
    verdicts = []
    print("load average before: %.2f %.2f %.2f" % os.getloadavg())
    for label, dest in (("to a file", out), ("to /dev/null", "/dev/null")):
        c = cands(dest, peers_too=not args.no_peers)
        if dest != "/dev/null":
            c["cat (same bytes)"] = ["sh", "-c", f'cat "$0" > "$1"', cat_src, dest]
        times = {k: [] for k in c}
        rss = {k: [] for k in c}
        anon = {k: [] for k in c}
        cpu = {k: [] for k in c}
        for _ in range(args.repeats):
            for k, cmd in c.items():
                # Nobody pays for freeing the previous output or for its writeback.
                if dest != "/dev/null" and os.path.exists(dest):
                    os.remove(dest)
                os.sync()
                t, m, a, u = run(cmd)
                times[k].append(t)
                cpu[k].append(u)
                rss[k].append(m)
                anon[k].append(a)
        print(f"Output {label}:")
        base = statistics.median(times["tavlo faidx -r"])
        base_bed = statistics.median(times["tavlo getfasta"])
        for k, ts in times.items():
            med = statistics.median(ts)
            ref_t = base_bed if ("getfasta" in k or "subseq" in k) else base
            ratio = f"{med / ref_t:6.2f}x tavlo" if not k.startswith("tavlo") else ""
            if k.startswith("cat"):
                ratio = f"tavlo faidx {base / med:.2f}x, getfasta {base_bed / med:.2f}x cat"
            if k.startswith("tavlo"):
                verdicts.append((f"{k} private peak {max(anon[k]) / 1024:.0f} MB <= 100 MB",
                                 max(anon[k]) <= 100 * 1024))
            print(f"  {k:22s} {med:7.2f} s ({min(ts):.2f}-{max(ts):.2f})"
                  f"  cpu {statistics.median(cpu[k]):6.2f} s  peak RSS {max(rss[k]) / 1024:4.0f} MB, private {max(anon[k]) / 1024:4.0f} MB"
                  f"  {ratio}")
        print()
        med = {k: statistics.median(ts) for k, ts in times.items()}
        for peer_name, ours, factor in targets[label]:
            if peer_name in med:
                r = med[peer_name] / med[ours]
                verdicts.append((f"{label}: {peer_name} {r:.1f}x {ours} (target >= {factor}x)",
                                 r >= factor))
        if "cat (same bytes)" in med:
            for ours in ("tavlo faidx -r", "tavlo getfasta"):
                r = med[ours] / med["cat (same bytes)"]
                # Ratios within each repeat: both saw about the same load.
                pair = sorted(a / b for a, b in zip(times[ours], times["cat (same bytes)"]))
                verdicts.append((f"{label}: {ours} {r:.2f}x cat (target <= 1.5x; per repeat"
                                 f" median {statistics.median(pair):.2f}x,"
                                 f" {pair[0]:.2f}-{pair[-1]:.2f})", r <= 1.5))
    print("load average after: %.2f %.2f %.2f\n" % os.getloadavg())
    for text, ok in verdicts:
        print(("PASS " if ok else "FAIL ") + text)
    for f in (out, cat_src):
        if os.path.exists(f):
            os.remove(f)


if __name__ == "__main__":
    main()
