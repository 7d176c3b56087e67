"""Plain gzip files read through checkpoints: every read path against the plain file, the
checkpoint index and its validation, damaged files, fork and threads."""

import gzip
import os
import random
import shutil
import subprocess
import threading
import zlib

import pytest
from hypothesis import given, settings, strategies as st

import tavlo
from conftest import peer, write_fasta
from test_cli import TAVLO, run


def residues(n, seed):
    return "".join(random.Random(seed).choices("ACGTNacgt", k=n))


# Long enough for several checkpoints (one per 64 KiB of text at least).
RECORDS = {"r1": residues(400_000, 1), "empty": "", "r2": residues(777, 2),
           "r3": residues(250_001, 3)}


def member(payload, flags=0):
    """One gzip member; FEXTRA, FNAME and FCOMMENT fields as `flags` asks."""
    c = zlib.compressobj(6, zlib.DEFLATED, -15)
    header = bytes([0x1F, 0x8B, 8, flags, 0, 0, 0, 0, 0, 3])
    if flags & 4:
        header += b"\x04\x00ab\x00\x00"
    if flags & 8:
        header += b"name.fa\x00"
    if flags & 16:
        header += b"a comment\x00"
    return (header + c.compress(payload) + c.flush() +
            zlib.crc32(payload).to_bytes(4, "little") + len(payload).to_bytes(4, "little"))


def members(text, sizes):
    """Members of the given sizes (cutting lines anywhere), some with header fields, some empty,
    then zero padding."""
    out, at = b"", 0
    for k, n in enumerate(sizes):
        out += member(text[at:at + n], (4 | 8 | 16) if k % 2 else 0)
        if k % 3 == 0:
            out += gzip.compress(b"")
        at += n
    return out + member(text[at:]) + b"\0" * 512


def by_program(*argv):
    return lambda text: subprocess.run(list(argv), input=text, capture_output=True,
                                       check=True).stdout


MAKERS = {
    "gzip -1": lambda t: by_program("gzip", "-1", "-c")(t),
    "gzip -6": lambda t: by_program("gzip", "-6", "-c")(t),
    "gzip -9": lambda t: by_program("gzip", "-9", "-c")(t),
    "pigz": lambda t: by_program(peer("pigz"), "-c", "-b", "32")(t),
    "members": lambda t: members(t, [1, 70_001, 150_000, 61, 99_999]),
}


@pytest.fixture(scope="module")
def plain(tmp_path_factory):
    path = write_fasta(tmp_path_factory.mktemp("plain") / "p.fa", RECORDS, 60)
    return path, open(path, "rb").read()


def write_gz(tmp_path, text, maker="gzip -6", name="z.fa.gz"):
    path = str(tmp_path / name)
    with open(path, "wb") as f:
        f.write(MAKERS[maker](text))
    return path


def sample_regions(rng, n):
    out = []
    for _ in range(n):
        name = rng.choice(["r1", "r3", "r2"])
        length = len(RECORDS[name])
        s = rng.randrange(1, length + 1)
        out.append((name, s, min(length, s + rng.choice([0, 1, 99, 5000, 200_000]))))
    return out + [("r1", 1, 400_000), ("empty", 1, 5), ("r2", 0, 10), ("r3", 250_001, 250_001)]


def test_blocks_longer_than_the_checkpoint_spacing(tmp_path):
    # A long run of N deflates into blocks of megabytes, which get checkpoints inside them.
    seq = residues(50_000, 6) + "N" * 6_000_000 + residues(50_000, 7)
    path = write_gz(tmp_path, open(write_fasta(tmp_path / "g.fa", {"g": seq}, 60), "rb").read())
    fa = tavlo.Faidx(path)
    for s in (1, 49_990, 3_000_000, 6_049_000, 6_099_950):
        assert tavlo.Faidx(path).fetch("g", s, s + 2000).seq == seq[s - 1:s + 2000]
    assert fa.fetch_entire_sequence("g").seq == seq


@pytest.mark.parametrize("maker", MAKERS)
def test_every_read_path_matches_the_plain_file(tmp_path, plain, maker):
    plain_path, text = plain
    path = write_gz(tmp_path, text, maker)
    ref = tavlo.Faidx(plain_path)
    regions = sample_regions(random.Random(5), 150)
    want = [ref.fetch_many([r])[0].seq for r in regions]
    big = regions * 10  # past the size that goes to the worker pool
    want_big = [s.seq for s in ref.fetch_many(big)]
    for mutable in (False, True):
        fa = tavlo.Faidx(path, mutable=mutable)  # built by the first, read by the second
        assert [fa.fetch_many([r])[0].seq for r in regions] == want
        assert [fa.fetch(*r).seq for r in regions if r[1] > 0] == [
            w for r, w in zip(regions, want) if r[1] > 0]
        for name in RECORDS:
            assert fa.fetch_entire_sequence(name).seq == RECORDS[name]
        assert [s.seq for s in fa.fetch_many(big)] == want_big
        same = [(s, e) for n, s, e in big if n == "r1"]
        assert [s.seq for s in fa.fetch_many_same_chr("r1", same)] == \
            [s.seq for s in ref.fetch_many_same_chr("r1", same)]
    with open(path + ".fai") as f, open(plain_path + ".fai") as g:
        assert f.read() == g.read()
    fasta = tavlo.Fasta(path)
    assert [str(r) for r in fasta] == list(RECORDS.values())
    assert str(fasta["r3"][249_990:250_100]) == RECORDS["r3"][249_990:]


def test_commands_match_the_plain_file(tmp_path, plain):
    if TAVLO is None:
        pytest.skip("tavlo executable not installed")
    plain_path, text = plain
    path = write_gz(tmp_path, text, "members")
    regions = ["r1:1-60", "r1:65000-140000", "r3", "r3:249999-250001", "r2:700-900"]
    bed = tmp_path / "r.bed"
    bed.write_text("r1\t0\t400000\tx\t0\t+\nr3\t100\t200000\ty\t0\t-\nr1\t5\t9\tz\t0\t+\n")
    for argv in (["faidx", "{}", *regions], ["getfasta", "-fi", "{}", "-bed", str(bed), "-s"]):
        ours = run(TAVLO, *[a.format(path) for a in argv])
        theirs = run(TAVLO, *[a.format(plain_path) for a in argv])
        assert ours.returncode == 0, ours.stderr
        assert ours.stdout == theirs.stdout


def test_checkpoint_index_is_built_checked_and_rebuilt(tmp_path, plain):
    _, text = plain
    path = write_gz(tmp_path, text)
    tavlo.Faidx(path)
    good = open(path + ".gzidx", "rb").read()
    os.remove(path + ".gzidx")
    assert tavlo.Faidx(path, build_index=False).fetch("r2", 1, 777).seq == RECORDS["r2"]
    assert not os.path.exists(path + ".gzidx")  # nothing written without build_index
    tavlo.Faidx(path)
    assert open(path + ".gzidx", "rb").read() == good
    size = os.path.getsize(path + ".gzidx")
    assert 0 < size < 0.15 * os.path.getsize(path)

    # An index made from another file (here the same text compressed otherwise) is rebuilt, or
    # refused when rebuilding is off; so is one whose file was touched since.
    other = write_gz(tmp_path, text, "gzip -1", name="o.fa.gz")
    tavlo.Faidx(other)
    for stale in (other + ".gzidx", None):
        if stale:
            shutil.copy(stale, path + ".gzidx")
        else:
            os.utime(path)
        with pytest.raises(Exception, match="^IOError: checkpoint index .* does not match"):
            tavlo.Faidx(path, rebuild=False)
        assert tavlo.Faidx(path).fetch("r3", 5, 70_000).seq == RECORDS["r3"][4:70_000]
        assert open(path + ".gzidx", "rb").read()[64:] == good[64:]

    # A damaged index that still names the file fails the first fetch, every time, and is
    # never believed.
    bad = bytearray(open(path + ".gzidx", "rb").read())
    bad[len(bad) // 2] ^= 0x10
    open(path + ".gzidx", "wb").write(bad)
    os.utime(path + ".gzidx", ns=(os.stat(path).st_mtime_ns + 1,) * 2)
    fa = tavlo.Faidx(path)
    for _ in range(2):
        with pytest.raises(Exception, match="^IOError: checkpoint index checksum mismatch"):
            fa.fetch("r1", 1, 10)


@pytest.mark.parametrize("maker, spacing", [("members", 64 << 10), ("gzip -6", 1 << 20)])
def test_gzidx_from_indexed_gzip_is_read(tmp_path, plain, maker, spacing):
    try:
        import indexed_gzip as igzip
    except ImportError:
        if os.environ.get("CI"):
            pytest.fail("indexed_gzip is required under CI")
        pytest.skip("indexed_gzip not installed")
    plain_path, text = plain
    path = write_gz(tmp_path, text, maker)
    shutil.copy(plain_path + ".fai", path + ".fai")
    with igzip.IndexedGzipFile(path, spacing=spacing) as f:
        f.build_full_index()
        f.export_index(path + ".gzidx")
    fa = tavlo.Faidx(path)
    assert open(path + ".gzidx", "rb").read(5) == b"GZIDX"  # read as it is, not replaced
    # In order first (a slot going on far into a long stretch), then at random.
    regions = sample_regions(random.Random(9), 100)
    for name, s, e in sorted(regions, key=lambda r: (r[0] != "r1", r[1])) + regions:
        assert fa.fetch(name, max(s, 1), e).seq == RECORDS[name][max(s, 1) - 1:e]


def test_damaged_and_truncated_files_fail_at_the_build(tmp_path, plain):
    _, text = plain
    data = bytearray(MAKERS["members"](text))
    path = str(tmp_path / "z.fa.gz")
    first = len(member(text[:1]))  # the second member's header
    second_crc = first + len(gzip.compress(b"")) + len(member(text[1:70_002], 28)) - 8
    cases = {
        "CRC32 mismatch.* at compressed offset %d$" % second_crc: lambda d: d.__setitem__(
            second_crc, d[second_crc] ^ 1),
        "truncated gzip file": lambda d: d.__delitem__(slice(len(d) - 600, None)),
        "not a gzip member at compressed offset %d$" % (len(data) - 10): lambda d: d.__setitem__(
            len(d) - 10, 7),
        "invalid gzip member header at compressed offset %d$" % first: lambda d: d.__setitem__(
            first + 2, 9),
    }
    for message, damage in cases.items():
        d = bytearray(data)
        damage(d)
        open(path, "wb").write(d)
        with pytest.raises(Exception, match="^IOError: .*" + message):
            tavlo.Faidx(path)
        assert not os.path.exists(path + ".fai") and not os.path.exists(path + ".gzidx")


def test_a_changed_file_is_reindexed(tmp_path, plain):
    _, text = plain
    path = write_gz(tmp_path, text)
    assert tavlo.Faidx(path).fetch("r1", 1, 10).seq == RECORDS["r1"][:10]
    other = {"r1": residues(300_000, 8)}
    open(path, "wb").write(gzip.compress(open(write_fasta(tmp_path / "o.fa", other), "rb").read()))
    assert tavlo.Faidx(path).fetch("r1", 1, 300_000).seq == other["r1"]


@settings(max_examples=60, deadline=None)
@given(flips=st.lists(st.tuples(st.integers(0, 10**6), st.integers(1, 255)), min_size=1,
                      max_size=3))
def test_damage_gives_an_error_or_the_residues(tmp_path_factory, flips):
    d = tmp_path_factory.mktemp("damaged")
    text = open(write_fasta(d / "p.fa", {"a": residues(30_000, 4), "b": residues(90_000, 5)}),
                "rb").read()
    data = bytearray(members(text, [20_000, 61]))
    for at, x in flips:  # past the gzip magic, without which the file reads as plain text
        data[2 + at % (len(data) - 2)] ^= x
    path = str(d / "z.fa.gz")
    open(path, "wb").write(data)
    try:
        fa = tavlo.Faidx(path)
    except Exception as e:
        assert str(e).startswith(("IOError: ", "FastaIndexingError: ")), str(e)
        return
    ref = tavlo.Faidx(str(d / "p.fa"))
    for name, s, e in [("a", 1, 30_000), ("b", 1, 90_000), ("b", 70_000, 70_100)]:
        assert fa.fetch(name, s, e).seq == ref.fetch(name, s, e).seq


def test_fork_and_threads_share_one_open_file(tmp_path, plain):
    _, text = plain
    fa = tavlo.Faidx(write_gz(tmp_path, text))
    regions = [r for r in sample_regions(random.Random(11), 300) if r[0] != "empty" and r[1] > 0]
    want = [RECORDS[n][s - 1:e] for n, s, e in regions]
    got = [None] * 4

    def work(k):
        order = list(range(len(regions)))
        random.Random(k).shuffle(order)
        out = [None] * len(regions)
        for i in order:
            n, s, e = regions[i]
            out[i] = fa.fetch(n, s, e).seq
        got[k] = out

    threads = [threading.Thread(target=work, args=(k,)) for k in range(4)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    assert got == [want] * 4
    pid = os.fork()
    if pid == 0:
        ok = [s.seq for s in fa.fetch_many(regions)] == want
        ok = ok and fa.fetch("r1", 1, 400_000).seq == RECORDS["r1"]
        os._exit(0 if ok else 1)
    assert os.waitpid(pid, 0)[1] == 0
