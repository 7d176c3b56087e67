"""Pickling and copying, and the objects sent to process pools and to Dask workers."""

import concurrent.futures
import copy
import multiprocessing
import os
import pickle
import random

import pytest

import tavlo
from conftest import random_residues, write_fasta

PROTOCOLS = range(pickle.HIGHEST_PROTOCOL + 1)


def fields(s):
    return (s.name, s.seq, s.start, s.end, s.comp)


@pytest.fixture
def ref(tmp_path):
    recs = {f"chr{i}": random_residues(3000 + 500 * i, seed=i) for i in range(1, 4)}
    return write_fasta(tmp_path / "ref.fa", recs), recs


def regions_of(recs, n, seed=0):
    rng = random.Random(seed)
    out = []
    for _ in range(n):
        name = rng.choice(sorted(recs))
        start = rng.randint(1, len(recs[name]))
        out.append((name, start, min(len(recs[name]), start + rng.randint(0, 80))))
    return out


# Every option away from its default, in each class's own positional order.
def faidx_args(path):
    return (path, path + ".idx", True, True, True, False, True, False, "N", True, len, "|",
            str.upper, True, "drop", 7)


def fasta_args(path):
    return (path, path + ".idx", "N", len, True, True, 7, True, "|", str.upper, False, True,
            "drop", True, False, True)


@pytest.mark.parametrize("cls, make_args", [(tavlo.Faidx, faidx_args), (tavlo.Fasta, fasta_args)])
def test_every_option_round_trips(ref, cls, make_args):
    path, _ = ref
    args = make_args(path)
    original = cls(*args)
    assert original.__reduce__()[1] == args
    for protocol in PROTOCOLS:
        loaded = pickle.loads(pickle.dumps(original, protocol))
        assert type(loaded) is cls and repr(loaded) == repr(original)
        assert loaded.__reduce__()[1] == args
    # The options that shape results are in force after loading: as_raw, upper-casing, bounds.
    fetch = loaded.fetch if cls is tavlo.Faidx else loaded.get_seq
    s = fetch("chr1", 1, 5)
    assert (s.seq, s.start, s.end) == (ref[1]["chr1"][:5].upper(), None, None)
    with pytest.raises(IndexError):
        fetch("chr1", 1, 10**6)


def test_loaded_objects_fetch_what_the_originals_fetch(ref):
    path, recs = ref
    fasta = tavlo.Fasta(path, sequence_always_upper=True)
    regions = regions_of(recs, 50)
    for protocol in PROTOCOLS:
        loaded = pickle.loads(pickle.dumps(fasta, protocol))
        assert list(map(fields, loaded.fetch_many(regions, rc=True))) == \
            list(map(fields, fasta.fetch_many(regions, rc=True)))
        record = pickle.loads(pickle.dumps(fasta["chr2"], protocol))
        assert type(record) is type(fasta["chr2"]) and repr(record) == 'FastaRecord("chr2")'
        assert str(record) == recs["chr2"].upper() and fields(record[5:9]) == fields(fasta["chr2"][5:9])


@pytest.mark.parametrize("s", [
    tavlo.Sequence(),
    tavlo.Sequence("chr1", "ACGTn", 0, 2**64 - 1, True),
    tavlo.Sequence("só", "ñ\u00e9x", None, 5),
])
def test_sequence_round_trips_and_copies(s):
    for protocol in PROTOCOLS:
        loaded = pickle.loads(pickle.dumps(s, protocol))
        assert type(loaded) is tavlo.Sequence and fields(loaded) == fields(s)
    for c in (copy.copy(s), copy.deepcopy([s, s])[0]):
        assert c is not s and fields(c) == fields(s)
        c.seq, c.start = "TT", 3
        assert fields(c) != fields(s)
    pair = copy.deepcopy([s, s])
    assert pair[0] is pair[1]


def test_unchanging_objects_copy_as_themselves(ref):
    fasta = tavlo.Fasta(ref[0])
    faidx = tavlo.Faidx(ref[0])
    for obj in (fasta, faidx, fasta["chr1"]):
        assert copy.copy(obj) is obj and copy.deepcopy(obj) is obj


def test_loading_reopens_by_the_usual_rules(ref, tmp_path):
    path, recs = ref
    data = pickle.dumps(tavlo.Fasta(path))
    os.remove(path + ".fai")
    assert str(pickle.loads(data)["chr3"]) == recs["chr3"]   # index built again
    assert os.path.exists(path + ".fai")
    # A FASTA file written after the index: the index is rebuilt, not read stale.
    write_fasta(path, {"chr1": "ACGT" * 10})
    st = os.stat(path + ".fai")
    os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 10**9))
    assert pickle.loads(data).keys() == ["chr1"]
    os.remove(path)
    with pytest.raises(Exception) as info:
        pickle.loads(data)
    assert type(info.value) is Exception and str(info.value) == f"FastaNotFoundError: {path}"


@pytest.mark.parametrize("cls", [tavlo.Faidx, tavlo.Fasta])
@pytest.mark.parametrize("option", ["key_function", "filt_function"])
def test_an_option_that_does_not_pickle_is_named(ref, cls, option):
    with open(ref[0]) as handle:
        for value, error in [(lambda name: name, pickle.PicklingError), (handle, TypeError)]:
            obj = cls(ref[0], **{option: value})
            for target in (obj, obj["chr1"]) if cls is tavlo.Fasta else (obj,):
                with pytest.raises(error, match=f"cannot pickle {cls.__name__} option {option}"):
                    pickle.dumps(target)
            assert copy.copy(obj) is obj


def test_iterators_refuse_pickling(ref):
    fasta = tavlo.Fasta(ref[0])
    for it in (iter(fasta), iter(fasta["chr1"])):
        with pytest.raises(TypeError, match="cannot pickle .*Iterator"):
            pickle.dumps(it)
        with pytest.raises(TypeError):
            copy.copy(it)


# --- Process pools and Dask ------------------------------------------------------------------------

def fetch_regions(fasta, regions):
    return fasta.fetch_many(regions)


def fetch_chunk(args):
    fasta, regions = args
    return [fields(s) for s in fasta.fetch_many(regions, rc=True)]


@pytest.mark.timeout(120)
def test_spawned_process_pool_receives_a_fasta(ref):
    path, recs = ref
    fasta = tavlo.Fasta(path)
    regions = regions_of(recs, 2000)
    context = multiprocessing.get_context("spawn")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        chunks = [pool.submit(fetch_regions, fasta, regions[i:i + 1000]) for i in (0, 1000)]
        results = [s for c in chunks for s in c.result(timeout=100)]
    assert all(type(s) is tavlo.Sequence for s in results)
    assert [fields(s) for s in results] == [fields(fasta.get_seq(*r)) for r in regions]


@pytest.mark.timeout(120)
def test_forked_pool_maps_over_pickled_fastas(ref):
    path, recs = ref
    fasta = tavlo.Fasta(path)
    regions = regions_of(recs, 3000, seed=1)
    chunks = [(fasta, regions[i:i + 500]) for i in range(0, len(regions), 500)]
    with multiprocessing.get_context("fork").Pool(2) as pool:
        results = pool.map_async(fetch_chunk, chunks).get(timeout=100)
    assert [f for chunk in results for f in chunk] == \
        [fields(fasta.get_seq(*r, rc=True)) for r in regions]


def fetch_partition(fasta, regions):
    return [(s.name, s.seq, s.start, s.end) for s in fasta.fetch_many(regions)]


@pytest.mark.timeout(180)
def test_dask_workers_fetch_from_a_scattered_fasta(ref):
    import distributed  # a test extra: missing, the test fails rather than skips
    path, recs = ref
    fasta = tavlo.Fasta(path)
    regions = regions_of(recs, 4000, seed=2)
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None, silence_logs=40) as cluster, \
            distributed.Client(cluster, timeout=60) as client:
        remote = client.scatter(fasta, broadcast=True)
        partitions = [regions[i:i + 500] for i in range(0, len(regions), 500)]
        futures = client.map(fetch_partition, [remote] * len(partitions), partitions, pure=False)
        distributed.wait(futures, timeout=120)
        results = client.gather(futures)
        assert len(client.scheduler_info()["workers"]) == 2
    assert [r for part in results for r in part] == \
        [(s.name, s.seq, s.start, s.end) for s in (fasta.get_seq(*r) for r in regions)]
