"""BGZF-compressed files: every read path against the plain file, the indexes, damaged blocks."""

import os
import random
import shutil
import struct
import subprocess
import zlib

import pytest
from hypothesis import given, settings, strategies as st

import tavlo
from conftest import peer, random_residues, write_fasta


def block(payload):
    """One BGZF block holding `payload`."""
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    data = c.compress(payload) + c.flush()
    header = b"\x1f\x8b\x08\x04\0\0\0\0\0\xff\x06\0BC\x02\0" + struct.pack("<H", 18 + len(data) + 7)
    return header + data + struct.pack("<II", zlib.crc32(payload), len(payload))


def write_bgzf(path, text, size, eof=True, empties=()):
    """`text` in blocks of `size` bytes, an empty block before each block numbered in `empties`."""
    out = bytearray()
    for n, i in enumerate(range(0, len(text), size)):
        if n in empties:
            out += block(b"")
        out += block(text[i:i + size])
    if eof:
        out += block(b"")
    with open(path, "wb") as f:
        f.write(out)
    return str(path)


RECORDS = {"r1": random_residues(3000, seed=1), "empty": "", "r2": random_residues(777, seed=2),
           "r3": random_residues(61, seed=3)}


def plain_and_compressed(tmp_path, make, newline="\n", width=60):
    plain = write_fasta(tmp_path / "p.fa", RECORDS, width, newline)
    with open(plain, "rb") as f:
        text = f.read()
    return tavlo.Faidx(plain), make(tmp_path / "z.fa.gz", text)


def by_bgzip(path, text):
    with open(path, "wb") as f:
        subprocess.run([peer("bgzip"), "-c"], input=text, stdout=f, check=True)
    return str(path)


LAYOUTS = {
    "bgzip": by_bgzip,
    "small blocks": lambda p, t: write_bgzf(p, t, 100),
    "odd blocks, no EOF block": lambda p, t: write_bgzf(p, t, 61, eof=False),
    "one block": lambda p, t: write_bgzf(p, t, 1 << 16),
    "empty blocks": lambda p, t: write_bgzf(p, t, 500, empties=(0, 2, 3)),
}


@pytest.mark.parametrize("layout", LAYOUTS)
@pytest.mark.parametrize("newline", ["\n", "\r\n"])
def test_every_read_path_matches_the_plain_file(tmp_path, layout, newline):
    plain, path = plain_and_compressed(tmp_path, LAYOUTS[layout], newline)
    rng = random.Random(7)
    regions = [("r1", s, s + rng.randrange(300)) for s in rng.sample(range(1, 3000), 200)]
    regions += [("r1", 99, 101), ("r1", 1, 3000), ("r2", 700, 900), ("r3", 1, 61), ("empty", 1, 5),
                ("r2", 0, 10)]
    want = [plain.fetch_many(regions[i:i + 1])[0].seq for i in range(len(regions))]
    for mutable in (False, True):
        fa = tavlo.Faidx(path, mutable=mutable)
        assert [fa.fetch_many(regions[i:i + 1])[0].seq for i in range(len(regions))] == want
        for name in RECORDS:
            assert fa.fetch_entire_sequence(name).seq == RECORDS[name]
        big = regions * 6  # past the size that goes to the worker pool
        assert [s.seq for s in fa.fetch_many(big)] == [s.seq for s in plain.fetch_many(big)]
        same = [(s, e) for n, s, e in big if n == "r1"]
        assert [s.seq for s in fa.fetch_many_same_chr("r1", same)] == \
            [s.seq for s in plain.fetch_many_same_chr("r1", same)]
    with open(path + ".fai") as f, open(str(tmp_path / "p.fa.fai")) as g:
        assert f.read() == g.read()
    fasta = tavlo.Fasta(path)
    assert [str(r) for r in fasta] == list(RECORDS.values())
    assert "".join(p.seq for p in fasta["r2"]) == RECORDS["r2"]
    assert str(fasta["r1"][2990:3100]) == RECORDS["r1"][2990:]


def test_indexes_are_those_samtools_writes_and_reads(tmp_path):
    samtools = peer("samtools")
    records = {f"s{i}": random_residues(20000 + 977 * i, seed=i) for i in range(12)}
    # (samtools leaves empty records out of its .fai; tavlo lists them, as it does for plain files.)
    text = open(write_fasta(tmp_path / "p.fa", records, 70), "rb").read()
    ours = by_bgzip(tmp_path / "a.fa.gz", text)
    (tmp_path / "sam").mkdir()
    theirs = str(tmp_path / "sam" / "a.fa.gz")
    shutil.copy(ours, theirs)
    subprocess.run([samtools, "faidx", theirs], check=True)
    fa = tavlo.Faidx(ours)
    for ext in (".fai", ".gzi"):
        with open(ours + ext, "rb") as f, open(theirs + ext, "rb") as g:
            assert f.read() == g.read(), ext
    # samtools' files are read as they are, not rewritten.
    stamps = [os.stat(theirs + ext).st_mtime_ns for ext in (".fai", ".gzi")]
    other = tavlo.Faidx(theirs)
    assert [os.stat(theirs + ext).st_mtime_ns for ext in (".fai", ".gzi")] == stamps
    assert other.fetch("s11", 2950, 30000).seq == records["s11"][2949:30000]
    out = subprocess.run([samtools, "faidx", ours, "s7:700-26000"], check=True,
                         capture_output=True)
    assert out.stdout.decode().split("\n", 1)[1].replace("\n", "") == \
        fa.fetch("s7", 700, 26000).seq


def test_missing_and_stale_gzi(tmp_path):
    text = open(write_fasta(tmp_path / "p.fa", RECORDS), "rb").read()
    path = write_bgzf(tmp_path / "z.fa.gz", text, 200)
    tavlo.Faidx(path)
    good = open(path + ".gzi", "rb").read()
    assert struct.unpack("<Q", good[:8])[0] == (len(text) - 1) // 200
    os.remove(path + ".gzi")
    assert tavlo.Faidx(path, build_index=False).fetch("r2", 1, 777).seq == RECORDS["r2"]
    assert not os.path.exists(path + ".gzi")  # nothing written without build_index
    tavlo.Faidx(path)
    assert open(path + ".gzi", "rb").read() == good
    # A .gzi of other blocks, older than the file, is rebuilt; a newer one is believed and fails.
    write_bgzf(path, text, 300)
    bad = write_bgzf(tmp_path / "other.gz", text, 200)
    tavlo.Faidx(bad)
    shutil.copy(bad + ".gzi", path + ".gzi")
    os.utime(path + ".gzi", ns=(1, 1))
    assert tavlo.Faidx(path).fetch("r2", 1, 777).seq == RECORDS["r2"]
    shutil.copy(bad + ".gzi", path + ".gzi")
    with pytest.raises(Exception, match="^IOError: .*(does not match|invalid BGZF)"):
        tavlo.Faidx(path).fetch("r2", 1, 777)
    with open(path + ".gzi", "wb") as f:
        f.write(struct.pack("<QQQ", 2, 5, 5))
    fa = tavlo.Faidx(path)  # the .gzi is read by the first fetch
    for _ in range(2):
        with pytest.raises(Exception, match="^IOError: invalid .gzi index .*z.fa.gz.gzi"):
            fa.fetch("r2", 1, 777)


def test_damaged_blocks_raise_naming_the_offset(tmp_path):
    text = open(write_fasta(tmp_path / "p.fa", RECORDS), "rb").read()
    path = write_bgzf(tmp_path / "z.fa.gz", text, 1000)
    tavlo.Faidx(path)
    fai = open(path + ".fai").read()
    data = bytearray(open(path, "rb").read())
    second = len(block(text[:1000]))
    crc_at = second + len(block(text[1000:2000])) - 8
    data[crc_at] ^= 1
    with open(path, "wb") as f:
        f.write(data)
    os.utime(path, ns=(1, 1))  # keep the indexes
    fa = tavlo.Faidx(path)
    assert fa.fetch("r1", 1, 500).seq == RECORDS["r1"][:500]
    for call in (lambda: fa.fetch("r1", 1, 2000), lambda: fa.fetch_entire_sequence("r1"),
                 lambda: fa.fetch_many([("r1", 1500, 1600)] * 1000)):
        with pytest.raises(Exception, match=f"CRC32 mismatch.* at compressed offset {second}"):
            call()
    os.remove(path + ".fai")
    with pytest.raises(Exception, match=f"^IOError: .*CRC32.* offset {second}$"):
        tavlo.Faidx(path)
    assert not os.path.exists(path + ".fai")
    # The last block cut short: readable up to it, an error inside it.
    data[crc_at] ^= 1
    last = len(data) - len(block(b"")) - 20
    with open(path, "wb") as f:
        f.write(data[:last])
    with pytest.raises(Exception, match="^IOError: truncated BGZF block at compressed offset"):
        tavlo.Faidx(path)
    with open(path + ".fai", "w") as f:
        f.write(fai)
    fa = tavlo.Faidx(path, build_index=False)
    assert fa.fetch("r1", 1, 900).seq == RECORDS["r1"][:900]
    with pytest.raises(Exception, match="^IOError: truncated BGZF block"):
        fa.fetch("r3", 1, 61)


def test_forked_child_reads_compressed_file(tmp_path):
    text = open(write_fasta(tmp_path / "p.fa", RECORDS), "rb").read()
    fa = tavlo.Faidx(write_bgzf(tmp_path / "z.fa.gz", text, 100))
    regions = [("r1", s, s + 50) for s in range(1, 2900, 2)]
    want = [s.seq for s in fa.fetch_many(regions)]
    pid = os.fork()
    if pid == 0:
        ok = [s.seq for s in fa.fetch_many(regions)] == want
        os._exit(0 if ok else 1)
    assert os.waitpid(pid, 0)[1] == 0


@settings(max_examples=100, deadline=None)
@given(flips=st.lists(st.tuples(st.integers(0, 10**6), st.integers(1, 255)), max_size=3),
       cut=st.integers(1, 10**6), keep_gzi=st.booleans(), mutable=st.booleans())
def test_damaged_files_give_the_residues_or_an_error(tmp_path_factory, flips, cut, keep_gzi,
                                                     mutable):
    d = tmp_path_factory.mktemp("damaged")
    plain = tavlo.Faidx(write_fasta(d / "p.fa", RECORDS))
    text = open(str(d / "p.fa"), "rb").read()
    path = write_bgzf(d / "z.fa.gz", text, 300)
    tavlo.Faidx(path)
    if not keep_gzi:
        os.remove(path + ".gzi")
    data = bytearray(open(path, "rb").read())
    for at, x in flips:  # past the gzip magic, without which the file reads as plain text
        data[2 + at % (len(data) - 2)] ^= x
    with open(path, "wb") as f:
        f.write(data[:2 + cut % (len(data) - 1)])
    os.utime(path, ns=(1, 1))  # the indexes stay
    try:
        fa = tavlo.Faidx(path, mutable=mutable)
    except Exception as e:
        assert str(e).startswith("IOError: ")
        return
    regions = [("r1", 1, 3000), ("r1", 250, 350), ("r2", 1, 777), ("r3", 1, 61)]
    for name, s, e in regions:
        want = plain.fetch(name, s, e).seq
        try:
            got = fa.fetch(name, s, e).seq
        except Exception as err:
            assert str(err).startswith("IOError: ")
            continue
        # Only a file cut after a whole block, with no .gzi to tell, may end early.
        assert got == want if keep_gzi else want.startswith(got)
    try:
        got = [r.seq for r in fa.fetch_many(regions * 250)]
    except RuntimeError as err:
        assert "IO error: " in str(err)
    else:
        if keep_gzi:
            assert got[:4] == [plain.fetch(*r).seq for r in regions]


@pytest.mark.parametrize("pairs", [0, 3])
def test_gzi_listing_only_some_blocks_is_refused(tmp_path, pairs):
    text = open(write_fasta(tmp_path / "p.fa", RECORDS), "rb").read()
    path = write_bgzf(tmp_path / "z.fa.gz", text, 200)
    tavlo.Faidx(path)
    full = open(path + ".gzi", "rb").read()
    with open(path + ".gzi", "wb") as f:  # newer than the file, so it is believed
        f.write(struct.pack("<Q", pairs) + full[8:8 + 16 * pairs])
    with pytest.raises(Exception, match=r"^IOError: the .gzi index .*z.fa.gz.gzi does not list"):
        tavlo.Faidx(path).fetch_entire_sequence("r2")
    tool = shutil.which("tavlo", path=os.path.dirname(os.sys.executable))
    if tool:
        r = subprocess.run([tool, "faidx", path, "r2"], capture_output=True)
        assert r.returncode == 1 and r.stdout == b">r2\n" * 0 and b"does not list" in r.stderr
