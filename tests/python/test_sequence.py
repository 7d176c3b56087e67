"""Sequence records: construction, fields, text forms, length and equality."""

import weakref

import pytest

from tavlo import Sequence


def fields(s):
    return (s.name, s.seq, s.start, s.end, s.comp)


def test_class_surface():
    assert Sequence.__module__ == "builtins" and Sequence.__qualname__ == "Sequence"
    assert Sequence.__text_signature__ == "(name=..., seq=..., start=None, end=None, comp=False)"
    s = Sequence()
    assert fields(s) == ("", "", None, None, False)
    assert len(s) == 0 and not s and s.fancy_name == "" and repr(s) == ">\n"
    with pytest.raises(AttributeError):
        s.other = 1  # no attribute dictionary
    with pytest.raises(TypeError):
        weakref.ref(s)


def test_positional_and_keyword_arguments_agree():
    a = Sequence("chr1", "ACGT", 1, 4, True)
    b = Sequence(comp=True, end=4, start=1, seq="ACGT", name="chr1")
    assert fields(a) == fields(b) == ("chr1", "ACGT", 1, 4, True)
    assert repr(Sequence("chr1", "ACGT", 1, 4)) == ">chr1:1-4\nACGT"
    assert str(a) == "ACGT" and len(a) == 4


@pytest.mark.parametrize("start, end, comp, shown", [
    (1, 4, False, "chr1:1-4"),
    (1, None, False, "chr1"),
    (None, 4, False, "chr1"),
    (None, None, True, "chr1 (complement)"),
    (20, 10, True, "chr1:20-10 (complement)"),
    (0, 0, False, "chr1:0-0"),
    (2**64 - 1, 0, False, f"chr1:{2**64 - 1}-0"),
])
def test_fancy_name(start, end, comp, shown):
    s = Sequence("chr1", "AC", start, end, comp)
    assert s.fancy_name == s.long_name == shown
    assert repr(s) == f">{shown}\nAC"


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


BAD_VALUES = [
    ("name", None, TypeError), ("name", 5, TypeError), ("seq", b"ACGT", TypeError),
    ("start", -1, OverflowError), ("end", 2**64, OverflowError), ("start", 1.0, TypeError),
    ("end", "1", TypeError), ("comp", 1, TypeError), ("comp", 0, TypeError),
    ("comp", None, TypeError),
]


@pytest.mark.parametrize("field, value, error", BAD_VALUES)
def test_bad_values_are_refused_by_constructor_and_setter(field, value, error):
    with pytest.raises(error, match=field):
        Sequence(**{field: value})
    s = Sequence("chr1", "ACGT", 1, 4, False)
    with pytest.raises(error, match=field):
        setattr(s, field, value)
    assert fields(s) == ("chr1", "ACGT", 1, 4, False)  # the failed set changed nothing


def test_setters_accept_what_the_constructor_accepts():
    s = Sequence(start=Index(7), end=True)
    assert (s.start, s.end) == (7, 1) and type(s.start) is int
    s.start, s.end, s.comp, s.name = None, 2**64 - 1, True, "é"
    assert fields(s) == ("é", "", None, 2**64 - 1, True)
    s.seq = "GGCA"  # length, text forms and statistics follow at once
    assert (len(s), str(s), repr(s), s.gc) == (4, "GGCA", f">é (complement)\nGGCA", 0.75)


def test_numpy_bool_is_accepted_for_comp():
    np = pytest.importorskip("numpy")
    assert Sequence(comp=np.bool_(True)).comp is True


@pytest.mark.parametrize("field", ["name", "seq", "start", "end", "comp"])
def test_fields_cannot_be_deleted(field):
    s = Sequence("chr1", "ACGT", 1, 4)
    with pytest.raises(AttributeError, match="can't delete attribute"):
        delattr(s, field)


@pytest.mark.parametrize("field", [
    "fancy_name", "long_name", "complement", "reverse", "orientation", "gc", "gc_strict",
    "gc_iupac"])
def test_computed_members_are_read_only(field):
    with pytest.raises(AttributeError):
        setattr(Sequence(), field, 1)


def test_len_counts_bytes():
    s = Sequence("x", "AéG€")
    assert len(s) == len("AéG€".encode()) == 7
    assert str(s) == s.seq == "AéG€"


def test_setter_converts_before_storing():
    s = Sequence("x", "ACGT", 1, 4)

    class Meddler:
        def __index__(self):
            s.start = 99
            s.seq = "TT"
            return 5

    s.start = Meddler()
    assert (s.start, s.seq) == (5, "TT")


@pytest.mark.parametrize("other, equal", [
    ("ACGT", True), ("acgt", False), ("ACG", False), ("", False),
    (Sequence("other", "ACGT", 5, 8, True), True), (Sequence("chr1", "ACGA", 1, 4), False),
    (5, False), (None, False), (["ACGT"], False), (b"ACGT", False), ("\udc80", False),
])
def test_equality_is_of_texts_only(other, equal):
    s = Sequence("chr1", "ACGT", 1, 4)
    assert (s == other) is equal
    assert (s != other) is (not equal)
    assert (other == s) is equal


def test_no_order_hash_iteration_or_membership():
    a, b = Sequence(seq="A"), Sequence(seq="C")
    for op in (lambda: a < b, lambda: a <= b, lambda: a > b, lambda: a >= b, lambda: hash(a),
               lambda: iter(a), lambda: "A" in a):
        with pytest.raises(TypeError):
            op()
