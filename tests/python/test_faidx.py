"""The Faidx class: opening, index building and loading, single-region fetches."""

import gzip
import inspect
import os

import pytest
from hypothesis import given, settings, strategies as st

import tavlo
from conftest import random_residues, wrap, write_fasta


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def test_module_surface():
    assert tavlo.__all__[:0] == []
    assert [n for n in tavlo.__all__ if n in ("Faidx", "Sequence")] == ["Faidx", "Sequence"]
    assert tavlo.Faidx.__module__ == "builtins"
    assert tavlo.Faidx.__qualname__ == "Faidx"
    for kind in ("FastaNotFoundError", "IndexNotFoundError", "FetchError", "FastaIndexingError",
                 "IOError", "RegionError"):
        assert not hasattr(tavlo, kind)
    assert str(inspect.signature(tavlo.Faidx)) == (
        "(filename, indexname=None, as_raw=False, strict_bounds=False, "
        "sequence_always_upper=False, rebuild=True, build_index=True, "
        "one_based_attributes=True, default_seq=None, mutable=False, key_function=None, "
        "split_char=None, filt_function=None, read_long_names=False, "
        "duplicate_action=Ellipsis, read_ahead=None)")
    assert tavlo.Faidx.fetch_entire_sequence.__doc__ == (
        "Ultra-fast method for fetching entire sequences - bypasses all bounds checking")


def test_builds_and_writes_index(tmp_path):
    path = str(tmp_path / "x.fa")
    with open(path, "w") as f:
        f.write(">chr1 description\nACGT\nAC\n>chr2\nAAAA\nA\n>chr1\nGG\n")
    fa = tavlo.Faidx(path)
    # Index lines keep file order; a repeated name keeps its last numbers in the table.
    assert open(path + ".fai").read() == (
        "chr1\t6\t18\t4\t5\nchr2\t5\t32\t4\t5\nchr1\t2\t45\t2\t3\n")
    assert fa.keys == ["chr1", "chr2"]
    assert fa.fetch("chr1", 1, 2).seq == "GG"


def test_missing_files(tmp_path):
    with pytest.raises(Exception) as info:
        tavlo.Faidx("no/such.fa")
    assert type(info.value) is Exception
    assert info.value.args == ("FastaNotFoundError: no/such.fa",)
    path = write_fasta(tmp_path / "x.fa", {"a": "ACGT"})
    with pytest.raises(Exception, match="^IndexNotFoundError: " + path + ".fai$"):
        tavlo.Faidx(path, build_index=False)
    assert not os.path.exists(path + ".fai")


def test_indexname_and_staleness(tmp_path):
    path = write_fasta(tmp_path / "x.fa", {"a": "ACGT"})
    idx = str(tmp_path / "elsewhere.idx")
    tavlo.Faidx(path, indexname=idx)
    assert open(idx).read() == "a\t4\t3\t4\t5\n"
    # An older index is rebuilt; with rebuild or build_index off it is read as it stands.
    with open(idx, "w") as f:
        f.write("a\t2\t3\t4\t5\n")
    os.utime(idx, ns=(10**18, 10**18))
    os.utime(path, ns=(10**18 + 1, 10**18 + 1))
    assert tavlo.Faidx(path, indexname=idx, rebuild=False).fetch("a", 1, 4).seq == "AC"
    assert tavlo.Faidx(path, indexname=idx, build_index=False).fetch("a", 1, 4).seq == "AC"
    # Equal modification times: read, not rewritten.
    os.utime(path, ns=(10**18, 10**18))
    assert tavlo.Faidx(path, indexname=idx).fetch("a", 1, 4).seq == "AC"
    os.utime(path, ns=(10**18, 10**18 + 1))
    assert tavlo.Faidx(path, indexname=idx).fetch("a", 1, 4).seq == "ACGT"
    assert open(idx).read() == "a\t4\t3\t4\t5\n"


def test_index_written_atomically(tmp_path):
    path = write_fasta(tmp_path / "x.fa", {"a": "ACGT"})
    # A directory in the index's place makes the final rename fail after the data was written.
    os.mkdir(path + ".fai")
    with pytest.raises(Exception, match=r"^IOError: Is a directory \(os error 21\)$"):
        tavlo.Faidx(path)
    assert sorted(os.listdir(tmp_path)) == ["x.fa", "x.fa.fai"]
    os.rmdir(path + ".fai")
    with pytest.raises(Exception, match=r"^IOError: No such file or directory \(os error 2\)$"):
        tavlo.Faidx(path, indexname=str(tmp_path / "missing" / "x.fai"))
    tavlo.Faidx(path)
    assert sorted(os.listdir(tmp_path)) == ["x.fa", "x.fa.fai"]


@pytest.mark.parametrize("text, message", [
    ("a\tx\t3\t4\t5\n", "Invalid rlen"),
    ("a\t1\t-3\t4\t5\n", "Invalid offset"),
    ("a\t1\t3\t 4\t5\n", "Invalid lenc"),
    ("a\t1\t3\t4\t18446744073709551616\n", "Invalid lenb"),
])
def test_malformed_index_numbers(tmp_path, text, message):
    path = write_fasta(tmp_path / "x.fa", {"a": "ACGT"})
    with open(path + ".fai", "w") as f:
        f.write(text)
    before = open_fds()
    with pytest.raises(Exception) as info:
        tavlo.Faidx(path)
    assert info.value.args == ("FastaIndexingError: " + message,)
    assert open_fds() == before


def test_index_lines_that_are_skipped_or_trimmed(tmp_path):
    path = write_fasta(tmp_path / "x.fa", {"a": "ACGT", "b": "GG"})
    with open(path + ".fai", "w") as f:
        f.write("a\t4\t3\t4\t5\t\nb\t2\t11\t2\t3\textra\n\t1\t2\t3\t4\nc\t+2\t11\t2\t3\r\n")
    fa = tavlo.Faidx(path)
    assert fa.keys == ["a", "c"]
    assert fa.fetch("c", 1, 2).seq == "GG"


@pytest.mark.parametrize("body", [
    "ACGT\nAC\nACGT\n",     # a short line in the middle
    "ACGT\nACGTA\n",        # a longer line
    "ACGT\n\nACGT\n",       # a blank line in the middle
    "\nACGT\n",             # blank first line, residues after it
    "ACGT\r\nACGT\nAC\n",   # terminators change inside the record
])
def test_ragged_records_are_refused(tmp_path, body):
    path = str(tmp_path / "x.fa")
    with open(path, "w", newline="") as f:
        f.write(">ok\nAAAA\nAA\n>bad desc\n" + body)
    with pytest.raises(Exception) as info:
        tavlo.Faidx(path)
    assert info.value.args == ("FastaIndexingError: Different line length in sequence 'bad'",)
    assert not os.path.exists(path + ".fai")


@pytest.mark.parametrize("body", ["AC T\nACGT\n", "ACGT\nACGT\t\n", "ACGT\nAC \r\nAC\n", " \n"])
def test_blanks_inside_sequence_lines_are_refused(tmp_path, body):
    # Other indexers skip them, so the two indexes of such a file would disagree.
    path = str(tmp_path / "x.fa")
    with open(path, "w", newline="") as f:
        f.write(">ok with\ttabs and spaces\nAAAA\nAA\n>bad\n" + body + ">next\nAC\n")
    with pytest.raises(Exception) as info:
        tavlo.Faidx(path)
    assert info.value.args == ("FastaIndexingError: Space or tab inside a line of sequence 'bad'",)
    assert not os.path.exists(path + ".fai")


@pytest.mark.parametrize("body", ["ACGT\nAC\n\n\n", "ACGT\nACGT", "\n\n", ""])
def test_regular_records_are_accepted(tmp_path, body):
    path = str(tmp_path / "x.fa")
    with open(path, "w", newline="") as f:
        f.write(">r\n" + body)
    fa = tavlo.Faidx(path)
    assert fa.fetch_entire_sequence("r").seq == body.replace("\n", "")


def test_gzip_file_is_read_as_its_text_even_with_an_index(tmp_path):
    path = str(tmp_path / "x.fa.gz")
    with gzip.open(path, "wt") as f:
        f.write(">a\nACGT\n")
    assert tavlo.Faidx(path).fetch("a", 1, 4).seq == "ACGT"
    with open(path + ".fai", "w") as f:
        f.write("a\t4\t3\t4\t5\n")
    assert tavlo.Faidx(path).fetch("a", 2, 4).seq == "CGT"  # never the compressed bytes


def test_invalid_utf8(tmp_path):
    path = str(tmp_path / "x.fa")
    with open(path, "wb") as f:
        f.write(b">a\nAC\xffT\n")
    with pytest.raises(Exception, match="^IOError: stream did not contain valid UTF-8$"):
        tavlo.Faidx(path)
    # Trusted through an existing index, such bytes give a Python error, never a broken str.
    with open(path + ".fai", "w") as f:
        f.write("a\t4\t3\t4\t5\n")
    fa = tavlo.Faidx(path)
    with pytest.raises(UnicodeDecodeError):
        fa.fetch("a", 1, 4)
    assert fa.fetch("a", 1, 2).seq == "AC"


def test_bogus_index_numbers_never_read_outside_the_file(tmp_path):
    path = write_fasta(tmp_path / "x.fa", {"a": "ACGT" * 10})
    with open(path + ".fai", "w") as f:
        f.write("huge\t18446744073709551615\t3\t60\t61\n"
                "far\t100\t18446744073709551000\t60\t61\n"
                "wide\t100\t3\t18446744073709551615\t18446744073709551615\n"
                "narrow\t100\t3\t60\t2\n"
                "zero\t100\t3\t0\t0\n")
    fa = tavlo.Faidx(path)
    assert fa.fetch_entire_sequence("huge").seq == "ACGT" * 10
    assert fa.fetch("huge", 18446744073709551615, 18446744073709551615).seq == ""
    assert fa.fetch("far", 1, 100).seq == ""
    assert fa.fetch("wide", 50, 100).seq == ""
    assert fa.fetch("narrow", 1, 100).seq == ("ACGT" * 10)[:40]
    assert fa.fetch("zero", 1, 100).seq == ""
    with pytest.raises(MemoryError):
        tavlo.Faidx(path, default_seq="N").fetch("huge", 1, 18446744073709551615)


def test_empty_file(tmp_path):
    path = str(tmp_path / "empty.fa")
    open(path, "w").close()
    fa = tavlo.Faidx(path)
    assert fa.keys == []
    assert os.path.getsize(path + ".fai") == 0


def test_mutable(tmp_path):
    path = write_fasta(tmp_path / "x.fa", {"a": "ACGTACGT"}, width=3)
    before = open(path, "rb").read()
    fa = tavlo.Faidx(path, mutable=True)
    assert fa.fetch("a", 2, 7).seq == "CGTACG"
    assert fa.fetch_entire_sequence("a").seq == "ACGTACGT"
    assert open(path, "rb").read() == before
    os.chmod(path, 0o444)
    if not os.access(path, os.W_OK):
        with pytest.raises(Exception, match=r"^IOError: Permission denied \(os error 13\)$"):
            tavlo.Faidx(path, mutable=True)


def test_argument_conversion(tmp_path):
    path = write_fasta(tmp_path / "x.fa", {"a": "ACGT"})
    with pytest.raises(TypeError):
        tavlo.Faidx(tmp_path / "x.fa")
    for bad in [dict(as_raw=None), dict(as_raw=1), dict(duplicate_action=None),
                dict(indexname=3), dict(nope=True)]:
        with pytest.raises(TypeError):
            tavlo.Faidx(path, **bad)
    with pytest.raises(OverflowError):
        tavlo.Faidx(path, read_ahead=-1)
    with pytest.raises(TypeError):
        tavlo.Faidx()
    fa = tavlo.Faidx(path, key_function=3, filt_function="x", duplicate_action="anything",
                     split_char="|", read_ahead=10, read_long_names=True)
    assert fa.fetch("a", 1, 4).seq == "ACGT"
    with pytest.raises(TypeError):
        fa.fetch("a", 1.0, 2)
    with pytest.raises(OverflowError):
        fa.fetch("a", -1, 2)
    with pytest.raises(OverflowError):
        fa.fetch("a", 1, 2**64)
    with pytest.raises(TypeError):
        fa.fetch(b"a", 1, 2)
    with pytest.raises(TypeError):
        fa.fetch("a", 1)
    assert fa.fetch(name="a", end=3, start=2).seq == "CG"
    np = pytest.importorskip("numpy")
    assert fa.fetch("a", np.int64(2), np.uint64(3)).seq == "CG"
    assert tavlo.Faidx(path, as_raw=np.bool_(True)).fetch("a", 1, 2).start is None


def test_keys_contains_repr(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    write_fasta(tmp_path / "x.fa", {"chr1": "A", "chr2": "C", "chr3": "G"})
    fa = tavlo.Faidx("x.fa")
    assert repr(fa) == str(fa) == 'Faidx("x.fa")'
    assert sorted(fa.keys) == ["chr1", "chr2", "chr3"]
    with pytest.raises(TypeError):
        fa.keys()
    assert "chr1" in fa and "chr1 " not in fa and "CHR1" not in fa
    with pytest.raises(TypeError):
        1 in fa


def test_fetch_regions(chr1_100):
    path, residues = chr1_100
    fa = tavlo.Faidx(path)
    s = fa.fetch("chr1", 55, 65)
    assert (s.name, s.seq, s.start, s.end, s.comp) == ("chr1", residues[54:65], 55, 65, False)
    assert fa.fetch("chr1", 1, 1).seq == residues[0]
    with pytest.raises(Exception) as info:
        fa.fetch("chrZ", 1, 10)
    assert type(info.value) is Exception
    assert info.value.args == ("FetchError: Sequence 'chrZ' not found",)
    with pytest.raises(Exception, match="^FetchError: Sequence 'chrZ' not found$"):
        fa.fetch_entire_sequence("chrZ")


OOB = "WARNING: coordinates {}-{} are out of bounds for sequence 'chr1' of length 100\n"
ZERO = "WARNING: coordinates cannot be 0 (1-based indexing)\n"


@pytest.mark.parametrize("start, end, seq, out_start, out_end, warnings", [
    (0, 10, "", 0, 10, ZERO),
    (90, 150, slice(89, 100), 90, 100, OOB.format(90, 150)),
    (150, 200, "", 150, 150, OOB.format(150, 200)),
    (0, 150, "", 0, 100, OOB.format(0, 150) + ZERO),
    (50, 40, "", 50, 40, "WARNING: start coordinate 50 is greater than end coordinate 40\n"),
])
def test_bounds_policy(chr1_100, capfd, start, end, seq, out_start, out_end, warnings):
    path, residues = chr1_100
    for as_raw in (False, True):
        fa = tavlo.Faidx(path, as_raw=as_raw)
        s = fa.fetch("chr1", start, end)
        expected = residues[seq] if isinstance(seq, slice) else seq
        assert s.seq == expected
        if as_raw and expected:
            assert (s.start, s.end) == (None, None)
        else:
            assert (s.start, s.end) == (out_start, out_end)
        assert capfd.readouterr().err == warnings


@pytest.mark.parametrize("start, end, message", [
    (0, 10, "coordinates cannot be 0 (1-based indexing)"),
    (150, 10, "coordinates 150-10 are out of bounds for sequence 'chr1' of length 100"),
    (90, 101, "coordinates 90-101 are out of bounds for sequence 'chr1' of length 100"),
    (50, 40, "start coordinate 50 is greater than end coordinate 40"),
])
def test_strict_bounds(chr1_100, capfd, start, end, message):
    fa = tavlo.Faidx(chr1_100[0], strict_bounds=True)
    with pytest.raises(IndexError) as info:
        fa.fetch("chr1", start, end)
    assert str(info.value) == message
    assert capfd.readouterr().err == ""


def test_coordinate_options(chr1_100, capfd):
    path, residues = chr1_100
    s = tavlo.Faidx(path, one_based_attributes=False).fetch("chr1", 1, 10)
    assert (s.seq, s.start, s.end) == (residues[:10], 0, 10)
    s = tavlo.Faidx(path, as_raw=True).fetch_entire_sequence("chr1")
    assert (s.start, s.end) == (None, None)
    s = tavlo.Faidx(path, one_based_attributes=False, strict_bounds=True,
                    default_seq="N").fetch_entire_sequence("chr1")
    assert (s.seq, s.start, s.end) == (residues, 0, 100)
    assert capfd.readouterr().err == ""


def test_default_seq_and_upper(tmp_path):
    residues = random_residues(100, seed=3, alphabet="acgt")
    path = write_fasta(tmp_path / "x.fa", {"chr1": residues})
    tavlo.Faidx(path)
    # Cut the file after residue 95, keeping the index that promises 100.
    with open(path, "r+") as f:
        f.truncate(len(">chr1\n") + 61 + 35)
    os.utime(path, ns=(1, 1))
    fa = tavlo.Faidx(path, default_seq="n", sequence_always_upper=True)
    assert fa.fetch("chr1", 91, 100).seq == residues[90:95].upper() + "NNNNN"
    s = fa.fetch_entire_sequence("chr1")
    assert (s.seq, s.end) == (residues[:95].upper(), 100)
    assert tavlo.Faidx(path, default_seq="xy").fetch("chr1", 94, 100).seq == (
        residues[93:95] + "xy" * 5)
    assert tavlo.Faidx(path, default_seq="").fetch("chr1", 94, 100).seq == residues[93:95]
    assert tavlo.Faidx(path).fetch("chr1", 94, 100).seq == residues[93:95]


def test_upper_touches_only_letters(tmp_path):
    path = write_fasta(tmp_path / "x.fa", {"a": "acgt*-12nN"})
    assert tavlo.Faidx(path, sequence_always_upper=True).fetch("a", 1, 10).seq == "ACGT*-12NN"


@pytest.mark.parametrize("newline", ["\n", "\r\n"])
@pytest.mark.parametrize("width", [1, 3, 60, 61])
def test_fetch_matches_slicing(tmp_path, width, newline):
    residues = random_residues(1000, seed=width)
    path = write_fasta(tmp_path / "x.fa", {"r": residues, "s": residues[::-1]}, width, newline)
    for mutable in (False, True):
        fa = tavlo.Faidx(path, mutable=mutable)
        for start, end in [(1, 1), (1, 1000), (width, width + 1), (999, 1000), (500, 700)]:
            assert fa.fetch("r", start, end).seq == residues[start - 1:end]
            assert fa.fetch("s", start, end).seq == residues[::-1][start - 1:end]
        assert fa.fetch_entire_sequence("r").seq == residues


@settings(max_examples=60, deadline=None)
@given(data=st.data(), width=st.integers(1, 80), crlf=st.booleans(),
       lengths=st.lists(st.integers(0, 300), min_size=1, max_size=4))
def test_fetch_property(tmp_path_factory, data, width, crlf, lengths):
    directory = tmp_path_factory.mktemp("prop")
    records = {f"r{i}": random_residues(n, seed=n + i) for i, n in enumerate(lengths)}
    path = write_fasta(directory / "x.fa", records, width, "\r\n" if crlf else "\n")
    fa = tavlo.Faidx(path)
    for name, residues in records.items():
        if not residues:
            assert fa.fetch_entire_sequence(name).seq == ""
            continue
        start = data.draw(st.integers(1, len(residues)))
        end = data.draw(st.integers(start, len(residues)))
        assert fa.fetch(name, start, end).seq == residues[start - 1:end]


def test_no_descriptor_leaks_on_failures(tmp_path):
    good = write_fasta(tmp_path / "x.fa", {"a": "ACGT"})
    ragged = str(tmp_path / "r.fa")
    with open(ragged, "w") as f:
        f.write(">r\nAC\nACGT\n")
    before = open_fds()
    for _ in range(20):
        for call in (lambda: tavlo.Faidx(ragged),
                     lambda: tavlo.Faidx(good, build_index=False, indexname=good + ".none"),
                     lambda: tavlo.Faidx(good, mutable=True).fetch("zz", 1, 2)):
            with pytest.raises(Exception):
                call()
        fa = tavlo.Faidx(good, mutable=True)
        del fa
    assert open_fds() == before


@settings(max_examples=150, deadline=None)
@given(fasta=st.binary(max_size=300), numbers=st.lists(
    st.sampled_from([0, 1, 2, 3, 59, 60, 61, 62, 1000, 2**32, 2**63, 2**64 - 1]),
    min_size=4, max_size=4), start=st.integers(0, 2**64 - 1), end=st.integers(0, 2**64 - 1),
    mutable=st.booleans())
def test_hostile_files_and_indexes_never_crash(tmp_path_factory, fasta, numbers, start, end,
                                               mutable):
    directory = tmp_path_factory.mktemp("hostile")
    path = str(directory / "x.fa")
    with open(path, "wb") as f:
        f.write(fasta)
    with open(path + ".fai", "w") as f:
        f.write("r\t{}\t{}\t{}\t{}\n".format(*numbers))
    os.utime(path, ns=(1, 1))  # the index is newer: trusted as it stands
    try:
        fa = tavlo.Faidx(path, mutable=mutable)
    except Exception as e:
        assert str(e).startswith("IOError: ")  # only a gzip header is refused here
        return
    for call in (lambda: fa.fetch("r", start, end),
                 lambda: fa.fetch("r", min(start, 500), min(end, 500)),
                 lambda: fa.fetch_entire_sequence("r"),
                 lambda: fa.fetch_many([("r", min(start, 99), min(end, 99))] * 1000)):
        try:
            call()
        except (UnicodeDecodeError, MemoryError):
            pass


@settings(max_examples=150, deadline=None)
@given(fasta=st.lists(st.sampled_from([b">a\n", b">b x\n", b"ACGT\n", b"AC\n", b"\n", b"\r\n",
                                       b"ACGT\r\n", b">\n", b"\xc3\xa9\n", b"\xff", b"NN"]),
                      max_size=12).map(b"".join))
def test_scanning_any_text_never_crashes(tmp_path_factory, fasta):
    path = str(tmp_path_factory.mktemp("scan") / "x.fa")
    with open(path, "wb") as f:
        f.write(fasta)
    try:
        fa = tavlo.Faidx(path)
    except Exception as e:
        assert str(e).startswith(("FastaIndexingError: ", "IOError: "))
        assert not os.path.exists(path + ".fai")
        return
    for name in fa.keys:
        whole = fa.fetch_entire_sequence(name).seq
        # Coordinates count bytes; a region that splits a character raises, never breaks text.
        assert fa.fetch_many([(name, 1, len(whole.encode()))] * 1000)[0].seq == whole
        if len(whole.encode()) > 1:
            try:
                fa.fetch(name, 1, 1)
            except UnicodeDecodeError:
                assert not whole[0].isascii()
