"""FastaIterator, SequenceIterator, MutableFastaRecord, and what facade objects keep alive."""

import ctypes
import gc
import os

import pytest

import tavlo
from conftest import random_residues, write_fasta


def open_fds():
    return len(os.listdir("/proc/self/fd"))


def write_fai(path, *lines):
    with open(path + ".fai", "w") as f:
        f.write("".join("\t".join(map(str, line)) + "\n" for line in lines))


@pytest.mark.parametrize("length, spans", [
    (150, [(1, 60), (61, 120), (121, 150)]),
    (120, [(1, 60), (61, 120)]),
    (0, []),
])
def test_pieces_by_line(tmp_path, length, spans):
    residues = random_residues(length, seed=length)
    rec = tavlo.Fasta(write_fasta(tmp_path / "x.fa", {"r": residues}, 60, "\r\n"))["r"]
    it = iter(rec)
    assert type(it) is tavlo.SequenceIterator and iter(it) is it
    pieces = list(it)
    assert [(p.start, p.end) for p in pieces] == spans
    assert "".join(p.seq for p in pieces) == residues
    with pytest.raises(StopIteration):
        next(it)


def test_records_in_listing_order(tmp_path):
    fa = tavlo.Fasta(write_fasta(tmp_path / "x.fa", {f"s{i}": "AC" * i for i in range(5)}))
    it = iter(fa)
    assert type(it) is tavlo.FastaIterator and iter(it) is it
    assert [r.long_name for r in it] == fa.keys()
    for _ in range(2):
        with pytest.raises(StopIteration):
            next(it)
    with pytest.raises(StopIteration):
        next(iter(tavlo.Fasta(write_fasta(tmp_path / "e.fa", {}))))
    for cls in (tavlo.FastaIterator, tavlo.SequenceIterator):
        with pytest.raises(TypeError):
            cls()


def test_failed_piece_is_tried_again(tmp_path):
    path = str(tmp_path / "bad.fa")
    with open(path, "wb") as f:
        f.write(b">r\nACGT\nA\xffGT\nACGT\n")
    write_fai(path, ("r", 12, 3, 4, 5))
    it = iter(tavlo.Fasta(path, rebuild=False)["r"])
    assert next(it).seq == "ACGT"
    for _ in range(2):
        with pytest.raises(UnicodeDecodeError):
            next(it)


@pytest.mark.parametrize("default_seq, text", [(None, ""), ("N", "N" * 10)])
def test_line_width_zero_ends(tmp_path, default_seq, text):
    # A hand-written entry with residues but no line width: the record is one piece.
    path = write_fasta(tmp_path / "x.fa", {"r": "ACGTACGTAA"})
    write_fai(path, ("r", 10, 3, 0, 0))
    for strict in (False, True):
        rec = tavlo.Fasta(path, default_seq=default_seq, strict_bounds=strict, rebuild=False)["r"]
        pieces = list(rec)
        assert [(p.seq, p.start, p.end) for p in pieces] == [(text, 1, 10)]
        assert [(p.seq, p.start, p.end) for p in reversed(rec)] == [(text[::-1], 10, 1)]
        assert str(rec) == text


def test_mutable_record():
    with pytest.raises(TypeError):
        tavlo.MutableFastaRecord()
    # No constructor: an instance can only come from the allocator itself.
    alloc = ctypes.pythonapi.PyType_GenericAlloc
    alloc.restype, alloc.argtypes = ctypes.py_object, [ctypes.py_object, ctypes.c_ssize_t]
    m = alloc(tavlo.MutableFastaRecord, 0)
    with pytest.raises(NotImplementedError, match="^Mutable FASTA records not yet implemented$"):
        m[0] = "A"
    with pytest.raises(TypeError):
        m["any"] = 1
    with pytest.raises(NotImplementedError, match="^can't delete item$"):
        del m[0]


@pytest.mark.parametrize("mutable", [False, True])
def test_records_and_iterators_outlive_the_fasta(tmp_path, mutable):
    residues = random_residues(150, seed=7)
    path = write_fasta(tmp_path / "x.fa", {"a": residues, "b": "ACGT"})
    before = open_fds()
    fa = tavlo.Fasta(path, mutable=mutable)
    rec, values, records, pieces = fa["a"], fa.values(), iter(fa), iter(fa["a"])
    first = next(pieces)
    del fa
    gc.collect()
    assert str(rec) == residues and rec[10:20].seq == residues[10:20]
    assert [str(v) for v in values if v.long_name == "a"] == [residues]
    assert len(list(records)) == 2
    assert first.seq + "".join(p.seq for p in pieces) == residues
    assert reversed(rec)[0].seq == residues[120:][::-1]
    del rec, values, records, pieces
    gc.collect()
    assert open_fds() == before


def test_reference_cycle_through_the_index_is_collected(tmp_path):
    path = write_fasta(tmp_path / "x.fa", {"a": "ACGT"})
    before = open_fds()
    holder = []
    fa = tavlo.Fasta(path, key_function=holder, mutable=True)  # kept by the index, never called
    holder += [fa, fa["a"], iter(fa), iter(fa["a"])]
    del fa, holder
    gc.collect()
    assert open_fds() == before
