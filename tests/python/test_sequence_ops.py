"""Sequence derivations (subscripts, complement, reverse, orientation) and GC statistics."""

import codecs
import random

import pytest
from hypothesis import given, strategies as st

from tavlo import Sequence

IUPAC = "ACGTRYKMBVDHSWXNacgtrykmbvdhswxn"
COMPLEMENT = dict(zip(IUPAC, "TGCAYRMKVBHDSWXNtgcayrmkvbhdswxn"))
TOP = 2**64 - 1


def fields(s):
    return (s.name, s.seq, s.start, s.end, s.comp)


# Selected bytes read back as text: UTF-8 where they form characters, any other byte as the
# character whose code point is its value.
codecs.register_error("byte-as-char", lambda e: (chr(e.object[e.start]), e.start + 1))


def as_text(data):
    return data.decode("utf-8", "byte-as-char")


@pytest.mark.parametrize("comp", [False, True])
@pytest.mark.parametrize("key, seq, start, end", [
    (2, "G", 103, 103),
    (-1, "T", 108, 108),
    (True, "C", 102, 102),
    (slice(2, 5), "GTA", 103, 105),
    (slice(5, 2), "", 106, 102),
    (slice(0, 8, 3), "ATG", 101, 108),
    (slice(None, None, -1), "TGCATGCA", 101, 108),
    (slice(6, 1, -2), "GAG", 103, 107),
    (slice(2, 5, -1), "", 103, 102),
    # A start before the first letter selects nothing, as in Python.
    (slice(-10, None, -1), "", 101, 100),
    (slice(-10, 3, -1), "", 100, 99),
    (slice(100, None), "", 109, 108),
])
def test_worked_examples(key, seq, start, end, comp):
    s = Sequence("chr1", "ACGTACGT", 101, 108, comp)
    r = s[key]
    assert type(r) is Sequence
    assert fields(r) == ("chr1", seq, start, end, comp)
    assert fields(s) == ("chr1", "ACGTACGT", 101, 108, comp)


@pytest.mark.parametrize("key, error, message", [
    (8, IndexError, "Index out of range"), (-9, IndexError, "Index out of range"),
    (1.5, TypeError, "Invalid index type"), ("1", TypeError, "Invalid index type"),
    (None, TypeError, "Invalid index type"), (2**63, TypeError, "Invalid index type"),
    (-(2**63) - 1, TypeError, "Invalid index type"),
    (slice(None, None, 0), ValueError, None), (slice(0.5, 2), TypeError, None),
])
def test_bad_keys(key, error, message):
    with pytest.raises(error, match=message):
        Sequence("chr1", "ACGTACGT", 101, 108)[key]


def test_empty_text():
    s = Sequence("e", "", 5, 9)
    with pytest.raises(IndexError):
        s[0]
    for step in (None, 2, -1, -3):
        assert s[::step].seq == ""
    assert (s[::-1].start, s[::-1].end) == (5, 5)
    assert (s[::1].start, s[::1].end) == (5, 4)
    assert s.complement.seq == s.reverse.seq == (-s).seq == ""


def test_coordinates_need_start_and_stay_in_range():
    half = Sequence("x", "ACGT", 10, None)
    assert (half[0].start, half[0].end) == (10, 10)
    assert (half[0:1].start, half[0:1].end) == (None, None)
    # Below 0 and above 2**64 - 1 a coordinate is absent, never wrapped around.
    zero = Sequence("x", "ACGT", 0, 3)
    assert (zero[0:0].start, zero[0:0].end) == (0, None)
    assert (zero[-10:2:-1].start, zero[-10:2:-1].end) == (None, None)
    top = Sequence("x", "ACGT", TOP - 1, TOP)
    assert (top[1].start, top[1].end) == (TOP, TOP)
    assert (top[2].start, top[2].end) == (None, None)
    assert (top[1:3].start, top[1:3].end) == (TOP, None)


def model_slice(s, key):
    """The selected text and coordinates of s[key], computed the plain way."""
    data = s.seq.encode()
    n = len(data)
    a, b, k = key.indices(n)
    if s.start is None or s.end is None:
        lo = hi = None
    elif k > 0:
        lo, hi = s.start + a, s.start + b - 1
    elif n == 0:
        lo = hi = s.start
    elif b > a:
        lo, hi = s.start + a, s.start + a - 1
    else:
        lo, hi = s.start + b + 1, s.start + a
    inside = lambda v: v if v is not None and 0 <= v <= TOP else None  # noqa: E731
    return as_text(data[key]), inside(lo), inside(hi)


indices = st.one_of(st.none(), st.integers(-12, 12), st.integers(-2**70, 2**70))


@given(text=st.text(alphabet="ACGTNacgtn-éλ€", max_size=12),
       start=st.one_of(st.none(), st.integers(0, 4), st.integers(TOP - 12, TOP)),
       end=st.sampled_from([None, 0]),  # only its presence matters
       key=st.builds(slice, indices, indices, st.one_of(st.none(), st.integers(-5, 5).filter(bool),
                                                        st.integers(-2**70, 2**70).filter(bool))))
def test_slicing_selects_what_bytes_slicing_selects(text, start, end, key):
    s = Sequence("r", text, start, end, True)
    r = s[key]
    assert (r.seq, r.start, r.end) == model_slice(s, key)
    assert (r.name, r.comp) == ("r", True)


@given(text=st.text(alphabet="ACGTé€", max_size=10), i=st.integers(-30, 30))
def test_indexing_selects_one_byte(text, i):
    s = Sequence("r", text, 7, 8)
    data = text.encode()
    if -len(data) <= i < len(data):
        r = s[i]
        offset = i % len(data)
        assert (r.seq, r.start, r.end) == (chr(data[i]), 7 + offset, 7 + offset)
    else:
        with pytest.raises(IndexError):
            s[i]


def test_subscripts_read_the_text_after_converting_the_key():
    s = Sequence("x", "ACGTACGT")

    class Shrink:
        def __index__(self):
            s.seq = "AC"
            return 7

    assert s[Shrink():].seq == ""
    s.seq = "ACGTACGT"
    assert s[:Shrink()].seq == "AC"
    s.seq = "ACGTACGT"
    with pytest.raises(IndexError):
        s[Shrink()]


def test_text_changes_are_seen_by_later_subscripts():
    s = Sequence("x", "ACGT")
    assert s[3].seq == "T"
    s.seq = "éA"
    assert (s[0].seq, s[-1].seq, s[::-1].seq) == ("\xc3", "A", "A\xa9\xc3")
    s.seq = "TTTT"
    assert s[3].seq == "T"


def test_complement_table():
    ascii_text = "".join(map(chr, range(128)))
    s = Sequence("x", ascii_text, 1, 128)
    assert s.complement.seq == "".join(COMPLEMENT.get(c, "N") for c in ascii_text)
    assert Sequence(seq="ACGTN-acgtnU").complement.seq == "TGCANNtgcanN"


def test_non_ascii_text_works_on_bytes():
    s = Sequence("m", "A\u00e9\u4e2dT", 1, 7)  # bytes: A, C3 A9, E4 B8 AD, T
    assert len(s) == 7 and s.gc == 0
    assert fields(s[6:]) == ("m", "T", 7, 7, False)
    assert (s[1:3].seq, s[3:6].seq, s[1:3].start, s[1:3].end) == ("\u00e9", "\u4e2d", 2, 3)
    # A cut through a character: each byte left over stands for the character of its value,
    # as a single index gives it, so the text stays valid.
    assert s[1].seq == s[1:2].seq == "\u00c3"
    assert (s[2:5].seq, s[:-2].seq) == ("\u00a9\u00e4\u00b8", "A\u00e9\u00e4\u00b8")
    assert s.reverse.seq == s[::-1].seq == "T\u00ad\u00b8\u00e4\u00a9\u00c3A"
    assert (s.reverse.start, s.reverse.end) == (7, 1)
    assert s.complement.seq == "TNNNNNA" and (-s).seq == "ANNNNNT"
    assert Sequence(seq="\u00e9").complement.seq == "NN"
    # Bytes of different characters that together form a valid one are read as it.
    assert Sequence(seq="\u00e9\u00e9").reverse.seq == "\u00a9\u00e9\u00c3"


@pytest.mark.parametrize("start, end, comp, orientation", [
    (10, 20, False, 1), (20, 10, True, -1), (10, 20, True, None), (20, 10, False, None),
    (10, 10, False, None), (10, 10, True, None), (None, 10, False, None), (10, None, True, None),
])
def test_orientation(start, end, comp, orientation):
    assert Sequence("x", "A", start, end, comp).orientation == orientation


def test_whole_text_derivations():
    s = Sequence("chr1", "AACGN", 10, 20, False)
    assert fields(s.complement) == ("chr1", "TTGCN", 10, 20, True)
    assert fields(s.reverse) == ("chr1", "NGCAA", 20, 10, False)
    assert fields(-s) == ("chr1", "NCGTT", 20, 10, True)
    assert (-s).orientation == -1 and fields(-(-s)) == fields(s)
    assert fields(Sequence("c", "AC", 5, None).reverse) == ("c", "CA", 5, None, False)
    assert fields(s) == ("chr1", "AACGN", 10, 20, False)


@given(text=st.text(alphabet=IUPAC), start=st.one_of(st.none(), st.integers(0, TOP)),
       end=st.one_of(st.none(), st.integers(0, TOP)), comp=st.booleans())
def test_round_trips(text, start, end, comp):
    s = Sequence("r", text, start, end, comp)
    for twice in (-(-s), s.complement.complement, s.reverse.reverse, s[::-1][::-1]):
        assert twice.seq == text and (twice.name, twice.comp) == ("r", comp)
    for twice in (-(-s), s.complement.complement, s.reverse.reverse):
        assert (twice.start, twice.end) == (start, end)


# --- Statistics -----------------------------------------------------------------------------

WEIGHTS = {**dict.fromkeys("CGS", 1.0), **dict.fromkeys("BV", 0.67),
           **dict.fromkeys("KMRY", 0.5), **dict.fromkeys("DH", 0.33), "N": 0.25,
           **dict.fromkeys("ATW", 0.0)}


def model_stats(text):
    data = text.encode()
    gc = sum(b in b"CGcg" for b in data)
    strict = [b for b in data if b in b"ACGTacgt"]
    total, weighted = 0, 0.0
    for b in data:
        letter = chr(b).upper() if b < 128 else ""
        if letter in WEIGHTS:
            total += 1
            weighted += WEIGHTS[letter]
    return (gc / len(data) if data else 0.0,
            sum(b in b"CGcg" for b in strict) / len(strict) if strict else 0.0,
            weighted / total if total else 0.0)


@pytest.mark.parametrize("text, gc, gc_strict, gc_iupac", [
    ("", 0.0, 0.0, 0.0), ("ACGT", 0.5, 0.5, 0.5), ("NNNN", 0.0, 0.0, 0.25),
    ("acgtNN", 2 / 6, 0.5, 2.5 / 6), ("SSWW", 0.0, 0.0, 0.5), ("B", 0.0, 0.0, 0.67),
    ("UUUU", 0.0, 0.0, 0.0), ("---", 0.0, 0.0, 0.0), ("éG", 1 / 3, 1.0, 1.0),
    ("BDB", 0.0, 0.0, 0.5566666666666666), ("BBD", 0.0, 0.0, 0.5566666666666668),
])
def test_statistics_examples(text, gc, gc_strict, gc_iupac):
    s = Sequence(seq=text)
    assert (s.gc, s.gc_strict, s.gc_iupac) == (gc, gc_strict, gc_iupac)


@given(st.text(alphabet=IUPAC + "UuEz-*0é\n"))
def test_statistics_match_the_model(text):
    s = Sequence(seq=text)
    assert (s.gc, s.gc_strict, s.gc_iupac) == model_stats(text)


def test_statistics_of_long_texts_match_the_model():
    rng = random.Random(5)
    text = "".join(rng.choice("ACGTNacgtnSWKMRY") for _ in range(20000))
    for t in (text, text[:9000] + "B" + text[9000:] + "d"):
        s = Sequence(seq=t)
        assert (s.gc, s.gc_strict, s.gc_iupac) == model_stats(t)
