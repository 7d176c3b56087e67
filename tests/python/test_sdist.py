"""The source distribution holds every source and build file and nothing of the build tree or
the benchmark data, and pip builds a working module from it in a fresh virtual environment.
Slow (a full build): `make test-sdist` runs it, and CI does."""

import os
import pathlib
import subprocess
import sys
import tarfile

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.slow

CHECK = """
import os, sys, sysconfig, tavlo
fa = tavlo.Fasta(sys.argv[1])
assert fa.get_seq("chr2", 15, 30).seq == tavlo.Faidx(sys.argv[1]).fetch("chr2", 15, 30).seq
assert os.path.exists(os.path.join(sysconfig.get_paths()["platlib"], "tavlo-stubs", "__init__.pyi"))
print(repr(fa), len(fa))
"""


def run(*args, **kwargs):
    done = subprocess.run(args, capture_output=True, text=True, **kwargs)
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    return done.stdout


@pytest.mark.timeout(1500)
def test_sdist_builds_and_installs_in_a_fresh_environment(tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH")}
    run(sys.executable, "-m", "build", "--sdist", "--outdir", str(tmp_path / "dist"), str(ROOT),
        env=env, timeout=600)
    (sdist,) = (tmp_path / "dist").glob("tavlo-*.tar.gz")
    with tarfile.open(sdist) as tar:
        members = {name.split("/", 1)[1] for name in tar.getnames() if "/" in name}
    expected = {"pyproject.toml", "CMakeLists.txt", "README.md", "examples/sample.fa"}
    expected |= {str(p.relative_to(ROOT)) for p in (ROOT / "src").rglob("*") if p.is_file()}
    assert expected <= members
    for name in members:
        assert not name.startswith(("build/", ".venv/", "benchmarks/data/", "dist/")), name
        assert not name.endswith((".so", ".fai", ".o")), name

    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", str(venv), env=env, timeout=120)
    python = str(venv / "bin" / "python")
    run(python, "-m", "pip", "install", "--quiet", str(sdist), env=env, timeout=1200)
    out = run(python, "-c", CHECK, str(ROOT / "examples" / "sample.fa"), cwd=tmp_path, env=env,
              timeout=60)
    assert out.startswith('Fasta("')
