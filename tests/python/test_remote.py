"""Remote files: http(s):// and s3:// URLs read by range requests, against real servers on
127.0.0.1 (nginx, moto) and a proxy that injects faults."""

import gzip
import pickle
import random
import re
import shutil
import struct
import subprocess
import threading

import pytest

import tavlo
from conftest import peer, random_residues, write_fasta
from test_cli import find_tavlo
from remote_servers import FaultProxy, moto_s3, nginx, serving, unavailable

# Records long enough that regions cross the 64 KiB blocks, with a short one beside them.
RECORDS = {"chr1": random_residues(150_000, seed=3, alphabet="ACGT"),
           "chr2": random_residues(70_001, seed=4), "chrM": "ACGT" * 40}


@pytest.fixture(scope="module")
def site(tmp_path_factory):
    root = tmp_path_factory.mktemp("www")
    write_fasta(root / "ref.fa", RECORDS)
    write_fasta(root / "indexed.fa", RECORDS, width=70)
    tavlo.Faidx(str(root / "indexed.fa"))  # its .fai is served beside it
    # Compressed copies spanning several blocks, with their indexes beside them or alone: BGZF,
    # and plain gzip in two members.
    write_fasta(root / "big.fa", BIG)
    text = (root / "big.fa").read_bytes()
    subprocess.run([peer("bgzip"), "-i", "-k", str(root / "big.fa")], check=True)
    shutil.copy(root / "big.fa.gz", root / "bare.fa.gz")
    tavlo.Faidx(str(root / "big.fa.gz"))  # its .fai, beside the .gzi made by bgzip
    gz = gzip.compress(text[:300_001]) + gzip.compress(text[300_001:])
    for name in ("plain", "plain_bare"):
        (root / f"{name}.fa.gz").write_bytes(gz)
    # A checkpoint index served beside an object it was not made from.
    (root / "other.fa.gz").write_bytes(gzip.compress(text[:400_000]))
    for name in ("plain", "other"):
        tavlo.Faidx(str(root / f"{name}.fa.gz"))
    shutil.copy(root / "plain.fa.gz.gzidx", root / "other.fa.gz.gzidx")
    # A .gzi that lists only the first blocks, as one made before the object grew.
    shutil.copy(root / "big.fa.gz", root / "grown.fa.gz")
    shutil.copy(root / "big.fa.gz.fai", root / "grown.fa.gz.fai")
    (root / "grown.fa.gz.gzi").write_bytes(
        struct.pack("<Q", 3) + (root / "big.fa.gz.gzi").read_bytes()[8:8 + 3 * 16])
    with nginx(root, tmp_path_factory.mktemp("nginx")) as (http, https, ca):
        yield {"root": root, "http": http, "https": https, "ca": ca}


@pytest.fixture(autouse=True)
def cache(tmp_path, monkeypatch):
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "cache"))
    for var in ("SSL_CERT_FILE", "CURL_CA_BUNDLE", "AWS_PROFILE", "AWS_ENDPOINT_URL"):
        monkeypatch.delenv(var, raising=False)
    return tmp_path / "cache" / "tavlo"


@pytest.fixture
def proxy(site):
    port = int(site["http"].rsplit(":", 1)[1])
    with serving("proxy", port) as server:
        yield server


BIG = {"big1": random_residues(500_000, seed=5, alphabet="ACGT"),
       "big2": random_residues(300_000, seed=6)}


def regions(n, seed=0, records=RECORDS):
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        name = rng.choice(list(records))
        s = rng.randint(1, len(records[name]))
        out.append((name, s, min(len(records[name]), s + rng.randint(0, 300))))
    return out


def expected(name, s, e):
    return {**RECORDS, **BIG}[name][s - 1:e]


def test_fetches_match_the_local_file(site, cache):
    fa = tavlo.Faidx(site["http"] + "/ref.fa")
    assert sorted(cache.glob("*.fai")), "the index is built into the cache"
    edge = 65536 - 8  # a region across the first block boundary, in text offsets
    for name, s, e in [("chr1", 1, 60), ("chr1", 1, 150_000), ("chr1", edge - 50, edge + 50),
                       ("chr2", 69_990, 70_001), ("chrM", 1, 160)] + regions(50):
        assert fa.fetch(name, s, e).seq == expected(name, s, e)
    batch = regions(3000, seed=1)
    assert [r.seq for r in fa.fetch_many(batch)] == [expected(*r) for r in batch]
    # The served .fai is used as it is; the cached index is used on the next opening.
    served = tavlo.Faidx(site["http"] + "/indexed.fa")
    assert served.fetch("chr2", 5, 80).seq == expected("chr2", 5, 80)
    again = tavlo.Faidx(site["http"] + "/ref.fa")
    assert again.fetch("chrM", 3, 9).seq == expected("chrM", 3, 9)


def test_fetches_let_other_threads_run(site):
    # The server is a thread of this very process: a fetch that held the interpreter would wait
    # for it in vain.
    server = FaultProxy(int(site["http"].rsplit(":", 1)[1]))
    threading.Thread(target=server.serve_forever, daemon=True).start()
    try:
        url = "http://127.0.0.1:%d/ref.fa" % server.server_address[1]
        tavlo.Faidx(url)  # builds the index, reading the whole object
        fa, fasta = tavlo.Faidx(url), tavlo.Fasta(url)  # with nothing but the first block
        before = server.requests
        for name, s, e in regions(20, seed=7):
            assert fa.fetch(name, s, e).seq == expected(name, s, e)
        assert fa.fetch_entire_sequence("chr2").seq == RECORDS["chr2"]
        assert str(fasta["chr1"][100_000:100_100]) == RECORDS["chr1"][100_000:100_100]
        assert server.requests > before
    finally:
        server.shutdown()
        server.server_close()


@pytest.mark.parametrize("name, index", [("big.fa.gz", "gzi"), ("bare.fa.gz", "gzi"),
                                         ("plain.fa.gz", "gzidx"), ("plain_bare.fa.gz", "gzidx")])
def test_compressed_objects_match_the_local_file(site, cache, name, index):
    url = site["http"] + "/" + name
    fa = tavlo.Faidx(url)
    assert len(list(cache.glob("*." + index))) == 1, "the index is built or copied into the cache"
    for n, s, e in [("big1", 1, 500_000), ("big2", 299_000, 300_000)] + regions(40, 5, BIG):
        assert fa.fetch(n, s, e).seq == expected(n, s, e)
    batch = regions(1500, seed=6, records=BIG)
    assert [r.seq for r in tavlo.Faidx(url).fetch_many(batch)] == [expected(*r) for r in batch]


def test_compressed_indexes_given_or_served(site, cache, tmp_path):
    gzi, fai = tmp_path / "local.gzi", tmp_path / "local.fai"
    for _ in range(2):  # built there, then read from there
        out = subprocess.run([find_tavlo(), "faidx", site["http"] + "/bare.fa.gz",
                              "--fai-idx", str(fai), "--gzi-idx", str(gzi), "big2:5-70000"],
                             capture_output=True, text=True, check=True).stdout
        assert "".join(out.splitlines()[1:]) == expected("big2", 5, 70_000)
    assert gzi.exists() and not list(cache.glob("*.gzi")), "a local .gzi is built there"
    with pytest.raises(Exception, match="other.fa.gz.gzidx was not made from"):
        tavlo.Faidx(site["http"] + "/other.fa.gz")
    with pytest.raises(Exception, match="grown.fa.gz.gzi: .*does not list every block"):
        tavlo.Faidx(site["http"] + "/grown.fa.gz")


def test_a_changed_compressed_object_is_an_error(site, proxy):
    tavlo.Faidx(proxy.url + "/bare.fa.gz")  # builds the indexes, reading every block
    fa = tavlo.Faidx(proxy.url + "/bare.fa.gz")  # from the cached indexes, no block read yet
    proxy.spoil("changed")
    with pytest.raises(Exception, match="changed while open"):
        fa.fetch("big2", 200_000, 200_100)
    with pytest.raises(Exception, match="changed while open"):
        fa.fetch_many(regions(500, seed=7, records=BIG))


def test_https_verifies_against_the_ca_given(site, monkeypatch):
    url = site["https"] + "/ref.fa"
    with pytest.raises(Exception, match="certificate|SSL"):
        tavlo.Faidx(url)
    for var in ("SSL_CERT_FILE", "CURL_CA_BUNDLE"):
        with monkeypatch.context() as m:
            m.setenv(var, site["ca"])
            assert tavlo.Faidx(url).fetch("chr1", 10, 20).seq == expected("chr1", 10, 20)


def test_secrets_never_show(site, cache):
    secret = "s3cr3tSIGNATURE"
    host = site["http"].removeprefix("http://")
    url = f"http://user:{secret}@{host}/ref.fa?X-Amz-Signature={secret}&X-Amz-Security-Token={secret}"
    fa = tavlo.Faidx(url)
    assert fa.fetch("chr1", 1, 5).seq == expected("chr1", 1, 5)
    shown = [repr(fa), repr(tavlo.Fasta(url)), str(pickle.dumps(fa)),
             *(p.name + p.read_text() for p in cache.iterdir())]
    with pytest.raises(Exception) as missing:
        tavlo.Faidx(url.replace("ref.fa", "none.fa"))
    shown.append(str(missing.value))
    assert "404" in str(missing.value) and "none.fa" in str(missing.value)
    assert not [s for s in shown if secret in s]


def test_a_cached_index_of_another_version_is_rebuilt(site, cache):
    path = site["root"] / "changing.fa"
    write_fasta(path, {"a": "ACGT" * 30})
    assert tavlo.Faidx(site["http"] + "/changing.fa").fetch("a", 1, 8).seq == "ACGTACGT"
    write_fasta(path, {"b": "TTTT", "a": "GGCC" * 30})
    fa = tavlo.Faidx(site["http"] + "/changing.fa")
    assert fa.fetch("a", 1, 8).seq == "GGCCGGCC" and fa.fetch("b", 1, 4).seq == "TTTT"


def test_pickles_reopen_from_the_cache(site):
    fa = tavlo.Fasta(site["http"] + "/ref.fa")
    loaded = pickle.loads(pickle.dumps(fa))
    assert loaded["chr2"][100:200].seq == expected("chr2", 101, 200)


@pytest.mark.parametrize("mode", ["drop", "503"])
def test_passing_faults_are_retried(site, proxy, mode):
    url = proxy.url + "/ref.fa"
    fa = tavlo.Faidx(url)
    proxy.spoil(mode, count=2)
    assert fa.fetch("chr1", 100_000, 100_100).seq == expected("chr1", 100_000, 100_100)
    proxy.spoil(mode, count=2)
    batch = regions(500, seed=2)
    assert [r.seq for r in fa.fetch_many(batch)] == [expected(*r) for r in batch]


@pytest.mark.parametrize("mode, message", [
    ("503", r"http://127\.0\.0\.1:\d+/ref\.fa\?sig=REDACTED: HTTP 503"),
    ("ignore_range", "ignores Range"),
    ("short", r"sent \d+ bytes of a range of \d+"),
    ("changed", "changed while open"),
])
def test_lasting_faults_are_errors_never_wrong_residues(site, proxy, mode, message):
    url = proxy.url + "/ref.fa?sig=hidden"
    fa = tavlo.Faidx(url)
    proxy.spoil(mode)
    with pytest.raises(Exception, match=message) as single:
        fa.fetch("chr1", 100_000, 100_100)
    with pytest.raises(Exception, match=message):
        fa.fetch_many(regions(1500, seed=3))
    assert "hidden" not in str(single.value)


@pytest.fixture(scope="module")
def s3(site):
    with moto_s3() as endpoint:
        yield endpoint


@pytest.fixture
def aws(monkeypatch, tmp_path):
    monkeypatch.setenv("HOME", str(tmp_path))
    for var, value in [("AWS_ACCESS_KEY_ID", "AKIDTAVLOTEST"), ("AWS_SECRET_ACCESS_KEY", "sk/x+y"),
                       ("AWS_SESSION_TOKEN", "tok"), ("AWS_REGION", "eu-west-3")]:
        monkeypatch.setenv(var, value)
    return monkeypatch


def test_s3_objects_read_with_credentials(site, s3, aws):
    import boto3
    client = boto3.client("s3", endpoint_url=s3, region_name="eu-west-3")
    client.create_bucket(Bucket="refs", CreateBucketConfiguration={
        "LocationConstraint": "eu-west-3"})
    client.put_object(Bucket="refs", Key="genomes/ref.fa",
                      Body=(site["root"] / "ref.fa").read_bytes())
    aws.setenv("AWS_ENDPOINT_URL_S3", s3)
    fa = tavlo.Faidx("s3://refs/genomes/ref.fa")
    batch = regions(1500, seed=4)
    assert [r.seq for r in fa.fetch_many(batch)] == [expected(*r) for r in batch]
    with pytest.raises(Exception, match="FastaNotFoundError.*s3://refs/genomes/none.fa"):
        tavlo.Faidx("s3://refs/genomes/none.fa")


def test_s3_signature_matches_botocore(aws):
    try:
        import botocore  # noqa: F401
    except ImportError:
        unavailable("botocore")
    from botocore.auth import S3SigV4Auth
    from botocore.awsrequest import AWSRequest
    from botocore.credentials import Credentials
    with serving("recorder") as recorder:
        endpoint = recorder.url
        aws.setenv("AWS_ENDPOINT_URL", endpoint)
        with pytest.raises(Exception, match="403"):
            tavlo.Faidx("s3://bucket/dir/ref.fa")
        path, headers = recorder.last()
        # Without credentials the request goes unsigned (a public bucket).
        for var in ("AWS_ACCESS_KEY_ID", "AWS_SECRET_ACCESS_KEY", "AWS_SESSION_TOKEN"):
            aws.delenv(var)
        with pytest.raises(Exception, match="403"):
            tavlo.Faidx("s3://bucket/dir/ref.fa")
        assert "authorization" not in recorder.last()[1]
    auth = headers["authorization"]
    signed = re.search(r"SignedHeaders=([^,]+)", auth).group(1).split(";")
    assert {"host", "x-amz-date", "x-amz-content-sha256", "x-amz-security-token"} <= set(signed)
    request = AWSRequest(method="GET", url=endpoint + path,
                         headers={h: headers[h] for h in signed})
    request.context["timestamp"] = headers["x-amz-date"]
    signer = S3SigV4Auth(Credentials("AKIDTAVLOTEST", "sk/x+y", "tok"), "s3", "eu-west-3")
    string_to_sign = signer.string_to_sign(request, signer.canonical_request(request))
    assert auth.endswith("Signature=" + signer.signature(string_to_sign, request))
    assert "Credential=AKIDTAVLOTEST/" + headers["x-amz-date"][:8] + "/eu-west-3/s3/" in auth
    assert botocore is not None
