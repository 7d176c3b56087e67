"""FastaRecord: length, text, subscripts and slices, reversal, the two attributes."""

import gc

import pytest
from hypothesis import assume, given, settings, strategies as st

import tavlo
from conftest import random_residues, write_fasta

SEQ = "ACGTACGTAA"


@pytest.fixture
def rec10(tmp_path):
    return tavlo.Fasta(write_fasta(tmp_path / "ten.fa", {"r": SEQ}, width=4))["r"]


def fields(s):
    return s.seq, s.start, s.end


@pytest.mark.parametrize("key, want", [
    (0, ("A", 1, 1)),
    (-1, ("A", 10, 10)),
    (True, ("C", 2, 2)),
    (slice(2, 5), ("GTA", 3, 5)),
    (slice(-3, None), ("TAA", 8, 10)),
    (slice(None), (SEQ, 1, 10)),
    (slice(0, 10, 1), (SEQ, 1, 10)),
    (slice(0, 10), (SEQ, 1, 10)),
    (slice(None, None, -1), (SEQ[::-1], 1, 10)),
    (slice(2, 8, 2), ("GAG", 3, 8)),
    (slice(None, None, 3), ("ATGA", 1, 10)),
    (slice(5, 0, -1), ("CATGC", 2, 6)),
    (slice(8, 1, -3), ("ACG", 3, 9)),
    (slice(-2**70, 3), ("ACG", 1, 3)),
    (slice(7, 2**70), ("TAA", 8, 10)),
])
def test_subscripts(rec10, key, want):
    got = rec10[key]
    assert type(got) is tavlo.Sequence and got.name == "r" and not got.comp
    assert fields(got) == want


def test_whole_record_slices_skip_the_checked_fetch(tmp_path):
    # The index promises 12 residues, the file holds 10: only the checked fetch fills the rest.
    path = write_fasta(tmp_path / "short.fa", {"r": SEQ}, width=10)
    with open(path + ".fai", "w") as f:
        f.write("r\t12\t3\t10\t11\n")
    rec = tavlo.Fasta(path, default_seq="N", rebuild=False)["r"]
    assert rec[:].seq == rec[0:12:1].seq == rec[::1].seq == SEQ
    assert rec[0:12].seq == str(rec) == SEQ + "NN"


def test_non_ascii_residues_are_sliced_by_byte(tmp_path):
    # Positions count bytes, so stepped slices of the record select what the same slice of the
    # whole record's Sequence selects.
    rec = tavlo.Fasta(write_fasta(tmp_path / "u.fa", {"u": "A\u00e9GT\u20acC"}, width=5))["u"]
    whole = rec[:]
    for key in (slice(None, None, 2), slice(None, None, -1), slice(7, 0, -3), slice(1, 3)):
        assert fields(rec[key]) == fields(whole[key])
    assert rec[::2].seq == "A\u00a9T\u0082C"


def test_reused_record_objects_start_afresh(tmp_path):
    # Released records are kept for reuse: a new one holds only its own file, name and length,
    # and is tracked by the collector like any other.
    a = tavlo.Fasta(write_fasta(tmp_path / "a.fa", {"x": "ACGT" * 5}))
    b = tavlo.Fasta(write_fasta(tmp_path / "b.fa", {"y": "TT"}, width=1))
    for _ in range(3):
        gone = [a["x"] for _ in range(100)]
        del gone
        rec = b["y"]
        assert (repr(rec), len(rec), str(rec), rec.unpadded_len) == ('FastaRecord("y")', 2, "TT", 2)
        assert gc.is_tracked(rec) and rec[0:1].name == "y"
        rec = a["x"]
        assert (repr(rec), len(rec), rec[18:].seq) == ('FastaRecord("x")', 20, "GT")


@pytest.mark.parametrize("key", ["a", 1.5, None, 2**63, -2**63 - 1])
def test_invalid_index_type(rec10, key):
    with pytest.raises(TypeError, match="^Invalid index type$"):
        rec10[key]


def test_slice_errors_and_no_assignment(rec10):
    with pytest.raises(ValueError):
        rec10[::0]
    with pytest.raises(TypeError):
        rec10[0] = "A"
    with pytest.raises(TypeError):
        tavlo.FastaRecord()


def test_bounds_policy(tmp_path, capfd):
    path = write_fasta(tmp_path / "ten.fa", {"r": SEQ})
    loose, strict = tavlo.Fasta(path)["r"], tavlo.Fasta(path, strict_bounds=True)["r"]
    with pytest.raises(IndexError, match="^coordinates 11-11 are out of bounds"):
        strict[10]
    with pytest.raises(IndexError, match=r"^coordinates cannot be 0 \(1-based indexing\)$"):
        strict[-11]
    # A slice selecting nothing past the end is still refused under strict bounds.
    with pytest.raises(IndexError):
        strict[10:20:2]
    capfd.readouterr()
    assert fields(loose[10]) == ("", 11, 11)
    assert fields(loose[-11]) == ("", 0, 0)
    assert capfd.readouterr().err.count("WARNING: ") == 2
    # Negative steps down to index 1 or 0 select residues inside the record only.
    for key in (slice(5, 0, -1), slice(9, 0, -2), slice(3, None, -1)):
        assert fields(strict[key]) == fields(loose[key])


def test_huge_positions_stay_outside_the_record(tmp_path, capfd):
    path = write_fasta(tmp_path / "ten.fa", {"r": SEQ})
    loose, strict = tavlo.Fasta(path)["r"], tavlo.Fasta(path, strict_bounds=True)["r"]
    for i, p in [(2**63 - 1, 2**63), (-12, 2**64 - 1), (-2**63, 2**63 + 11)]:
        assert fields(loose[i]) == ("", p, p)
        with pytest.raises(IndexError, match=f"^coordinates {p}-{p} are out of bounds"):
            strict[i]
    # An index entry promising far more residues than the file holds: reads stop at its end.
    with open(path + ".fai", "w") as f:
        f.write(f"r\t{2**62}\t3\t60\t61\n")
    big = tavlo.Fasta(path, rebuild=False)["r"]
    assert len(big) == 2**62
    assert big[2**62 - 1].seq == big[-1].seq == big[2**61:2**61 + 5].seq == ""
    assert big[-2**62].seq == "A"


def test_text_length_repr(tmp_path, capfd):
    path = write_fasta(tmp_path / "x.fa", {"r": SEQ, "empty": ""})
    fa, strict = tavlo.Fasta(path), tavlo.Fasta(path, strict_bounds=True)
    assert (str(fa["r"]), len(fa["r"]), repr(fa["r"])) == (SEQ, 10, 'FastaRecord("r")')
    assert str(fa["r"]) == fa["r"][:].seq
    assert fa["r"].long_name == "r"
    empty = fa["empty"]
    assert len(empty) == 0 and not empty
    assert str(empty) == "" and list(empty) == [] and reversed(empty) == []
    with pytest.raises(IndexError, match="^coordinates 1-0 are out of bounds"):
        str(strict["empty"])


@pytest.mark.parametrize("residues, want", [
    ("NNNACGTNN", 4), ("nnACGTn", 4), ("ACGT", 4), ("NNNN", 0), ("NAN", 1),
])
def test_unpadded_len(tmp_path, residues, want):
    assert tavlo.Fasta(write_fasta(tmp_path / "x.fa", {"r": residues}))["r"].unpadded_len == want


@pytest.mark.parametrize("newline", ["\n", "\r\n"])
def test_reversed_by_lines(tmp_path, newline):
    residues = random_residues(150, seed=3)
    rec = tavlo.Fasta(write_fasta(tmp_path / "x.fa", {"r": residues}, 60, newline))["r"]
    pieces = reversed(rec)
    assert type(pieces) is list
    assert [(p.start, p.end) for p in pieces] == [(150, 121), (120, 61), (60, 1)]
    assert "".join(p.seq for p in pieces) == residues[::-1]


# --- Slices against slicing the text ---------------------------------------------------------

LENGTHS = [1, 2, 7, 60, 61, 150]


@pytest.fixture(scope="module")
def records(tmp_path_factory):
    """(loose, strict, residues) per newline and record length, wrapped at 60 or 7."""
    out = {}
    for newline in ("\n", "\r\n"):
        for width in (7, 60):
            recs = {f"r{n}": random_residues(n, seed=n) for n in LENGTHS}
            path = write_fasta(tmp_path_factory.mktemp("f") / "x.fa", recs, width, newline)
            loose, strict = tavlo.Fasta(path), tavlo.Fasta(path, strict_bounds=True)
            out[newline, width] = [(loose[k], strict[k], v) for k, v in recs.items()]
    return out


@settings(max_examples=400, deadline=None)
@given(data=st.data())
def test_slices_match_text(records, data):
    which = data.draw(st.sampled_from(sorted(records)))
    loose, strict, residues = data.draw(st.sampled_from(records[which]))
    n = len(residues)
    bound = st.none() | st.integers(-2 * n - 2, 2 * n + 2)
    key = slice(data.draw(bound), data.draw(bound),
                data.draw(st.none() | st.integers(-n - 2, n + 2).filter(bool)))
    want = residues[key]
    assume(want)
    got = loose[key]
    assert str(got) == want
    assert fields(strict[key]) == fields(got)
