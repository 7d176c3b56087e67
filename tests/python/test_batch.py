"""Batch fetches: the sequential path below 1000 regions, the worker pool from 1000 on."""

import collections
import multiprocessing
import os
import random

import pytest

import tavlo
from conftest import random_residues, write_fasta


@pytest.fixture
def batch_file(tmp_path):
    records = {"chr1": random_residues(100, seed=1, alphabet="ACGT"),
               "chr2": random_residues(5000, seed=2),
               "chr3": random_residues(777, seed=3)}
    return write_fasta(tmp_path / "ref.fa", records), records


def padded(region, n):
    """`region` at position 0 of a batch of n regions; the others are harmless."""
    return [region] + [("chr1", 1, 10)] * (n - 1)


# Region -> (fewer than 1000 regions: seq slice, start, end, warning) and (1000 or more).
TABLE = [
    (("chr1", 0, 10), (slice(0, 0), 0, 10, True), (slice(0, 10), 1, 10)),
    (("chr1", 150, 200), (slice(0, 0), 150, 150, True), (slice(99, 100), 100, 100)),
    (("chr1", 90, 150), (slice(89, 100), 90, 100, True), (slice(89, 100), 90, 100)),
    (("chr1", 50, 40), (slice(0, 0), 50, 40, True), (slice(0, 0), 50, 40)),
]


@pytest.mark.parametrize("region, sequential, parallel", TABLE)
def test_two_paths_differ_as_documented(batch_file, capfd, region, sequential, parallel):
    path, records = batch_file
    fa = tavlo.Faidx(path)
    residues = records["chr1"]
    first = fa.fetch_many(padded(region, 999))[0]
    cut, start, end, warned = sequential
    assert (first.seq, first.start, first.end) == (residues[cut], start, end)
    assert ("WARNING: " in capfd.readouterr().err) == warned
    first = fa.fetch_many(padded(region, 1000))[0]
    cut, start, end = parallel
    assert (first.seq, first.start, first.end) == (residues[cut], start, end)
    assert capfd.readouterr().err == ""
    # The same through fetch_many_same_chr.
    pairs = [r[1:] for r in padded(region, 1000)]
    first = fa.fetch_many_same_chr("chr1", pairs)[0]
    assert (first.seq, first.start, first.end) == (residues[cut], start, end)


def test_failures_on_each_path(batch_file, capfd):
    path, _ = batch_file
    strict = tavlo.Faidx(path, strict_bounds=True)
    with pytest.raises(IndexError, match=r"^coordinates cannot be 0 \(1-based indexing\)$"):
        strict.fetch_many(padded(("chr1", 0, 10), 999))
    with pytest.raises(RuntimeError) as info:
        strict.fetch_many(padded(("chr1", 0, 10), 1000))
    assert str(info.value) == ("Error fetching region 0: Invalid region: Invalid region "
                               "chr1:0-10 (sequence length: 100)")
    fa = tavlo.Faidx(path)
    with pytest.raises(Exception, match="^FetchError: Sequence 'chrZ' not found$"):
        fa.fetch_many(padded(("chrZ", 1, 10), 999))
    with pytest.raises(RuntimeError) as info:
        fa.fetch_many(padded(("chrZ", 1, 10), 1000))
    assert str(info.value) == "Error fetching region 0: Fetch error: Sequence 'chrZ' not found"
    # The lowest failing position is reported, whatever finished first.
    regions = [("chr1", 1, 10)] * 5000
    regions[4000] = ("nope", 1, 2)
    regions[2] = ("chrZ", 1, 2)
    regions[5] = ("chrY", 1, 2)
    with pytest.raises(RuntimeError, match="^Error fetching region 2: Fetch error: "
                                           "Sequence 'chrZ' not found$"):
        fa.fetch_many(regions)
    with pytest.raises(RuntimeError, match="^Error fetching region 3 from chr1: Invalid region: "):
        strict.fetch_many_same_chr("chr1", [(1, 2)] * 3 + [(5, 4)] + [(1, 200)] * 2000)
    # A missing name in fetch_many_same_chr is refused before either path.
    for n in (1, 999, 1000):
        with pytest.raises(Exception, match="^FetchError: Sequence 'chrZ' not found$"):
            fa.fetch_many_same_chr("chrZ", [(1, 2)] * n)
    assert fa.fetch_many_same_chr("chrZ", []) == []
    assert fa.fetch_many([]) == []
    assert capfd.readouterr().err == ""


def test_conversion_errors_come_first(batch_file, capfd):
    fa = tavlo.Faidx(batch_file[0])
    warn = ("chr1", 0, 10)
    Region = collections.namedtuple("Region", "name start end")
    assert fa.fetch_many([Region("chr1", 1, 3)])[0].end == 3
    for n in (10, 2000):
        for bad, error in [([warn] * n + [["chr1", 1, 2]], TypeError),
                           ([warn] * n + [("chr1", 1)], ValueError),
                           ([warn] * n + [("chr1", -1, 2)], OverflowError),
                           ([warn] * n + [(1, 1, 2)], TypeError),
                           ([warn] * n + [("chr1", 1.5, 2)], TypeError)]:
            with pytest.raises(error):
                fa.fetch_many(bad)
        with pytest.raises(ValueError):
            fa.fetch_many_same_chr("chr1", [(0, 10)] * n + [(1, 2, 3)])
    for bad in ("chr1", 5, None, {"a": 1}):
        with pytest.raises(TypeError):
            fa.fetch_many(bad)
    with pytest.raises(TypeError):
        fa.fetch_many_same_chr(1, [(1, 2)])
    assert capfd.readouterr().err == ""
    # Tuples are sequences too, and the batch may be a tuple of tuples.
    assert [s.seq for s in fa.fetch_many_same_chr("chr1", ((1, 2), (3, 4)))] == [
        fa.fetch("chr1", 1, 2).seq, fa.fetch("chr1", 3, 4).seq]


def random_regions(records, n, seed):
    rng = random.Random(seed)
    names = list(records)
    regions = []
    for _ in range(n):
        name = rng.choice(names)
        length = len(records[name])
        start = rng.randint(1, length)
        regions.append((name, start, rng.randint(start, min(length, start + 300))))
    return regions


@pytest.mark.parametrize("mutable", [False, True])
def test_large_batch_in_order(batch_file, mutable):
    path, records = batch_file
    fa = tavlo.Faidx(path, mutable=mutable, one_based_attributes=False)
    regions = random_regions(records, 200_000, seed=7)
    got = fa.fetch_many(regions)
    assert len(got) == len(regions)
    for (name, start, end), s in zip(regions, got):
        assert (s.name, s.seq, s.start, s.end) == (name, records[name][start - 1:end],
                                                   start - 1, end)
    pairs = [(start, end) for name, start, end in regions if name == "chr2"]
    got = fa.fetch_many_same_chr("chr2", pairs)
    assert [s.seq for s in got] == [records["chr2"][a - 1:b] for a, b in pairs]


class Int(int):
    pass


def test_unusual_values_late_in_a_batch(batch_file):
    """Values met after thousands of plain regions (a bool, an int subclass, an int of several
    digits, a non-tuple) give what the same batch of plain values gives, or its error."""
    path, records = batch_file
    fa = tavlo.Faidx(path)
    regions = random_regions(records, 6000, seed=11)
    name, start, end = regions[4321]
    for odd, plain in [((name, True, end), (name, 1, end)),
                       ((name, start, Int(end)), (name, start, end)),
                       ((name, start, 2**40), None), ((name, 2**64 - 1, 2**64 - 1), None)]:
        plain = plain or odd
        want = fa.fetch_many(regions[:4321] + [plain] + regions[4322:])
        got = fa.fetch_many(regions[:4321] + [odd] + regions[4322:])
        assert [(s.name, s.seq, s.start, s.end) for s in got] == [
            (s.name, s.seq, s.start, s.end) for s in want]
        pairs = [r[1:] for r in regions if r[0] == name]
        assert [s.seq for s in fa.fetch_many_same_chr(name, pairs[:-1] + [odd[1:]])] == [
            s.seq for s in fa.fetch_many_same_chr(name, pairs[:-1] + [plain[1:]])]
    with pytest.raises(OverflowError):
        fa.fetch_many(regions + [(name, 1, 2**64)])
    with pytest.raises(TypeError, match="region 5999 must be a tuple"):
        fa.fetch_many(regions[:-1] + [list(regions[-1])])


def child_batch(path, queue):
    fa = tavlo.Faidx(path)
    queue.put([s.seq for s in fa.fetch_many([("chr2", 1, 20)] * 3000)][-1])


def test_batches_after_fork(batch_file):
    path, records = batch_file
    fa = tavlo.Faidx(path)
    assert len(fa.fetch_many([("chr2", 1, 20)] * 3000)) == 3000  # the pool is running now
    pid = os.fork()
    if pid == 0:
        # In the child: a parallel batch must not wait for threads that were not forked.
        try:
            ok = fa.fetch_many([("chr2", 1, 20)] * 3000)[-1].seq == records["chr2"][:20]
        finally:
            os._exit(0 if ok else 1)
    _, status = os.waitpid(pid, 0)
    assert os.waitstatus_to_exitcode(status) == 0
    ctx = multiprocessing.get_context("fork")
    queue = ctx.Queue()
    proc = ctx.Process(target=child_batch, args=(path, queue))
    proc.start()
    assert queue.get(timeout=60) == records["chr2"][:20]
    proc.join(timeout=60)
    assert proc.exitcode == 0


def test_batch_residues_that_are_not_utf8(tmp_path):
    path = str(tmp_path / "x.fa")
    with open(path, "wb") as f:
        f.write(b">a\nAC\xffT\n")
    with open(path + ".fai", "w") as f:
        f.write("a\t4\t3\t4\t5\n")
    fa = tavlo.Faidx(path)
    for n in (10, 1000):
        with pytest.raises(UnicodeDecodeError):
            fa.fetch_many([("a", 1, 2)] * n + [("a", 1, 4)])


def test_allocation_failure_in_a_worker_is_a_python_error(tmp_path):
    path = write_fasta(tmp_path / "x.fa", {"a": "ACGT"})
    with open(path + ".fai", "w") as f:
        f.write("a\t18446744073709551615\t3\t4\t5\n")
    fa = tavlo.Faidx(path, default_seq="N")
    with pytest.raises(MemoryError):
        fa.fetch_many([("a", 1, 2)] * 999 + [("a", 1, 2**64 - 1)])
    assert fa.fetch_many([("a", 1, 4)] * 1000)[-1].seq == "ACGT"


def test_regions_changed_during_conversion(batch_file):
    """An __index__ that empties the caller's list cannot pull items from under the batch."""
    path, records = batch_file
    fa = tavlo.Faidx(path)
    fasta = tavlo.Fasta(path)
    for n in (3, 1500):
        regions = []

        class Sneaky:
            def __index__(self):
                regions.clear()
                return 5

        regions.extend([("chr2", 1, 4)] * n + [("chr2", 1, Sneaky())] + [("chr2", 2, 3)] * n)
        got = fa.fetch_many(regions)
        assert [s.seq for s in got[n:n + 2]] == [records["chr2"][0:5], records["chr2"][1:3]]
        regions = [(1, 4)] * n + [(1, Sneaky())] + [(2, 3)] * n
        got = fa.fetch_many_same_chr("chr2", regions)
        assert [s.seq for s in got[n:n + 2]] == [records["chr2"][0:5], records["chr2"][1:3]]
        regions = [(1, 4)] * 2 + [(1, Sneaky())] + [(2, 3)] * 2
        expected = records["chr2"][0:4] * 2 + records["chr2"][0:5] + records["chr2"][1:3] * 2
        assert fasta.get_spliced_seq("chr2", regions).seq == expected


class Name(str):
    pass


@pytest.mark.parametrize("n", [3, 1500])
def test_results_of_one_record_share_one_plain_name(batch_file, n):
    path, _ = batch_file
    fa = tavlo.Faidx(path)
    # Names from different objects, one of them a str subclass: the results still share one
    # exact str per record, equal to the name and hashing as it does.
    regions = [(Name("chr2") if i % 2 else "".join(["chr", "2"]), 1, 5) for i in range(n)]
    regions.append(("chr3", 2, 4))
    got = fa.fetch_many(regions)
    assert len({id(s.name) for s in got[:-1]}) == 1 and got[-1].name == "chr3"
    name = got[0].name
    assert type(name) is str and name == "chr2" and hash(name) == hash("chr2")
    assert fa.fetch("chr2", 3, 9).name is name
    assert all(s.name is name for s in fa.fetch_many_same_chr("chr2", [(1, 2)] * n))
    assert got[0][1:3].name is name and (-got[0]).name is name
    record = tavlo.Fasta(path)[Name("chr2")]
    assert type(record[0:2].name) is str and record[0:2].name is record[3:5].name == "chr2"
    # Renaming one result leaves the others as they were.
    got[0].name = "other"
    assert got[0].name == "other" and got[1].name == "chr2" and got[1].name is name


def test_reused_sequence_objects_start_empty(batch_file):
    path, records = batch_file
    fa = tavlo.Faidx(path)
    raw = tavlo.Faidx(path, as_raw=True)
    for _ in range(3):
        s = fa.fetch("chr2", 1, 4000)
        s.comp = True
        s.name = "renamed"
        del s
        t = raw.fetch("chr3", 5, 6)
        assert (t.name, t.seq, t.start, t.end, t.comp) == ("chr3", records["chr3"][4:6], None,
                                                           None, False)
        del t
        u = tavlo.Sequence()
        assert (u.name, u.seq, u.start, u.end, u.comp) == ("", "", None, None, False)
        del u
        kept = fa.fetch_many([("chr2", 1, 9)] * 300)
        del kept
        assert {(x.start, x.end, x.comp) for x in raw.fetch_many([("chr3", 5, 6)] * 1000)} == {
            (None, None, False)}


def test_names_stay_right_past_the_name_cache(tmp_path):
    # More records than the cache of shared names holds: slots are reused, results keep theirs.
    records = {f"r{i}": random_residues(3, seed=i, alphabet="ACGT") for i in range(5000)}
    fa = tavlo.Faidx(write_fasta(tmp_path / "many.fa", records))
    names = list(records)
    for order in (names, names[::-1]):
        got = [fa.fetch(n, 1, 3) for n in order] + fa.fetch_many([(n, 1, 3) for n in order])
        assert [(s.name, s.seq) for s in got] == [(n, records[n]) for n in order * 2]
