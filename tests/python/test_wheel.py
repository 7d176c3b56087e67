"""The binary wheel of make wheel: it installs into a fresh virtual environment, where the module
imports and the executable runs, and neither needs a library outside the wheel beyond the C
library of its manylinux policy. Slow (a full build): `make test-wheel` runs it, and CI does."""

import os
import pathlib
import re
import subprocess
import sys

import pytest

from test_sdist import ROOT, run

pytestmark = pytest.mark.slow

# What a manylinux policy lets a binary take from the system: the C library, its parts, the GCC
# runtime's unwinder (the C++ runtime is linked in) and zlib.
SYSTEM = {"libc.so.6", "libm.so.6", "libpthread.so.0", "libdl.so.2", "librt.so.1",
          "ld-linux-x86-64.so.2", "libgcc_s.so.1", "libz.so.1"}


def needed(path):
    out = run("readelf", "-d", str(path))
    return set(re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", out))


@pytest.mark.timeout(1500)
def test_wheel_installs_and_needs_only_the_c_library(tmp_path):
    env = {k: v for k, v in os.environ.items() if k not in ("LD_PRELOAD", "PYTHONPATH")}
    run("make", "-C", str(ROOT), "wheel", f"PYTHON={sys.executable}", env=env, timeout=1200)
    (wheel,) = (ROOT / "wheelhouse").glob("tavlo-*.whl")
    policy = re.search(r"manylinux_\d+_\d+_x86_64", wheel.name).group(0)
    shown = run(sys.executable, "-m", "auditwheel", "show", str(wheel))
    assert policy in shown and "libisal" not in shown, shown

    venv = tmp_path / "venv"
    run(sys.executable, "-m", "venv", str(venv), env=env, timeout=120)
    run(str(venv / "bin" / "python"), "-m", "pip", "install", "--quiet", str(wheel), env=env,
        timeout=300)
    sample = ROOT / "examples" / "sample.fa"
    fasta = tmp_path / "sample.fa"  # indexed here, not in the source tree
    fasta.write_bytes(sample.read_bytes())
    out = run(str(venv / "bin" / "tavlo"), "faidx", str(fasta), "chr1:1-10", env=env)
    assert out.startswith(">chr1:1-10\n")
    seq = run(str(venv / "bin" / "python"), "-c",
              "import sys, tavlo; print(tavlo.Faidx(sys.argv[1]).fetch('chr1', 1, 10).seq)",
              str(fasta), cwd=tmp_path, env=env)
    assert seq.strip() == out.split("\n", 1)[1].replace("\n", "")
    (module,) = venv.glob("lib/python*/site-packages/tavlo.*.so")
    for binary in (module, venv / "bin" / "tavlo"):
        assert needed(binary) <= SYSTEM, (binary, needed(binary))
