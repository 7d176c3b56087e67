"""The tavlo executable: output compared byte for byte with samtools faidx and bedtools getfasta
run on the same inputs, failure statuses, output-file handling, pipes and the progress line."""

import os
import pathlib
import pty
import random
import shutil
import subprocess
import sys
import tempfile
import threading

import pytest

from conftest import peer, random_residues, write_fasta


def find_tavlo():
    given = os.environ.get("TAVLO_CLI")
    if given:
        return given
    beside = os.path.join(os.path.dirname(sys.executable), "tavlo")
    return beside if os.path.exists(beside) else shutil.which("tavlo")


TAVLO = find_tavlo()
pytestmark = pytest.mark.skipif(TAVLO is None, reason="tavlo executable not installed")


# The sanitizer runtimes preloaded into the interpreter under test-asan are not for the programs
# started here (the executable under test links its own).
ENV = {k: v for k, v in os.environ.items() if k != "LD_PRELOAD"}


def run(*args, **kw):
    args = [a if isinstance(a, bytes) else str(a) for a in args]
    return subprocess.run(args, capture_output=True, env=ENV, **kw)


# Soft-masked residues, IUPAC codes and other printable bytes (for the strand complement), and
# names that contain colons, among them one that is also a region of another record.
ALPHABET = "ACGTNacgtnRYKMBVDHSWUrykmbvdhswu*-.XZxz"


@pytest.fixture(params=["\n", "\r\n"], ids=["lf", "crlf"])
def ref(tmp_path, request):
    records = {
        "chr1": random_residues(500, seed=3, alphabet="ACGTacgtN"),
        "chr2:5": random_residues(130, seed=4),
        "chr2:5-6": random_residues(77, seed=5),
        "all": ALPHABET * 4,
        "chrM": random_residues(61, seed=6),
    }
    path = write_fasta(tmp_path / "ref.fa", records, width=60, newline=request.param)
    return path, records


REGIONS = [
    "chr1", "chr1:1", "chr1:61", "chr1:60-61", "chr1:1,0-2,00", "chr1:400-600", "chr1:500",
    "chr1:501", "chr1:-5", "chr1:7-", "chr1:0", "chr1:1-0", "chr1:1.5k", "chr1:1-1e2",
    "chr1: 3-5", "chr1:2-+9", "chr1:3-4,", "chr1:,5", "chr1:99999999999999999999",
    "chr2:5", "chr2:5:3-9", "chr2:5-6", "{chr2:5-6}", "{chr2:5-6}:70-90", "chr2:5-6:4",
    "all", "all:10-40", "chrM:61-61", "chrM:60-62",
]

FAIDX_OPTIONS = [
    [], ["-n", "1"], ["-n", "80"], ["-i"], ["-i", "--mark-strand", "no", "-n", "7"],
    ["-i", "--mark-strand", "sign"], ["--mark-strand", "sign"],
    ["-i", "--mark-strand", "custom,<p>,<n>,x"], ["--mark-strand=custom,P"],
]


@pytest.mark.parametrize("options", FAIDX_OPTIONS, ids=" ".join)
def test_faidx_matches_samtools(ref, options):
    samtools = peer("samtools")
    path, _ = ref
    ours = run(TAVLO, "faidx", path, *options, *REGIONS)
    theirs = run(samtools, "faidx", path, *options, *REGIONS)
    assert theirs.returncode == 0
    assert ours.returncode == 0, ours.stderr
    assert ours.stdout == theirs.stdout


def test_faidx_one_line_and_long_regions(tmp_path):
    # A record longer than the pieces a region is cut into, wrapped at widths that do and do not
    # divide the piece size. Width 0 writes one line, as a width beyond the record does.
    samtools = peer("samtools")
    residues = random_residues(2_500_003, seed=9, alphabet="ACGTacgt")
    path = write_fasta(tmp_path / "long.fa", {"big": residues, "small": "ACGTA"}, width=70)
    regions = ["big", "big:3-2400001", "small"]
    for ours_opts, their_opts in [(["-n", "0"], ["-n", "9999999"]), (["-n", "7"], ["-n", "7"]),
                                  (["-i", "-n", "64"], ["-i", "-n", "64"])]:
        ours = run(TAVLO, "faidx", path, *ours_opts, *regions)
        theirs = run(samtools, "faidx", path, *their_opts, *regions)
        assert ours.returncode == 0 and ours.stdout == theirs.stdout, ours_opts


def test_region_file_and_output_file(ref, tmp_path):
    samtools = peer("samtools")
    path, _ = ref
    regions = tmp_path / "regions.txt"
    regions.write_bytes(b"chr1:5-70\r\nchr2:5:1-3\nall:3-9\nchrM")  # CR LF lines, no final LF
    mine, theirs = tmp_path / "mine.fa", tmp_path / "theirs.fa"
    result = run(TAVLO, "faidx", path, "-r", regions, "-o", mine, "chrM:2-3", "-i")
    assert result.returncode == 0, result.stderr
    assert run(samtools, "faidx", path, "-r", regions, "-o", theirs, "chrM:2-3",
               "-i").returncode == 0
    assert mine.read_bytes() == theirs.read_bytes()
    assert not [p for p in os.listdir(tmp_path) if ".tavlo-" in p]


def test_output_of_many_chunks_in_order(tmp_path):
    # Enough regions for several chunks in flight at once (parsed, formatted, written), into a
    # file whose blocks are reserved ahead of each write: same bytes and size as samtools.
    samtools = peer("samtools")
    rng = random.Random(12)
    records = {"a": random_residues(200_000, seed=13, alphabet="ACGTacgt"),
               "b": random_residues(90_001, seed=14, alphabet="ACGTN")}
    path = write_fasta(tmp_path / "ref.fa", records, width=61)
    lines = []
    for _ in range(15_000):
        name = rng.choice("ab")
        start = rng.randint(1, len(records[name]))
        lines.append(f"{name}:{start}-{start + rng.randint(0, 999)}\n")
    regions = tmp_path / "regions.txt"
    regions.write_text("".join(lines))
    mine, theirs = tmp_path / "mine.fa", tmp_path / "theirs.fa"
    assert run(TAVLO, "faidx", path, "-r", regions, "-o", mine).returncode == 0
    assert run(samtools, "faidx", path, "-r", regions, "-o", theirs).returncode == 0
    assert mine.read_bytes() == theirs.read_bytes()


def test_write_error_reported_once(tmp_path):
    path = write_fasta(tmp_path / "big.fa", {"r": "ACGT" * 500_000})
    result = run(TAVLO, "faidx", path, *["r"] * 12, "-o", "/dev/full", timeout=60)
    assert result.returncode == 1
    assert result.stderr.count(b"No space left") == 1, result.stderr


def test_index_built_like_samtools_and_rebuilt_when_stale(tmp_path):
    samtools = peer("samtools")
    path = write_fasta(tmp_path / "a.fa", {"x": "ACGT" * 40, "y": "GG"}, width=50)
    assert run(TAVLO, "faidx", path).stdout == b""
    ours = open(path + ".fai", "rb").read()
    assert run(samtools, "faidx", path, "--fai-idx", tmp_path / "s.fai").returncode == 0
    assert ours == (tmp_path / "s.fai").read_bytes()
    write_fasta(tmp_path / "a.fa", {"x": "TTTT", "z": "CCCCC"})
    st = os.stat(path + ".fai")
    os.utime(path, (st.st_atime + 10, st.st_mtime + 10))
    assert run(TAVLO, "faidx", path, "z").stdout == b">z\nCCCCC\n"
    other = tmp_path / "other.fai"
    assert run(TAVLO, "faidx", "--fai-idx", other, path, "x:2-3").stdout == b">x:2-3\nTT\n"
    assert other.exists()


# --- failures ---------------------------------------------------------------------------------


@pytest.mark.parametrize("region, words", [
    ("nope", ["nope", "not found"]),
    ("chr1:9-3", ["chr1:9-3", "argument 2"]),
    ("chr1:3-4x", ["chr1:3-4x", "argument 2"]),
    ("chr1:0-4", ["chr1:0-4"]),
    ("{chr1", ["{chr1"]),
])
def test_faidx_failures_leave_output_untouched(chr1_100, tmp_path, region, words):
    path, _ = chr1_100
    out = tmp_path / "out.fa"
    out.write_text("precious")
    result = run(TAVLO, "faidx", path, "-o", out, "chr1:1-5", region, "chr1:6-9")
    assert result.returncode == 1
    assert all(w in result.stderr.decode() for w in words), result.stderr
    assert out.read_text() == "precious"
    assert sorted(os.listdir(tmp_path)) == ["out.fa", "ref.fa", "ref.fa.fai"]


def test_faidx_region_file_line_number_and_continue(chr1_100, tmp_path):
    samtools = peer("samtools")
    path, _ = chr1_100
    regions = tmp_path / "r.txt"
    regions.write_text("chr1:1-3\nchr1:4-3\n")
    result = run(TAVLO, "faidx", path, "-r", regions)
    assert result.returncode == 1 and b"line 2 of" in result.stderr
    # -c: a missing name is reported and skipped, as samtools does (its header stays).
    args = [path, "-c", "chr1:1-3", "chrX", "chr1:5-6"]
    ours, theirs = run(TAVLO, "faidx", *args), run(samtools, "faidx", *args)
    assert (ours.returncode, ours.stdout) == (0, theirs.stdout)
    assert b"chrX" in ours.stderr


@pytest.mark.parametrize("content", [
    b">a\nACGT\nAC\nACGT\n",        # ragged record
    b"\x1f\x8b\x08\x00rest",         # gzip
])
def test_refused_fasta_files(tmp_path, content):
    path = tmp_path / "bad.fa"
    path.write_bytes(content)
    result = run(TAVLO, "faidx", path, "a")
    assert result.returncode == 1 and result.stderr and result.stdout == b""


def test_blank_inside_sequence_line_refused_naming_file_and_line(tmp_path):
    # samtools skips such bytes and writes "a 10 3 4 6": each tool would misread the other's index.
    path = tmp_path / "ws.fa"
    path.write_bytes(b">a desc\twith tab\nACGT\nAC T\nAC\n>b\nGG\n")
    result = run(TAVLO, "faidx", path, "a:4-6")
    assert result.returncode == 1 and result.stdout == b""
    assert b"Space or tab inside a line of sequence 'a'" in result.stderr
    assert f"line 3 of {path}".encode() in result.stderr
    assert not os.path.exists(f"{path}.fai")


def test_headers_of_any_bytes_and_first_of_repeated_names(tmp_path):
    # As samtools and bedtools: names are bytes, and a repeated name gives its first record,
    # with one warning per name.
    samtools, bedtools = peer("samtools"), peer("bedtools")
    path = tmp_path / "dup.fa"
    path.write_bytes(b">caf\xe9 x\nAAAA\n>d\nCCCC\n>d\nGGGG\n>d\nTTTT\n>\xff\xfe\nAC\n")
    regions = [b"caf\xe9:2-3", b"d", b"\xff\xfe"]
    for first in (True, False):  # building the index, then reading it
        ours, theirs = run(TAVLO, "faidx", path, *regions), run(samtools, "faidx", path, *regions)
        assert (ours.returncode, ours.stdout) == (0, theirs.stdout), ours.stderr
        assert ours.stderr.count(b"repeated") == 1 and b'"d"' in ours.stderr
        assert (tmp_path / "dup.fa.fai").exists()
    bed = tmp_path / "d.bed"
    bed.write_bytes(b"d\t1\t3\n\xff\xfe\t0\t2\n")
    ours = run(TAVLO, "getfasta", "-fi", path, "-bed", bed)
    assert ours.stdout == run(bedtools, "getfasta", "-fi", path, "-bed", bed).stdout


def test_output_that_is_an_input_is_refused(chr1_100, tmp_path):
    path, _ = chr1_100
    fasta = open(path, "rb").read()
    run(TAVLO, "faidx", path)
    fai = open(f"{path}.fai", "rb").read()
    bed = tmp_path / "r.bed"
    bed.write_text("chr1\t0\t5\n")
    os.symlink(path, tmp_path / "link.fa")
    for args in (["faidx", path, "chr1:1-5", "-o", path],
                 ["faidx", path, "chr1:1-5", "-o", f"{path}.fai"],
                 ["faidx", path, "chr1:1-5", f"--output={tmp_path}/../{tmp_path.name}/ref.fa"],
                 ["faidx", path, "chr1:1-5", "-o", tmp_path / "link.fa"],
                 ["getfasta", "-fi", path, "-bed", bed, "-fo", path]):
        result = run(TAVLO, *args)
        assert result.returncode == 1 and b"is the input file" in result.stderr, args
    assert open(path, "rb").read() == fasta and open(f"{path}.fai", "rb").read() == fai


def as_nobody(*args):
    """Runs a command as an unprivileged user when root (root ignores permissions)."""
    if os.geteuid() != 0:
        return run(*args)
    if shutil.which("setpriv") is None:
        pytest.skip("needs setpriv to switch to an unprivileged user")
    return run("setpriv", "--reuid=65534", "--regid=65534", "--clear-groups", *args)


def test_index_kept_in_memory_in_a_read_only_folder(tmp_path):
    top = pathlib.Path(tempfile.mkdtemp(prefix="tavlo-ro-"))  # tmp_path is root's alone
    try:
        check_read_only_folder(tmp_path, top)
    finally:
        os.chmod(top, 0o755)
        shutil.rmtree(top)


def check_read_only_folder(tmp_path, top):
    os.chmod(top, 0o755)
    tool = top / "tavlo"
    shutil.copy(TAVLO, tool)
    path = write_fasta(top / "x.fa", {"a": "ACGTACGT", "b": "GGG"})
    (top / "x.fa.fai").write_text("a\t4\t3\t4\t5\n")  # stale and wrong
    os.utime(top / "x.fa.fai", ns=(1, 1))
    with open(top / "z.fa.gz", "wb") as f:
        subprocess.run([peer("bgzip"), "-c"], input=open(path, "rb").read(), stdout=f, check=True)
    os.chmod(top, 0o555)
    r = as_nobody(tool, "faidx", path, "a:3-6")
    assert (r.returncode, r.stdout) == (0, b">a:3-6\nGTAC\n"), r.stderr
    assert r.stderr.count(b"\n") == 1 and f"{path}.fai".encode() in r.stderr
    r = as_nobody(tool, "faidx", top / "z.fa.gz", "b")
    assert (r.returncode, r.stdout) == (0, b">b\nGGG\n"), r.stderr
    assert r.stderr.count(b"warning") == 2 and b"z.fa.gz.gzi" in r.stderr
    gzi = tmp_path / "elsewhere.gzi"
    r = run(tool, "faidx", "--gzi-idx", gzi, "--fai-idx", tmp_path / "e.fai", top / "z.fa.gz", "b")
    assert (r.returncode, r.stdout, r.stderr) == (0, b">b\nGGG\n", b"")
    assert gzi.exists() and not (top / "z.fa.gz.gzi").exists()


def test_threads_option(chr1_100):
    path, _ = chr1_100
    for args in (["-@", "1"], ["--threads=3"], ["-@0"]):
        r = run(TAVLO, "faidx", path, *args, "chr1:1-5")
        assert r.returncode == 0 and r.stdout.startswith(b">chr1:1-5\n"), r.stderr
    assert run(TAVLO, "faidx", path, "-@", "x", "chr1").returncode == 1
    assert run(TAVLO, "getfasta", "-@", "-2", "-fi", path, "-bed", path).returncode == 1


# --- getfasta ---------------------------------------------------------------------------------


BED6 = (
    "# comment\ntrack name=x\nbrowser position chr1\n"
    "chr1\t0\t5\tn1\t0\t+\nchr1\t2\t80\tn2\t0\t-\nchr2:5\t1\t30\tc\t0\t.\n"
    "chr1\t5\t5\tzero\t0\t-\nchrX\t1\t2\tunknown\t0\t+\nchr1\t450\t501\tpast\t0\t+\n"
    "all\t0\t152\tall\t0\t-\nchr1\t499\t500\tlast\t0\t-\n"
)
BED12 = (
    "chr1\t10\t200\tg1\t0\t-\t10\t200\t0\t3\t20,30,5,\t0,50,185,\n"
    "chr1\t0\t100\tg2\t0\t+\t0\t100\t0\t2\t3,4\t0,96\n"
    "chrM\t0\t61\tg3\t0\t-\t0\t61\t0\t1\t61\t0\n"
)
GETFASTA_OPTIONS = [
    [], ["-s"], ["-name"], ["-nameOnly"], ["-s", "-name"], ["-s", "-nameOnly"], ["-tab"],
    ["-tab", "-s", "-name"], ["-bedOut"], ["-bedOut", "-s"], ["-split"], ["-split", "-s"],
    ["-split", "-s", "-name", "-tab"], ["-split", "-bedOut", "-s"],
]


@pytest.mark.parametrize("options", GETFASTA_OPTIONS, ids=" ".join)
def test_getfasta_matches_bedtools(ref, tmp_path, options):
    bedtools = peer("bedtools")
    path, records = ref
    # bedtools leaves the CR of CR LF files inside the residues: its output for the same records
    # written with LF is the reference for both.
    lf = write_fasta(tmp_path / "lf.fa", records)
    for name, text in [("six.bed", BED6), ("twelve.bed", BED12)]:
        bed = tmp_path / name
        bed.write_text(text)
        ours = run(TAVLO, "getfasta", "-fi", path, "-bed", bed, *options)
        theirs = run(bedtools, "getfasta", "-fi", lf, "-bed", bed, *options)
        assert ours.returncode == 0, ours.stderr
        assert ours.stdout == theirs.stdout
        assert (b"chrX" in ours.stderr) == (name == "six.bed")


@pytest.mark.parametrize("row", [
    "chr1\t5", "chr1 0 5", "chr1\tx\t5", "chr1\t-1\t5", "chr1\t9\t3", "chr1\t1\t2\tn\t0\t+",
])
def test_getfasta_malformed_rows(chr1_100, tmp_path, row):
    path, _ = chr1_100
    bed = tmp_path / "bad.bed"
    bed.write_text(f"chr1\t0\t3\n#\nchr1\t1\t4\n{row}\n")
    out = tmp_path / "out.fa"
    result = run(TAVLO, "getfasta", "-fi", path, "-bed", bed, "-fo", out)
    assert result.returncode == 1 and b"line 4" in result.stderr
    assert not out.exists()


# --- output plumbing --------------------------------------------------------------------------


def test_special_output_files_are_written_in_place(chr1_100, tmp_path):
    path, residues = chr1_100
    result = run(TAVLO, "faidx", path, "chr1", "-o", os.devnull)
    assert result.returncode == 0 and os.path.exists(os.devnull)
    assert not os.path.isfile(os.devnull)
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    got = []
    reader = threading.Thread(target=lambda: got.append(open(fifo, "rb").read()))
    reader.start()
    result = run(TAVLO, "faidx", path, "chr1:1-10", "-n", "0", "-o", fifo, timeout=30)
    reader.join(30)
    assert result.returncode == 0 and got == [f">chr1:1-10\n{residues[:10]}\n".encode()]
    link = tmp_path / "link.fa"
    target = tmp_path / "target.fa"
    target.write_text("old")
    link.symlink_to(target)
    assert run(TAVLO, "faidx", path, "chr1:1-2", "-o", link).returncode == 0
    assert link.is_symlink() and target.read_text() == f">chr1:1-2\n{residues[:2]}\n"


def test_closed_pipe_ends_quietly(tmp_path):
    path = write_fasta(tmp_path / "big.fa", {"r": "ACGT" * 500_000})
    p = subprocess.Popen(f"'{TAVLO}' faidx '{path}' {' '.join(['r'] * 20)} | head -c 100",
                         shell=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=ENV)
    out, err = p.communicate(timeout=60)
    assert len(out) == 100 and err == b""


def test_progress_line_only_on_a_terminal(tmp_path):
    path = write_fasta(tmp_path / "p.fa", {"a": random_residues(5000, seed=2)})
    rng = random.Random(1)
    regions = tmp_path / "r.txt"
    regions.write_text("".join(f"a:{s}-{s + 5}\n" for s in
                               (rng.randint(1, 4990) for _ in range(150_000))))
    args = [TAVLO, "faidx", path, "-r", regions, "-o", os.devnull]
    assert run(*args).stderr == b""
    master, slave = pty.openpty()
    p = subprocess.Popen([str(a) for a in args], stderr=slave, env=ENV)
    os.close(slave)
    seen = b""
    while True:
        try:
            chunk = os.read(master, 4096)
        except OSError:  # the other end closed
            break
        if not chunk:
            break
        seen += chunk
    os.close(master)
    assert p.wait(timeout=60) == 0
    assert b"regions" in seen and seen.endswith(b"\r\x1b[K")


def test_help_and_version():
    for args in (["--help"], ["faidx", "--help"], ["getfasta", "-h"], ["--version"]):
        result = run(TAVLO, *args)
        assert result.returncode == 0 and result.stdout, args
    assert run(TAVLO).returncode == 1
    assert run(TAVLO, "faidx").returncode == 1
