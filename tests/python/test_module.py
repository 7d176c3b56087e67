"""The module object: its classes, re-imports and sub-interpreters."""

import subprocess
import sys

import pytest

import tavlo


def test_classes_in_order():
    assert tavlo.__all__ == ["Fasta", "Faidx", "Sequence", "FastaRecord", "FastaIterator",
                             "SequenceIterator", "MutableFastaRecord"]
    for name in tavlo.__all__:
        cls = getattr(tavlo, name)
        assert (cls.__module__, cls.__qualname__) == ("builtins", name)


def test_reimport_gives_the_same_module():
    first = sys.modules.pop("tavlo")
    try:
        import tavlo as again
        assert again is first and again.Faidx is first.Faidx
    finally:
        sys.modules["tavlo"] = first


def test_sub_interpreters_are_refused():
    pytest.importorskip("_xxsubinterpreters")
    code = (
        "import tavlo, _xxsubinterpreters as interpreters\n"
        "sub = interpreters.create()\n"
        "try:\n"
        "    interpreters.run_string(sub, 'import tavlo')\n"
        "except Exception as e:\n"
        "    print('refused', 'ImportError' in str(e) or 'ImportError' in repr(e))\n"
        "else:\n"
        "    print('accepted')\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         timeout=60)
    assert out.returncode == 0, out.stderr
    assert out.stdout.split() == ["refused", "True"]
