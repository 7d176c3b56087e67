"""Fasta: construction, the mapping protocol, fetches with reverse complement, with-blocks."""

import inspect
import pathlib

import pytest

import tavlo
from conftest import random_residues, write_fasta

FACADE = ("Fasta", "FastaRecord", "FastaIterator", "SequenceIterator", "MutableFastaRecord")


@pytest.fixture
def two(tmp_path):
    """A Fasta over chr1 (100 residues) and chr2 (50), and the residues."""
    recs = {"chr1": random_residues(100, seed=1, alphabet="ACGT"),
            "chr2": random_residues(50, seed=2, alphabet="ACGT")}
    return tavlo.Fasta(write_fasta(tmp_path / "ref.fa", recs)), recs


def test_module_surface():
    assert tavlo.__all__ == ["Fasta", "Faidx", "Sequence", "FastaRecord", "FastaIterator",
                             "SequenceIterator", "MutableFastaRecord"]
    for name in FACADE:
        cls = getattr(tavlo, name)
        assert (cls.__module__, cls.__qualname__) == ("builtins", name)
    assert str(inspect.signature(tavlo.Fasta)) == (
        "(filename, indexname=None, default_seq=None, key_function=None, as_raw=False, "
        "strict_bounds=False, read_ahead=None, mutable=False, split_char=None, "
        "filt_function=None, one_based_attributes=True, read_long_names=False, "
        "duplicate_action=Ellipsis, sequence_always_upper=False, rebuild=True, build_index=True)")
    assert str(inspect.signature(tavlo.Fasta.get_seq)) == "(self, /, name, start, end, rc=None)"
    assert tavlo.Fasta.fetch_many.__doc__.startswith("High-performance batch fetch")
    assert tavlo.Fasta.fetch_many_same_chr.__doc__.endswith(
        '>>> sequences = fasta.fetch_many_same_chr("chr1", regions)')


def test_constructor_arguments(tmp_path):
    path = write_fasta(tmp_path / "x.fa", {"r": "acgt"}, width=2)
    # Positional arguments bind in this class's own order, and the first bad one is reported.
    fa = tavlo.Fasta(path, None, "N", None, True, False, None, False, None, None, True, False,
                     "stop", True)
    assert (fa.get_seq("r", 3, 4).seq, fa.get_seq("r", 1, 2).start) == ("GT", None)
    with pytest.raises(TypeError, match="default_seq"):
        tavlo.Fasta(path, None, 5, None, None)
    bad = [({"as_raw": None}, TypeError), ({"strict_bounds": 1}, TypeError),
           ({"read_ahead": -1}, OverflowError), ({"nope": 1}, TypeError)]
    for kwargs, error in bad:
        with pytest.raises(error):
            tavlo.Fasta(path, **kwargs)
    for args in [(pathlib.Path(path),), (path,) + (None,) * 16, ()]:
        with pytest.raises(TypeError):
            tavlo.Fasta(*args)
    with pytest.raises(Exception, match="^FastaNotFoundError: no/such.fa$"):
        tavlo.Fasta("no/such.fa")


def test_mapping(two):
    fa, recs = two
    assert len(fa) == 150 and len(fa.keys()) == 2 and fa
    order = fa.keys()
    assert sorted(order) == ["chr1", "chr2"]
    assert [r.long_name for r in fa.values()] == order
    assert [(k, r.long_name) for k, r in fa.items()] == [(k, k) for k in order]
    assert [r.long_name for r in fa] == order
    assert [fa[i].long_name for i in range(2)] == order
    assert str(fa["chr2"]) == recs["chr2"]
    assert "chr1" in fa and "chr1 " not in fa and "CHR1" not in fa
    with pytest.raises(TypeError):
        3 in fa
    with pytest.raises(IndexError, match="^Index out of range$"):
        fa[2]
    for key in (-1, 1.5, None, b"chr1"):
        with pytest.raises(TypeError, match="^Key must be string or integer$"):
            fa[key]


def test_names_in_messages_and_repr(tmp_path, monkeypatch):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "data").mkdir()
    write_fasta(tmp_path / "data" / "ref.fa", {"chr1": "ACGT"})
    fa = tavlo.Fasta("data/ref.fa")
    assert repr(fa) == 'Fasta("data/ref.fa")'
    with pytest.raises(KeyError) as info:
        fa["chrZ"]
    assert info.value.args == ("chrZ not in data/ref.fa.",)


def test_empty_file(tmp_path):
    fa = tavlo.Fasta(write_fasta(tmp_path / "x.fa", {}))
    assert len(fa) == 0 and not fa
    assert fa.keys() == fa.values() == fa.items() == list(fa) == []
    fa = tavlo.Fasta(write_fasta(tmp_path / "y.fa", {"a": "", "b": ""}))
    assert len(fa) == 0 and len(fa.keys()) == 2


def test_get_seq(two):
    fa, recs = two
    plain = fa.get_seq("chr1", 10, 20)
    assert plain.seq == recs["chr1"][9:20]
    for rc in (None, False):
        assert fa.get_seq("chr1", 10, 20, rc=rc).seq == plain.seq
    minus, rc = -plain, fa.get_seq(name="chr1", start=10, end=20, rc=True)
    assert (rc.seq, rc.start, rc.end, rc.comp) == (minus.seq, 20, 10, True)
    with pytest.raises(TypeError):
        fa.get_seq("chr1", 10, 20, rc=1)
    with pytest.raises(OverflowError):
        fa.get_seq("chr1", -1, 20)
    with pytest.raises(Exception, match="^FetchError: Sequence 'chrZ' not found$"):
        fa.get_seq("chrZ", 1, 2)


def test_get_spliced_seq(two, tmp_path):
    fa, recs = two
    r = recs["chr1"]
    got = fa.get_spliced_seq("chr1", [(1, 3), (7, 9)])
    assert (got.name, got.seq, got.start, got.end, got.comp) == ("chr1", r[0:3] + r[6:9], 1, 9,
                                                                 False)
    rc = fa.get_spliced_seq("chr1", ((1, 3), (7, 9)), rc=True)
    assert (rc.seq, rc.start, rc.end, rc.comp) == ((-got).seq, 1, 9, False)
    empty = fa.get_spliced_seq("chrZ", [])
    assert (empty.name, empty.seq, empty.start, empty.end, empty.comp) == ("chrZ", "", None,
                                                                           None, False)
    with pytest.raises(TypeError):
        fa.get_spliced_seq("chr1", [[1, 3]])
    with pytest.raises(TypeError):
        fa.get_spliced_seq("chr1", "13")
    strict = tavlo.Fasta(str(tmp_path / "ref.fa"), strict_bounds=True)
    with pytest.raises(IndexError):
        strict.get_spliced_seq("chr1", [(1, 3), (90, 101)])


@pytest.mark.parametrize("count", [3, 1200])
def test_batches_with_rc(two, count):
    fa, _ = two
    regions = [("chr1" if i % 2 else "chr2", i % 40 + 1, i % 40 + 10) for i in range(count)]
    plain, rc = fa.fetch_many(regions), fa.fetch_many(regions, rc=True)
    assert [(s.name, s.seq, s.start, s.end, s.comp) for s in rc] == [
        (p.name, (-p).seq, p.end, p.start, True) for p in plain]
    pairs = [(s, e) for _, s, e in regions]
    plain, rc = fa.fetch_many_same_chr("chr1", pairs), fa.fetch_many_same_chr("chr1", pairs, True)
    assert [s.seq for s in rc] == [(-p).seq for p in plain]
    assert fa.fetch_many(regions, rc=False)[0].seq == fa.fetch_many(regions)[0].seq
    with pytest.raises(TypeError):
        fa.fetch_many(regions, rc="yes")


def test_with_and_close_release_nothing(two):
    fa, recs = two
    rec = fa["chr1"]
    with fa as entered:
        assert entered is fa
    fa.close()
    assert fa.__exit__(None, None, None) is None
    assert str(rec) == recs["chr1"] and fa.get_seq("chr2", 1, 5).seq == recs["chr2"][:5]
    with pytest.raises(ZeroDivisionError):
        with fa:
            1 / 0
    assert fa["chr2"][0:3].seq == recs["chr2"][:3]
    with pytest.raises(TypeError):
        fa.__exit__(1, 2, 3, 4)
