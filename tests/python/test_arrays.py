"""fetch_array against a plain-NumPy model built from fetch results."""

import os
import signal
import subprocess
import sys
import textwrap
import threading
import time

import numpy as np
import pytest

import tavlo
from conftest import random_residues, write_fasta
from test_bgzf import write_bgzf

RECORDS = {"a": random_residues(1000, seed=1, alphabet="ACGTNacgtnRYKMBVDHSWXU-"),
           "b": random_residues(37, seed=2), "empty": "", "c": random_residues(130, seed=3)}
COMPLEMENT = dict(zip("ACGTRYKMBVDHSWXNacgtrykmbvdhswxn", "TGCAYRMKVBHDSWXNtgcayrmkvbhdswxn"))


@pytest.fixture(scope="module")
def ref(tmp_path_factory):
    return write_fasta(tmp_path_factory.mktemp("arrays") / "ref.fa", RECORDS, width=13)


def model(fa, regions, encoding="bytes", alphabet="ACGT", reverse=None, fill="N",
          dtype=None, channels_first=False):
    """The array from fetch: residues of the window's part inside the record, padded around."""
    rows, pads = [], []
    for i, (name, start, end) in enumerate(regions):
        rlen = len(RECORDS[name])
        first, last = max(start, 1), min(end, rlen)
        text = str(fa.fetch(name, first, last)) if first <= last else ""
        left = min(end - start + 1, max(0, 1 - start))
        pad = [True] * left + [False] * len(text) + [True] * (end - start + 1 - left - len(text))
        text = fill * left + text + fill * (end - start + 1 - left - len(text))
        if reverse is not None and reverse[i]:
            text = "".join(COMPLEMENT.get(c, "N") if not p else c
                           for c, p in zip(reversed(text), reversed(pad)))
            pad = pad[::-1]
        rows.append(text)
        pads.append(pad)
    width = regions[0][2] - regions[0][1] + 1 if regions else 0
    raw = np.frombuffer("".join(rows).encode(), np.uint8).reshape(len(rows), width)
    pad = np.array(pads, bool).reshape(len(rows), width)
    if encoding == "bytes":
        return raw
    lut = np.full(256, len(alphabet), np.int64)
    for k, letter in enumerate(alphabet):
        lut[ord(letter.upper())] = lut[ord(letter.lower())] = k
    codes = np.where(pad, len(alphabet), lut[raw])
    if encoding == "codes":
        return codes.astype(dtype or np.int8)
    onehot = np.eye(len(alphabet) + 1, dtype=dtype or np.uint8)[codes][..., :len(alphabet)]
    return onehot.transpose(0, 2, 1) if channels_first else onehot


def windows(width, n=60, seed=0):
    rng = np.random.default_rng(seed)
    names = list(RECORDS)
    out = []
    for _ in range(n):
        name = names[rng.integers(len(names))]
        start = int(rng.integers(-width - 3, len(RECORDS[name]) + 4))
        out.append((name, start, start + width - 1))
    return out


@pytest.mark.parametrize("encoding,dtype,channels_first,alphabet", [
    ("bytes", None, False, "ACGT"),
    ("codes", None, False, "ACGT"),
    ("codes", np.int64, False, "acgun"),
    ("onehot", None, False, "ACGT"),
    ("onehot", np.bool_, True, "ACGT"),
    ("onehot", np.float16, False, "ACGTN"),
    ("onehot", np.float32, True, "ACGT"),
    ("onehot", np.float64, False, "ACDEFGHIKLMNPQRSTVWY"),
])
@pytest.mark.parametrize("strand", ["+", "rc", "strands"])
@pytest.mark.parametrize("width", [1, 75, 0])
def test_every_encoding_matches_the_model(ref, encoding, dtype, channels_first, alphabet, strand,
                                          width):
    fa = tavlo.Faidx(ref)
    regions = windows(width)
    reverse = {"+": None, "rc": [True] * len(regions),
               "strands": [i % 3 == 0 for i in range(len(regions))]}[strand]
    kwargs = dict(encoding=encoding, alphabet=alphabet, channels_first=channels_first)
    if dtype is not None:
        kwargs["dtype"] = dtype
    if strand == "rc":
        kwargs["rc"] = True
    elif strand == "strands":
        kwargs["strands"] = ["-" if r else "+" for r in reverse]
    got = fa.fetch_array(regions, **kwargs)
    want = model(fa, regions, encoding, alphabet, reverse, dtype=dtype,
                 channels_first=channels_first)
    assert got.dtype == want.dtype and got.shape == want.shape
    np.testing.assert_array_equal(got, want)


def test_input_forms_and_options_agree(ref):
    fa = tavlo.Faidx(ref, sequence_always_upper=True)
    regions = windows(17, n=40, seed=5)
    names, starts, ends = (list(c) for c in zip(*regions))
    numbers = [fa.keys.index(n) for n in names]
    want = model(fa, regions, fill="x")
    assert want.tobytes().replace(b"x", b"").isupper()
    forms = [dict(names=names, starts=starts, ends=ends),
             dict(names=np.array(names), starts=np.array(starts, np.int32), ends=np.array(ends)),
             dict(names=np.array(names, dtype="S"), starts=np.array(starts)[::-1][::-1],
                  ends=np.array(ends, ">i8")),
             dict(names=np.array(numbers, np.uint16), starts=starts, ends=ends),
             dict(names=np.array(names, dtype=object), starts=starts, ends=ends)]
    for form in forms:
        np.testing.assert_array_equal(fa.fetch_array(**form, fill="x"), want)
    np.testing.assert_array_equal(
        tavlo.Fasta(ref, sequence_always_upper=True).fetch_array(regions, fill=b"x"), want)
    strands = np.array([(-1) ** i for i in range(len(regions))])
    np.testing.assert_array_equal(fa.fetch_array(regions, strands=strands, encoding="codes"),
                                  fa.fetch_array(regions, encoding="codes",
                                                 strands=["+-"[i % 2] for i in range(40)]))


def test_out_is_filled_in_place_and_checked_first(ref):
    fa = tavlo.Faidx(ref)
    regions = windows(8, n=5)
    out = np.full((5, 4, 8), 7, np.float32)
    assert fa.fetch_array(regions, encoding="onehot", channels_first=True, out=out) is out
    np.testing.assert_array_equal(out, model(fa, regions, "onehot", dtype=np.float32,
                                             channels_first=True))
    buf = bytearray(40)  # any writable buffer: its format gives the dtype
    fa.fetch_array(regions, out=memoryview(buf).cast("B", (5, 8)))
    assert bytes(buf) == model(fa, regions).tobytes()
    for bad in (np.zeros((5, 9), np.uint8), np.zeros((5, 8), np.int16),
                np.zeros((8, 5), np.uint8).T, np.zeros((5, 8), np.uint8)[:, ::-1],
                np.zeros(40, np.uint8)):
        before = bad.copy()
        with pytest.raises(ValueError, match="out"):
            fa.fetch_array(regions, out=bad, dtype=np.uint8)
        np.testing.assert_array_equal(bad, before)
    assert fa.fetch_array([], out=np.zeros((0, 8), np.uint8)).shape == (0, 8)
    assert fa.fetch_array([], encoding="onehot").shape == (0, 0, 4)
    with pytest.raises(ValueError, match="out has shape"):
        fa.fetch_array([], encoding="onehot", channels_first=True, out=np.zeros((0, 4), np.uint8))
    with pytest.raises(ValueError, match="writable"):
        fa.fetch_array(regions, out=np.frombuffer(bytes(40), np.uint8).reshape(5, 8))


def test_refusals(ref):
    fa = tavlo.Faidx(ref)
    with pytest.raises(ValueError, match="same length: region 0 has 5 positions, region 1 has 4"):
        fa.fetch_array([("a", 1, 5), ("b", 1, 4)])
    with pytest.raises(Exception, match="^FetchError: Sequence 'zz' not found$"):
        fa.fetch_array([("a", 1, 5), ("zz", 1, 5)])
    with pytest.raises(Exception, match="^FetchError: Sequence number 4 not found"):
        fa.fetch_array(names=[0, 4], starts=[1, 1], ends=[2, 2])
    with pytest.raises(IndexError, match=r"b:35-39 \(region 1\)"):
        fa.fetch_array([("a", 1, 5), ("b", 35, 39)], strict_bounds=True)
    with pytest.raises(IndexError, match=r"a:0-4"):
        tavlo.Faidx(ref, strict_bounds=True).fetch_array([("a", 0, 4)])
    for kwargs in (dict(alphabet="AAC", encoding="codes"), dict(alphabet="A1", encoding="onehot"),
                   dict(encoding="codes", dtype=np.float32), dict(dtype=np.int16),
                   dict(encoding="text"), dict(rc=True, strands=["+"]), dict(strands=["x"]),
                   dict(fill="NN")):
        with pytest.raises(ValueError):
            fa.fetch_array([("a", 1, 5)], **kwargs)
    with pytest.raises(ValueError, match="ends .* before it starts"):
        fa.fetch_array([("a", 5, 3)])
    with pytest.raises(OverflowError):
        fa.fetch_array([("a", -2**63, 2**63 - 1)])
    with pytest.raises(TypeError):
        fa.fetch_array(names=["a"], starts=[1.5], ends=[2])


def test_compressed_and_descriptor_paths(ref, tmp_path):
    with open(ref, "rb") as f:
        text = f.read()
    plain = tavlo.Faidx(ref)
    regions = windows(50, n=2000, seed=9)  # 100,000 residues: spread over the pool
    want = plain.fetch_array(regions, encoding="codes")
    np.testing.assert_array_equal(want, model(plain, regions, "codes"))
    for fa in (tavlo.Faidx(write_bgzf(tmp_path / "z.fa.gz", text, 300)),
               tavlo.Faidx(ref, mutable=True)):
        np.testing.assert_array_equal(fa.fetch_array(regions, encoding="codes"), want)


def test_a_changed_file_raises(tmp_path):
    path = write_fasta(tmp_path / "r.fa", {"a": "ACGT" * 5000})
    fa = tavlo.Faidx(path)
    os.truncate(path, 100)
    with pytest.raises(Exception, match="changed while open"):
        fa.fetch_array([("a", 1000, 1100)] * 3000)


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    residues = np.random.default_rng(4).choice(np.frombuffer(b"ACGTN", np.uint8), 2_000_000)
    path = tmp_path_factory.mktemp("big") / "big.fa"
    return write_fasta(path, {"a": residues.tobytes().decode()})


def test_other_threads_run_while_a_large_batch_fills(big):
    fa = tavlo.Faidx(big, mutable=True)  # a read per window: a long call, a small output
    starts = np.random.default_rng(0).integers(1, 1_999_000, 200_000)
    out = np.empty((200_000, 200), np.int8)
    call = lambda: fa.fetch_array(names=np.zeros(200_000, np.int64), starts=starts,  # noqa: E731
                                  ends=starts + 199, encoding="codes", out=out)
    call()
    gaps, done = [], threading.Event()

    def count():
        last = time.perf_counter()
        while not done.is_set():
            now = time.perf_counter()
            gaps.append(now - last)
            last = now

    t0 = time.perf_counter()
    call()
    alone = time.perf_counter() - t0
    counter = threading.Thread(target=count)
    counter.start()
    try:
        call()
    finally:
        done.set()
        counter.join()
    # Holding the lock through the call would stall the counter for the whole call.
    assert max(gaps[1:]) < max(alone / 2, 0.02)


CHILD = """
import signal, sys, time
import numpy as np, tavlo
signal.signal(signal.SIGINT, signal.default_int_handler)  # also in a job that ignores SIGINT
fa = tavlo.Faidx(sys.argv[1], mutable=True)
n = 3_000_000
starts = np.random.default_rng(0).integers(1, 1_999_000, n)
names = np.zeros(n, np.int64)
print("ready", flush=True)
t0 = time.perf_counter()
try:
    fa.fetch_array(names=names, starts=starts, ends=starts + 15, encoding="codes")
    print("finished", time.perf_counter() - t0, flush=True)
except KeyboardInterrupt:
    print("interrupted", time.perf_counter() - t0, flush=True)
small = fa.fetch_array(names=names[:5000], starts=starts[:5000], ends=starts[:5000] + 15)
assert (small[7] == np.frombuffer(str(fa.fetch("a", int(starts[7]), int(starts[7]) + 15)).encode(),
                                   np.uint8)).all()
print("pool ok", flush=True)
"""


def test_ctrl_c_stops_a_batch(big):
    child = subprocess.Popen([sys.executable, "-c", textwrap.dedent(CHILD), big],
                             stdout=subprocess.PIPE, text=True)
    try:
        assert child.stdout.readline() == "ready\n"
        time.sleep(0.5)
        sent = time.perf_counter()
        child.send_signal(signal.SIGINT)
        what, _ = child.stdout.readline().split()
        latency = time.perf_counter() - sent
        assert what == "interrupted" and latency < 0.5
        assert child.stdout.readline() == "pool ok\n"
    finally:
        child.kill()
        child.wait()


def test_without_numpy(ref):
    script = f"""
import sys
sys.modules["numpy"] = None
import tavlo
fa = tavlo.Faidx({ref!r})
try:
    fa.fetch_array([("a", 1, 4)])
except ImportError as e:
    assert "NumPy" in str(e), e
else:
    raise SystemExit("no ImportError")
buf = bytearray(8)
fa.fetch_array([("a", 1, 4), ("b", 1, 4)], out=memoryview(buf).cast("B", (2, 4)))
codes = memoryview(bytearray(4)).cast("b", (1, 4))
fa.fetch_array([("a", 1, 4)], encoding="codes", dtype="int8", out=codes)
print(bytes(buf).decode())
"""
    done = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True)
    assert done.returncode == 0, done.stderr
    fa = tavlo.Faidx(ref)
    assert done.stdout.strip() == str(fa.fetch("a", 1, 4)) + str(fa.fetch("b", 1, 4))
