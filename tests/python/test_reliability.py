"""Hostile paths and files, a file that shrinks while open, resources and concurrent readers."""

import os
import random
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading

import pytest

import tavlo
from conftest import peer, random_residues, write_fasta

SLOW = bool(os.environ.get("CI") or os.environ.get("TAVLO_SLOW"))
SANITIZED = "libasan" in os.environ.get("LD_PRELOAD", "")
MODULE_DIR = os.path.dirname(tavlo.__file__)


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


def run_python(code, user=None, module_dir=MODULE_DIR, timeout=120):
    """Runs `code` in a fresh interpreter that imports this tavlo, optionally as another user."""
    cmd = [sys.executable, "-c", textwrap.dedent(code)]
    if user is not None:
        # The interpreter itself, not the virtual environment's link, which may lie in a folder
        # the user cannot enter.
        cmd[0] = os.path.realpath(sys.executable)
        cmd = ["setpriv", f"--reuid={user}", f"--regid={user}", "--clear-groups"] + cmd
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [
        module_dir, os.environ.get("PYTHONPATH")])))
    return subprocess.run(cmd, capture_output=True, text=True, timeout=timeout, env=env)


@pytest.fixture
def alarm():
    """Fails a call that blocks: SIGALRM interrupts a blocked open or read."""
    previous = signal.signal(signal.SIGALRM, lambda *_: None)
    signal.alarm(10)
    yield
    signal.alarm(0)
    signal.signal(signal.SIGALRM, previous)


def test_paths_that_are_not_regular_files(tmp_path, alarm):
    good = write_fasta(tmp_path / "ok.fa", {"a": "ACGT"})
    os.mkfifo(tmp_path / "pipe")
    os.symlink(good, tmp_path / "link.fa")
    os.symlink(tmp_path / "nowhere", tmp_path / "dangling")
    os.symlink(tmp_path / "loop", tmp_path / "loop")
    long_path = str(tmp_path / ("d" * 250)) * 20  # longer than PATH_MAX
    for path, message in [
        (str(tmp_path / "pipe"), "a named pipe"),
        ("/dev/zero", "a device"),
    ]:
        with pytest.raises(Exception, match=f"^IOError: {re.escape(path)} is {message}, not a"):
            tavlo.Faidx(path)
    # A directory fails as reading one fails, opened for writing or not.
    for mutable in (False, True):
        with pytest.raises(Exception, match=r"^IOError: Is a directory \(os error 21\)$"):
            tavlo.Faidx(str(tmp_path), mutable=mutable)
    for path in [str(tmp_path / "dangling"), str(tmp_path / "loop"), long_path]:
        with pytest.raises(Exception, match="^FastaNotFoundError: "):
            tavlo.Faidx(path)
    assert tavlo.Fasta(str(tmp_path / "link.fa"))["a"][:].seq == "ACGT"
    # The index path too: a pipe is neither read nor replaced, with or without a rebuild.
    for rebuild in (True, False):
        with pytest.raises(Exception, match="^IOError: .*pipe is a named pipe, not a regular"):
            tavlo.Faidx(good, indexname=str(tmp_path / "pipe"), rebuild=rebuild)
    assert os.path.exists(tmp_path / "pipe") and not os.path.isfile(tmp_path / "pipe")
    with pytest.raises(Exception, match="^IOError: /dev/null is a device"):
        tavlo.Faidx(good, indexname="/dev/null")
    with pytest.raises(Exception, match="^IOError: File name too long"):
        tavlo.Faidx(good, indexname=long_path)


def test_nul_in_a_path_touches_no_file(tmp_path):
    good = write_fasta(tmp_path / "ok.fa", {"a": "ACGT"})
    other = tmp_path / "other.fa"
    other.write_text("precious")
    for cls in (tavlo.Faidx, tavlo.Fasta):
        with pytest.raises(ValueError, match="embedded null byte in argument 'filename'"):
            cls(good + "\0x")
        with pytest.raises(ValueError, match="embedded null byte in argument 'indexname'"):
            cls(good, indexname=str(other) + "\0")
    assert sorted(os.listdir(tmp_path)) == ["ok.fa", "other.fa"]
    assert other.read_text() == "precious"


@pytest.mark.skipif(os.geteuid() != 0 or shutil.which("setpriv") is None,
                    reason="needs root to switch to an unprivileged user")
def test_permissions_as_an_unprivileged_user():
    # tmp_path lies under a folder only root may enter.
    top = tempfile.mkdtemp(prefix="tavlo-perm-")
    try:
        os.chmod(top, 0o755)
        shutil.copy(tavlo.__file__, top)  # the user may not reach the build folder
        secret = write_fasta(os.path.join(top, "secret.fa"), {"a": "ACGT"})
        os.chmod(secret, 0o000)
        locked = os.path.join(top, "locked")
        os.mkdir(locked)
        readable = write_fasta(os.path.join(locked, "x.fa"), {"a": "ACGT"})
        os.chmod(locked, 0o555)
        r = run_python(f"""
            import tavlo
            for args in [({secret!r},), ({readable!r},)]:
                try:
                    tavlo.Faidx(*args)
                    print("opened")
                except Exception as e:
                    print(e)
            """, user=65534, module_dir=top)
        assert r.stdout.splitlines() == ["IOError: Permission denied (os error 13)"] * 2, r.stderr
        assert os.listdir(locked) == ["x.fa"]
    finally:
        shutil.rmtree(top)


SHRINK = """
    import os, tavlo
    path = {path!r}
    fa = tavlo.Faidx(path, mutable={mutable})
    record = tavlo.Fasta(path)["big"]
    far = [("big", 150_000 + i, 150_100 + i) for i in range(2000)]
    assert len(fa.fetch_many(far)) == 2000
    os.truncate(path, 100)
    for name, call in [
        ("fetch", lambda: fa.fetch("big", 190_000, 190_010)),
        ("entire", lambda: fa.fetch_entire_sequence("big")),
        ("sequential batch", lambda: fa.fetch_many(far[:10])),
        ("pool batch", lambda: fa.fetch_many(far)),
        ("same chr", lambda: fa.fetch_many_same_chr("big", [(s, e) for _, s, e in far])),
        ("record", lambda: record[150_000:150_100]),
        ("start", lambda: fa.fetch("big", 1, 10)),
    ]:
        try:
            got = call()
            print(name, "returned", len(getattr(got, "seq", got)))
        except Exception as e:
            print(name, e)
    """


@pytest.mark.parametrize("mutable", [False, True])
def test_file_truncated_while_open(tmp_path, mutable):
    path = write_fasta(tmp_path / "x.fa", {"big": random_residues(200_000, alphabet="ACGT")})
    r = run_python(SHRINK.format(path=path, mutable=mutable))
    assert r.returncode == 0, r.stderr
    changed = f"{path} changed while open: it is shorter than when it was opened (open it again"
    lines = [line.replace(changed, "CHANGED") for line in r.stdout.splitlines()]
    # From the map, every read fails once one met the missing pages: the zero pages put in
    # their place may back any of them. Through the descriptor, reads that come back short.
    assert lines == [
        "fetch IOError: CHANGED to read it)",
        "entire IOError: CHANGED to read it)",
        "sequential batch IOError: CHANGED to read it)",
        "pool batch Error fetching region 0: IO error: CHANGED to read it)",
        "same chr Error fetching region 0 from big: IO error: CHANGED to read it)",
        "record IOError: CHANGED to read it)",
        "start returned 10" if mutable else "start IOError: CHANGED to read it)",
    ]


def test_file_cut_inside_its_last_page(tmp_path):
    # No page goes missing, so no fault: the bytes past the new end read as NULs.
    path = write_fasta(tmp_path / "x.fa", {"big": random_residues(2000, alphabet="ACGT")})
    fa = tavlo.Faidx(path)
    os.truncate(path, 1000)
    with pytest.raises(Exception, match="^IOError: .* changed while open"):
        fa.fetch("big", 900, 1100)
    assert fa.fetch("big", 1, 10).seq == tavlo.Faidx(path).fetch("big", 1, 10).seq


def test_bus_errors_of_others_still_end_the_process(tmp_path):
    # After the module's handler is in place, a bus error it does not own still kills the
    # process, and Python's fault handler still reports it (once: no endless hand-back).
    path = write_fasta(tmp_path / "x.fa", {"a": "ACGT"})
    r = run_python(f"""
        import faulthandler, os, signal, tavlo
        faulthandler.enable()
        fa = tavlo.Faidx({path!r})
        os.kill(os.getpid(), signal.SIGBUS)
        print("survived")
        """, timeout=30)
    # A sanitizer's runtime, when preloaded, ends the process in its own way.
    assert r.returncode == -signal.SIGBUS or (SANITIZED and r.returncode != 0), r.stderr
    assert "survived" not in r.stdout
    assert r.stderr.count("Fatal Python error: Bus error") == 1, r.stderr


def test_failed_constructions_release_descriptors(tmp_path):
    good = write_fasta(tmp_path / "ok.fa", {"a": "ACGT"})
    gz = tmp_path / "x.fa.gz"
    gz.write_bytes(b"\x1f\x8b\x08\x00")
    bad = write_fasta(tmp_path / "bad.fa", {"a": "ACGT"})
    (tmp_path / "bad.fai").write_text("a\tx\t3\t4\t5\n")
    os.mkfifo(tmp_path / "pipe")
    attempts = [
        dict(filename=str(tmp_path / "missing.fa")),
        dict(filename=str(gz)),
        dict(filename=bad, indexname=str(tmp_path / "bad.fai")),
        dict(filename=good, indexname=str(tmp_path / "none.fai"), build_index=False),
        dict(filename=good, indexname=str(tmp_path / "pipe")),
        dict(filename=str(tmp_path)),
        dict(filename=good, indexname=str(tmp_path / "no" / "dir.fai")),
    ]
    before = open_fds()
    for i in range(10_000):
        with pytest.raises(Exception):
            tavlo.Faidx(**attempts[i % len(attempts)])
    assert open_fds() == before


@pytest.mark.skipif(SANITIZED, reason="the sanitizer's quarantine keeps freed memory resident")
def test_memory_stays_flat(tmp_path):
    path = write_fasta(tmp_path / "x.fa", {"a": random_residues(100_000, alphabet="ACGT")})
    fa = tavlo.Faidx(path)
    rng = random.Random(7)
    regions = [("a", s, s + rng.randrange(1, 300)) for s in
               (rng.randrange(1, 99_000) for _ in range(2000))]

    def fetches(n):
        fetch = fa.fetch
        for i in range(n):
            fetch(*regions[i % 2000])

    def batches(n):
        for _ in range(n):
            fa.fetch_many(regions)

    fetches(100_000)
    batches(50)
    before = rss_bytes()
    fetches(1_000_000)
    batches(1000)
    growth = rss_bytes() - before
    assert growth < 8 << 20, f"resident memory grew by {growth:,} bytes"


@pytest.fixture(scope="module")
def shared_file(tmp_path_factory):
    rng = random.Random(11)
    records = {f"r{i}": random_residues(rng.randrange(1, 20_000), seed=i) for i in range(40)}
    path = write_fasta(tmp_path_factory.mktemp("shared") / "x.fa", records, width=61)
    return path, records


def wrong_residues(fa, records, seed, count=3000):
    """Random fetches through one Fasta and one batch, compared with the truth."""
    rng = random.Random(seed)
    names = list(records)
    wrong = 0
    regions = []
    for _ in range(count):
        name = rng.choice(names)
        n = len(records[name])
        s = rng.randrange(n)
        e = rng.randrange(s, min(n, s + 500)) + 1
        regions.append((name, s + 1, e))
        wrong += fa[name][s:e].seq != records[name][s:e]
    for (name, s, e), got in zip(regions, fa.fetch_many(regions)):
        wrong += got.seq != records[name][s - 1:e]
    return wrong


@pytest.mark.parametrize("mutable", [False, True], ids=["map", "descriptor"])
def test_threads_share_one_fasta(shared_file, mutable):
    path, records = shared_file
    fa = tavlo.Fasta(path, mutable=mutable)
    results = [None] * 8
    def work(i):
        results[i] = wrong_residues(fa, records, seed=i)
    threads = [threading.Thread(target=work, args=(i,)) for i in range(8)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert results == [0] * 8


@pytest.mark.parametrize("mutable", [False, True], ids=["map", "descriptor"])
def test_forked_children_use_the_parents_fasta(shared_file, mutable):
    path, records = shared_file
    fa = tavlo.Fasta(path, mutable=mutable)
    assert wrong_residues(fa, records, seed=99, count=10) == 0  # the pool is running now
    children = []
    for i in range(8):
        pid = os.fork()
        if pid == 0:
            code = 1
            try:
                code = 0 if wrong_residues(fa, records, seed=100 + i) == 0 else 2
            finally:
                os._exit(code)
        children.append(pid)
    codes = [os.waitstatus_to_exitcode(os.waitpid(pid, 0)[1]) for pid in children]
    assert codes == [0] * 8


@pytest.mark.skipif(not SLOW, reason="slow (4.4 GB sparse file): set TAVLO_SLOW=1 or CI")
def test_record_longer_than_2_to_the_32(tmp_path):
    # One record of 4.4e9 residues in lines of 10**6: holes read as NUL residues, and known
    # residues are written around position 2**32 and around a line end above it.
    width, rlen = 10**6, 4_400_000_000
    path = str(tmp_path / "big.fa")
    rng = random.Random(5)
    known = {}
    try:
        with open(path, "wb") as f:
            f.write(b">big\n")
            for line in range(rlen // width):
                f.seek(5 + line * (width + 1) + width)
                f.write(b"\n")
            for first in (2**32 - 40, 4_300_000_000 - 40, rlen - 80):
                for p in range(first, first + 81):
                    known[p] = rng.choice("ACGT")
                    f.seek(5 + (p - 1) // width * (width + 1) + (p - 1) % width)
                    f.write(known[p].encode())

        def truth(s, e):
            return "".join(known.get(p, "\0") for p in range(s, e + 1))

        regions = [("big", 2**32 - 30, 2**32 + 30), ("big", 4_300_000_000 - 35, 4_300_000_000 + 5),
                   ("big", rlen - 60, rlen), ("big", 2**32 + 1, 2**32 + 1)]
        for mutable in (False, True):
            fa = tavlo.Faidx(path, mutable=mutable)
            assert open(path + ".fai").read() == f"big\t{rlen}\t5\t{width}\t{width + 1}\n"
            for name, s, e in regions:
                assert fa.fetch(name, s, e).seq == truth(s, e)
            for batch in (regions, regions * 250):
                got = [r.seq for r in fa.fetch_many(batch)]
                assert got == [truth(s, e) for _, s, e in batch]
    finally:
        for leftover in (path, path + ".fai"):
            if os.path.exists(leftover):
                os.unlink(leftover)


def signalled_run(code, signum):
    """Runs `code` in a fresh interpreter, sends it `signum` 50 ms after it prints "ready", and
    returns what it printed after that."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(filter(None, [
        MODULE_DIR, os.environ.get("PYTHONPATH")])))
    # Python's own SIGINT handler, even when the tests run in a background job that ignores it.
    code = "import signal\nsignal.signal(signal.SIGINT, signal.default_int_handler)\n" + \
        textwrap.dedent(code)
    child = subprocess.Popen([sys.executable, "-c", code], env=env,
                             stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    assert child.stdout.readline() == "ready\n", child.stderr.read()
    threading.Event().wait(0.05)
    child.send_signal(signum)
    out, err = child.communicate(timeout=300)
    assert child.returncode == 0, err
    return out


@pytest.mark.parametrize("compressed", [False, True])
def test_ctrl_c_stops_a_large_batch(tmp_path, compressed):
    # SIGINT early in a long batch: KeyboardInterrupt well before the batch would have ended (as
    # a tenth of it, timed first, tells), and the pool serves the next batch.
    path = write_fasta(tmp_path / "r.fa", {"a": random_residues(5000, seed=3)})
    if compressed:
        subprocess.run([peer("bgzip"), "-f", path], check=True)
        path += ".gz"
    code = f"""
        import sys, time, tavlo
        fx = tavlo.Faidx({path!r})
        regions = [("a", 1 + i % 4000, 200 + i % 4000) for i in range(2_000_000)]
        start = time.perf_counter()
        fx.fetch_many(regions[:200_000])
        tenth = time.perf_counter() - start
        print("ready", flush=True)
        start = time.perf_counter()
        try:
            fx.fetch_many(regions)
            print("finished")
        except KeyboardInterrupt:
            print("interrupted", time.perf_counter() - start, 10 * tenth)
        print(len(fx.fetch_many(regions[:5000])))
        """
    out = signalled_run(code, signal.SIGINT)
    word, *times = out.split("\n")[0].split()
    assert word == "interrupted", out
    assert float(times[0]) < 0.75 * float(times[1]), out
    assert out.split("\n")[1] == "5000"


def test_signal_handler_that_changes_the_regions_during_a_batch(tmp_path):
    # Handlers run between chunks: one that empties and refills the caller's list, dropping every
    # tuple and name the batch began with, leaves the batch sound (whatever list it then reads).
    path = write_fasta(tmp_path / "r.fa", {"a": random_residues(5000, seed=4)})
    code = f"""
        import os, signal, tavlo
        fx = tavlo.Faidx({path!r})
        regions = [(str("a"), 1 + i % 4000, 200 + i % 4000) for i in range(1_500_000)]
        def swap(*_):
            regions.clear()
            regions.extend(("a", 1, 1) for _ in range(10))
        signal.signal(signal.SIGUSR1, swap)
        print("ready", flush=True)
        out = fx.fetch_many(regions)
        assert all(len(s.seq) in (1, 200) for s in out)
        print(len(out))
        """
    out = signalled_run(code, signal.SIGUSR1)
    assert int(out) in (10, 1_500_000)
