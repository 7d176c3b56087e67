"""Shared helpers: FASTA files written into tmp_path."""

import os
import random
import shutil

import pytest


def wrap(residues, width, newline="\n"):
    """The residues cut into lines of `width`, each ended by `newline`."""
    if not residues:
        return ""
    return "".join(residues[i:i + width] + newline for i in range(0, len(residues), width))


def write_fasta(path, records, width=60, newline="\n"):
    """Writes {name: residues} as a FASTA file and returns its path as str."""
    with open(path, "w", newline="") as handle:
        for name, residues in records.items():
            handle.write(f">{name}{newline}{wrap(residues, width, newline)}")
    return str(path)


def random_residues(n, seed=0, alphabet="ACGTNacgtn"):
    rng = random.Random(seed)
    return "".join(rng.choice(alphabet) for _ in range(n))


@pytest.fixture
def chr1_100(tmp_path):
    """A record chr1 of 100 residues, 60 per line, and its residues."""
    residues = random_residues(100, seed=1, alphabet="ACGT")
    return write_fasta(tmp_path / "ref.fa", {"chr1": residues}), residues


def peer(name):
    """The path of a peer program; missing peers fail under CI and skip elsewhere."""
    path = shutil.which(name)
    if path is None:
        if os.environ.get("CI"):
            pytest.fail(f"{name} is required under CI")
        pytest.skip(f"{name} not installed")
    return path
