"""Remote files: tavlo against pysam on the same URLs, served by nginx on 127.0.0.1.

The benchmark genome is served by Debian's nginx directly (loopback) and through a small local
proxy that holds every request 20 ms before passing it on (a cloud store's latency), plain, BGZF
(with its .fai and .gzi beside it) and plain gzip (with its .fai and checkpoint index; tavlo
only: pysam reads no plain gzip). Each round runs every candidate once, in turn, on fresh random
100-residue regions:

* single: a loop of single fetches (tavlo Faidx.fetch, pysam FastaFile.fetch)
* batch:  tavlo fetch_many of 10,000 regions through the proxy, against a pysam loop over a
          share of the same regions (a full loop would take minutes), scaled to 10,000
* open:   Faidx(url) with its index already in the local cache

Medians with the spread (min-max) of the rounds. Usage:

    python benchmarks/bench_remote.py [--genome PATH] [--bgzf PATH] [--gzip PATH] [--rounds N]
                                      [--single N] [--batch N] [--formats plain,bgzf,gzip]
"""

from __future__ import annotations

import argparse
import os
import random
import shutil
import socket
import statistics
import subprocess
import sys
import tempfile
import time

import benchutil as bu

DELAY = 0.020

# A TCP proxy that holds each chunk sent by the client (a request) DELAY seconds: run apart, so
# that it keeps time while the benchmark's process is busy.
PROXY = r"""
import asyncio, sys
delay, listen, upstream = float(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3])
async def pump(reader, writer, hold):
    try:
        while data := await reader.read(1 << 16):
            if hold: await asyncio.sleep(delay)
            writer.write(data); await writer.drain()
    except (ConnectionError, asyncio.CancelledError): pass
    finally: writer.close()
async def serve(cr, cw):
    ur, uw = await asyncio.open_connection("127.0.0.1", upstream)
    await asyncio.gather(pump(cr, uw, True), pump(ur, cw, False))
async def main():
    server = await asyncio.start_server(serve, "127.0.0.1", listen)
    print("ready", flush=True)
    async with server: await server.serve_forever()
asyncio.run(main())
"""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def start_nginx(root, folder, port):
    binary = shutil.which("nginx") or "/usr/sbin/nginx"
    user = "user root;" if os.geteuid() == 0 else ""
    temp = " ".join(f"{k}_temp_path {folder}/{k};" for k in
                    ("client_body", "proxy", "fastcgi", "uwsgi", "scgi"))
    conf = os.path.join(folder, "nginx.conf")
    with open(conf, "w") as f:
        f.write(f"daemon off; {user} worker_processes 1; pid {folder}/nginx.pid; "
                f"error_log {folder}/error.log; events {{ worker_connections 512; }} "
                f"http {{ access_log off; {temp} keepalive_requests 1000000; "
                f"server {{ listen 127.0.0.1:{port}; root {root}; }} }}")
    proc = subprocess.Popen([binary, "-c", conf, "-p", folder], stderr=subprocess.DEVNULL)
    for _ in range(100):
        try:
            socket.create_connection(("127.0.0.1", port), 0.2).close()
            return proc
        except OSError:
            time.sleep(0.05)
    proc.kill()
    sys.exit("bench_remote: nginx did not start")


def regions_of(fai, n, rng, width=100):
    recs = [(line.split("\t")[0], int(line.split("\t")[1])) for line in open(fai)]
    recs = [r for r in recs if r[1] > width]
    total = sum(r[1] for r in recs)
    out = []
    for _ in range(n):
        x = rng.randrange(total)
        for name, length in recs:
            if x < length:
                s = min(x, length - width)
                out.append((name, s + 1, s + width))
                break
            x -= length
    return out


def show(title, samples, per, unit="us", scale=1e6):
    print(f"\n{title}")
    for k, v in samples.items():
        xs = [t / per * scale for t in v]
        print(f"  {k:44s} {statistics.median(xs):10.1f} {unit}  ({min(xs):.1f}-{max(xs):.1f})")


def main():
    p = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    p.add_argument("--genome", help="FASTA file (default: the generated benchmark genome)")
    p.add_argument("--rounds", type=int, default=5)
    p.add_argument("--single", type=int, default=200, help="single fetches per round and URL")
    p.add_argument("--batch", type=int, default=10_000)
    p.add_argument("--pysam-share", type=int, default=200,
                   help="regions of the batch that the pysam loop fetches through the proxy")
    p.add_argument("--bgzf", help="a BGZF copy of the genome (default: made by bgzip)")
    p.add_argument("--gzip", help="a plain gzip copy of the genome (default: made by gzip -6)")
    p.add_argument("--formats", default="plain,bgzf,gzip")
    a = p.parse_args()
    formats = a.formats.split(",")
    tavlo, pysam = bu.load_tavlo(), bu.load_pysam()
    genome = os.path.abspath(a.genome or bu.make_genome.ensure_genome())
    if not os.path.exists(genome + ".fai"):
        tavlo.Faidx(genome)
    work = tempfile.mkdtemp(prefix="bench_remote.")
    root = os.path.join(work, "www")
    os.mkdir(root)
    for suffix in ("", ".fai"):
        os.symlink(genome + suffix, os.path.join(root, "genome.fa" + suffix))
    # The compressed copies with their indexes beside them, made here unless given.
    copies = {"bgzf": (a.bgzf, "genome.fa.gz", [["bgzip", "-@", "2", "-c"]], ".gzi"),
              "gzip": (a.gzip, "genome.gz.fa.gz", [["gzip", "-6", "-c"]], ".gzidx")}
    for fmt, (given, name, argv, index) in copies.items():
        if fmt not in formats:
            continue
        path = os.path.abspath(given) if given else os.path.join(work, name)
        if not given:
            with open(path, "wb") as f:
                subprocess.run(argv[0] + [genome], stdout=f, check=True)
        tavlo.Faidx(path)  # its .fai and .gzi or checkpoint index, beside it
        for suffix in ("", ".fai", index):
            os.symlink(path + suffix, os.path.join(root, name + suffix))
    os.environ["XDG_CACHE_HOME"] = os.path.join(work, "cache")
    os.chdir(work)  # htslib downloads the .fai of a URL into the working folder
    port, slow_port = free_port(), free_port()
    nginx = start_nginx(root, work, port)
    proxy = subprocess.Popen([sys.executable, "-c", PROXY, str(DELAY), str(slow_port), str(port)],
                             stdout=subprocess.PIPE, text=True)
    proxy.stdout.readline()
    names = {"plain": "genome.fa", "bgzf": "genome.fa.gz", "gzip": "genome.gz.fa.gz"}
    urls = {f"{where}, {fmt}": f"http://127.0.0.1:{p}/{names[fmt]}" for fmt in formats
            for where, p in (("loopback", port), ("20 ms proxy", slow_port))}
    try:
        rng = random.Random(7)
        opened = {k: (tavlo.Faidx(u), pysam.FastaFile(u) if pysam and "gzip" not in k else None)
                  for k, u in urls.items()}
        single = {}
        for _ in range(a.rounds):
            for where, (fx, ps) in opened.items():
                regs = regions_of(genome + ".fai", a.single, rng)
                single.setdefault(f"tavlo fetch, {where}", []).append(
                    bu.timed(lambda: [fx.fetch(*r) for r in regs]))
                if ps is not None:
                    single.setdefault(f"pysam fetch, {where}", []).append(
                        bu.timed(lambda: [ps.fetch(n, s - 1, e) for n, s, e in regs]))
        show(f"Random single 100-residue fetches ({a.single} a round, us per fetch)", single,
             a.single)
        for fmt in formats:
            trips = [t / a.single / DELAY for t in single[f"tavlo fetch, 20 ms proxy, {fmt}"]]
            print(f"  tavlo through the proxy, {fmt}: {statistics.median(trips):.2f} round trips "
                  f"per fetch (target <= 1.2)")

        batch = {}
        for _ in range(a.rounds):
            regs = regions_of(genome + ".fai", a.batch, rng)
            for fmt in formats:
                where = f"20 ms proxy, {fmt}"
                fresh = tavlo.Faidx(urls[where])  # an empty block cache each round
                batch.setdefault(f"tavlo fetch_many, {where}", []).append(
                    bu.timed(lambda: fresh.fetch_many(regs)))
                ps = opened[where][1]
                if ps is not None:
                    share = regs[:a.pysam_share]
                    t = bu.timed(lambda: [ps.fetch(n, s - 1, e) for n, s, e in share])
                    batch.setdefault(f"pysam loop, {where} (scaled)", []).append(
                        t * a.batch / len(share))
        show(f"A batch of {a.batch} random regions through the proxy (s)", batch, 1, "s", 1)
        for fmt in formats:
            loop = batch.get(f"pysam loop, 20 ms proxy, {fmt} (scaled)")
            ours = batch[f"tavlo fetch_many, 20 ms proxy, {fmt}"]
            if loop:
                ratio = [p / t for p, t in zip(loop, ours)]
                print(f"  {fmt}: pysam loop / tavlo batch: {statistics.median(ratio):.1f}x "
                      f"({min(ratio):.1f}-{max(ratio):.1f}; target >= 20)")

        opening = {}
        for _ in range(max(a.rounds, 10)):
            for where, u in urls.items():
                opening.setdefault(f"tavlo Faidx(url), index cached, {where}", []).append(
                    bu.timed(lambda: tavlo.Faidx(u)))
        show("Opening with the index in the cache (ms)", opening, 1, "ms", 1e3)
        for fmt in formats:
            trips = [t / DELAY
                     for t in opening[f"tavlo Faidx(url), index cached, 20 ms proxy, {fmt}"]]
            print(f"  through the proxy, {fmt}: {statistics.median(trips):.2f} round trips "
                  f"(target <= 2: the check of the object and at most one more)")
    finally:
        proxy.terminate()
        nginx.terminate()
        proxy.wait()
        nginx.wait()
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
