"""The README's scaling-out examples run, and type checkers accept the examples and the README's
code against the stubs of the installed package, which match the module itself."""

import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
README = (ROOT / "README.md").read_text()


def python_blocks(text):
    return re.findall(r"^```python\n(.*?)^```", text, re.S | re.M)


def scaling_out_blocks():
    section = README.split("## Scaling out", 1)[1].split("\n## ", 1)[0]
    return python_blocks(section)


def without_sanitizers():
    # The checkers never load the module: they need no sanitizer runtimes preloaded.
    return {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


@pytest.mark.timeout(240)
@pytest.mark.parametrize("index", range(len(scaling_out_blocks())))
def test_readme_example_runs(tmp_path, index):
    script = tmp_path / "example.py"
    script.write_text(scaling_out_blocks()[index])
    shutil.copytree(ROOT / "examples", tmp_path / "examples", ignore=shutil.ignore_patterns("*.fai"))
    done = subprocess.run([sys.executable, str(script)], cwd=tmp_path, capture_output=True,
                          text=True, timeout=200)
    assert done.returncode == 0, done.stderr
    assert done.stdout.strip()


@pytest.mark.timeout(300)
def test_mypy_strict_accepts_examples_and_readme(tmp_path):
    # Copies outside the source tree: mypy must find the types in the installed package.
    for path in (ROOT / "examples").glob("*.py"):
        shutil.copy(path, tmp_path / path.name)
    blocks = python_blocks(README)
    assert len(blocks) >= 3
    for i, block in enumerate(blocks):
        assert "type: ignore" not in block
        (tmp_path / f"readme_{i}.py").write_text(block)
    checked = subprocess.run(
        [sys.executable, "-m", "mypy", "--config-file", str(ROOT / "pyproject.toml"),
         "--no-incremental", "--strict", "."],
        cwd=tmp_path, capture_output=True, text=True, timeout=280, env=without_sanitizers())
    assert checked.returncode == 0, checked.stdout + checked.stderr


@pytest.mark.timeout(120)
def test_stubs_match_the_module(tmp_path):
    checked = subprocess.run([sys.executable, "-m", "mypy.stubtest", "tavlo"], cwd=tmp_path,
                             capture_output=True, text=True, timeout=110)
    assert checked.returncode == 0, checked.stdout + checked.stderr
