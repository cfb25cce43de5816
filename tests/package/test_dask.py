"""quillon.dask on a two-process LocalCluster: the same results as reading in one process."""
from __future__ import annotations

import errno
import os
import pickle

import numpy as np
import pandas as pd
import pytest

import quillon

dask = pytest.importorskip("dask")
distributed = pytest.importorskip("distributed")
qd = pytest.importorskip("quillon.dask")

import gen_stream  # noqa: E402  (put on sys.path by conftest)
from stream_builder import Crystal, random_images, row, stream  # noqa: E402

DAMAGED_PANELS = ["p0", "p1", "p2"]


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster:
        with distributed.Client(cluster) as c:
            yield c


def damaged_text() -> str:
    """A stream whose geometry names three panels, with bad rows, a crystal whose cell does
    not read and a chunk without an image: the parse leaves out rows, a crystal and an image
    that the index counts."""
    geometry = "".join(f"{p}/min_fs = 0\n{p}/max_fs = 9\n" for p in DAMAGED_PANELS)
    header = f"----- Begin geometry file -----\n{geometry}----- End geometry file -----\n"
    images = random_images(40, seed=5, panels=DAMAGED_PANELS)
    for im in images[::6]:
        for c in im.crystals:
            c.rows += ["1 2 3 4 5", row(40000, 1, 1)]
    images[9].crystals.insert(0, Crystal(rows=[row(1, 2, 3)], cell="Cell parameters 7.9 nm"))
    text = stream(images, header=header)
    at = text.index("----- Begin chunk -----", len(text) // 3)
    return text[:at] + "----- Begin chunk -----\nno image here\n----- End chunk -----\n" + text[at:]


@pytest.fixture(scope="module")
def files(tmp_path_factory) -> dict[str, list[str]]:
    """Named lists of stream paths: generated files whose panels differ, and a damaged one."""
    d = tmp_path_factory.mktemp("dask")
    generated = []
    for seed in (21, 22, 23):
        path = d / f"gen{seed}.stream"
        gen_stream.generate(path, 600_000, seed=seed)
        generated.append(str(path))
    (d / "damaged.stream").write_text(damaged_text())
    (d / "empty.stream").write_text("----- Begin unit cell -----\na header and no chunk\n")
    return {"generated": generated,
            "damaged, empty and generated": [str(d / "damaged.stream"), str(d / "empty.stream"),
                                             generated[0]],
            "a file twice": [str(d / "damaged.stream"), generated[1], str(d / "damaged.stream")]}


def expected(paths: list[str]) -> quillon.Stream:
    return quillon.concat([quillon.read(p, n_threads=1) for p in paths])


def assert_same_stream(got: quillon.Stream, want: quillon.Stream) -> None:
    assert got.columns.keys() == want.columns.keys()
    for name, values in want.columns.items():
        np.testing.assert_array_equal(got.columns[name], values, err_msg=name)
        assert got.columns[name].dtype == values.dtype, name
    assert (got.filenames, got.events) == (want.filenames, want.events)
    assert got.report == want.report
    assert (got.header, got.panels, got.path) == (want.header, want.panels, want.path)


def assert_same_tables(frames, want: quillon.Stream) -> None:
    for name, frame in zip(qd.TABLES, frames):
        pd.testing.assert_frame_equal(frame, getattr(want, name), obj=name)


@pytest.mark.parametrize("blocksize", [1, "48 KiB", "256 MiB"],
                         ids=["one chunk per partition", "48 KiB", "one partition per file"])
@pytest.mark.parametrize("which", ["generated", "damaged, empty and generated", "a file twice"])
def test_read_equals_single_process(client, files, which, blocksize):
    paths = files[which]
    want = expected(paths)
    ds = qd.read(paths, blocksize=blocksize)
    assert ds.panels == want.panels  # the union, in order of first appearance
    assert_same_stream(ds.compute(), want)
    assert_same_tables(dask.compute(ds.observations, ds.crystals, ds.images), want)
    if which == "damaged, empty and generated":  # the index over-counts, the ids do not
        rows = quillon._native.index_chunks(paths[0])
        damaged = quillon.read(paths[0])
        assert damaged.n_images < len(rows) and damaged.n_crystals < rows[:, 2].sum()
        assert {"crystal_cell", "chunk_no_image"} <= damaged.report.keys()


def test_partitions_follow_blocksize(client, files):
    path = files["generated"][0]
    n_chunks = len(quillon._native.index_chunks(path))
    assert qd.read(path, blocksize=1).npartitions == n_chunks
    assert qd.read(path, blocksize="256 MiB").npartitions == 1
    assert qd.read(path, blocksize="1e30").npartitions == 1  # past any file: one partition
    assert 1 < qd.read(path, blocksize="64 KiB").npartitions < n_chunks


@pytest.mark.parametrize("change", ["rewritten", "touched"])
def test_tables_of_a_file_changed_since_indexing_are_refused(client, tmp_path, change):
    """Tables computed one after the other must come from the same file."""
    path = tmp_path / "changing.stream"
    gen_stream.generate(path, 300_000, seed=31)
    ds = qd.read(str(path), blocksize="64 KiB")
    assert len(ds.crystals.compute()) == quillon.read(path).n_crystals
    if change == "rewritten":
        gen_stream.generate(path, 200_000, seed=32)
    else:  # same bytes, a later modification time
        st = path.stat()
        os.utime(path, ns=(st.st_atime_ns, st.st_mtime_ns + 1_000_000_000))
    with pytest.raises(quillon.StreamChangedError, match="changed since it was indexed"):
        ds.observations.compute()


@pytest.mark.parametrize("panels", [None, "auto"])
def test_panels_are_found_as_read_finds_them(client, files, panels):
    path = files["generated"][1]
    assert qd.read(path, panels=panels).panels == quillon.read(path, panels=panels).panels


def test_glob_reads_matching_files_in_sorted_order(client, files):
    pattern = os.path.join(os.path.dirname(files["generated"][0]), "gen*.stream")
    assert qd.read(pattern).paths == sorted(files["generated"])
    with pytest.raises(FileNotFoundError, match="no file matches"):
        qd.read(pattern + ".missing*")


def test_unreachable_file_names_worker_and_path(client, files, tmp_path):
    missing = str(tmp_path / "not-on-this-worker.stream")
    with pytest.raises(OSError) as info:
        qd.read([files["generated"][0], missing])
    assert info.value.errno == errno.ENOENT and info.value.filename == missing
    workers = client.scheduler_info()["workers"]
    assert any(f"worker {address}" in str(info.value) for address in workers)


def test_to_parquet_parses_once_and_round_trips(client, files, tmp_path):
    paths = files["damaged, empty and generated"]
    want = expected(paths)
    ds = qd.read(paths, blocksize="32 KiB")
    with distributed.get_task_stream(client) as tasks:
        report = ds.to_parquet(tmp_path / "out")
    parsed = [t["key"] for t in tasks.data if str(t["key"]).startswith("parse-stream")]
    assert len(parsed) == len(set(parsed)) == ds.npartitions
    assert report == want.report
    back = qd.read_parquet(tmp_path / "out")
    assert back.panels == want.panels
    assert_same_tables(dask.compute(back.observations, back.crystals, back.images), want)
    plain = dask.dataframe.read_parquet(tmp_path / "out" / "crystals").compute()
    pd.testing.assert_frame_equal(plain, want.crystals)


def test_worker_killed_mid_read_gives_identical_result(client, files, tmp_path):
    """A worker dies right after its first parse: Dask runs the lost tasks again."""
    marker = tmp_path / "killed"

    class KillAfterFirstParse(distributed.WorkerPlugin):
        def transition(self, key, start, finish, **kwargs):
            if finish == "memory" and str(key).startswith("parse-stream"):
                try:
                    os.close(os.open(marker, os.O_CREAT | os.O_EXCL))
                except FileExistsError:
                    return
                os._exit(1)

    paths = files["generated"]
    want = expected(paths)
    ds = qd.read(paths, blocksize="32 KiB")
    before = set(client.scheduler_info()["workers"])
    client.register_plugin(KillAfterFirstParse(), name="kill-after-first-parse")
    try:
        got = ds.compute()
    finally:
        client.unregister_worker_plugin("kill-after-first-parse")
    assert marker.exists()
    client.wait_for_workers(2)
    assert set(client.scheduler_info()["workers"]) != before  # one was replaced
    assert_same_stream(got, want)


def test_convert_command_on_a_scheduler(client, files, tmp_path):
    click_testing = pytest.importorskip("click.testing")
    from quillon.cli._app import cli

    pattern = os.path.join(os.path.dirname(files["generated"][0]), "gen*.stream")
    out = tmp_path / "runs.parquet"
    result = click_testing.CliRunner().invoke(
        cli, ["convert", "--scheduler", client.scheduler.address, "--batch-size", "64K",
               pattern, str(out)])
    assert result.exit_code == 0, result.output
    back = qd.read_parquet(out)
    assert_same_tables(dask.compute(back.observations, back.crystals, back.images),
                       expected(files["generated"]))


def test_graph_grows_linearly_with_partitions(files):
    """Each partition's tables depend on the running totals before them; the graph must hold
    those once, not once per partition (which made a graph quadratic in partitions)."""
    path = files["damaged, empty and generated"][0]
    sizes = {}
    for copies in (1, 4):
        ds = qd.read([path] * copies, blocksize=1)
        sizes[ds.npartitions] = len(pickle.dumps([ds.observations.expr, ds.crystals.expr,
                                                  ds.images.expr, ds._parts]))
    (few, few_bytes), (many, many_bytes) = sorted(sizes.items())
    assert many == 4 * few > 40
    assert many_bytes < 5 * few_bytes  # quadratic: about 16 times


def test_scheduler_queues_parses_and_knows_their_size(client, files):
    """Parse tasks have no dependencies, so the scheduler holds them back until a worker has a
    free thread (root-task queuing), and it counts a parsed partition at its real size."""
    ds = qd.read(files["generated"], blocksize="48 KiB")
    assert ds.npartitions > 2 * sum(client.nthreads().values())
    parts = client.persist(ds._parts)
    try:
        scheduler = client.cluster.scheduler
        keys = [p.key for p in parts]
        client.wait_for_workers(2)
        distributed.wait(parts)
        assert all(scheduler.is_rootish(scheduler.tasks[k]) for k in keys)
        first = parts[0].compute()
        columns = sum(a.nbytes for a in first.columns.values())
        assert scheduler.tasks[keys[0]].nbytes >= columns
    finally:
        del parts


def test_to_parquet_again_leaves_no_stale_part(client, files, tmp_path):
    """A second write into an earlier output replaces it whole (Dask alone keeps old parts);
    a folder that is not an output of quillon is refused; both writers read back alike."""
    out = tmp_path / "out"
    many, few = files["generated"], files["generated"][:1]
    qd.read(many, blocksize="16 KiB").to_parquet(out)
    assert len(os.listdir(out / "observations")) > 10
    qd.read(few, blocksize="256 MiB").to_parquet(out)
    want = expected(few)
    assert_same_tables(dask.compute(*(getattr(qd.read_parquet(out), t) for t in qd.TABLES)), want)
    back = quillon.read_parquet(out)  # the one reader of every writer
    for name in ("crystal_id", "n_refl", "hkl", "I"):
        np.testing.assert_array_equal(back.columns[name], want.columns[name])
    foreign = tmp_path / "foreign"
    (foreign / "observations").mkdir(parents=True)
    (foreign / "observations" / "part.0.parquet").write_text("not ours")
    with pytest.raises(quillon.ForeignFolderError):
        qd.read(few).to_parquet(foreign)
    assert os.listdir(foreign / "observations") == ["part.0.parquet"]


def test_convert_command_on_a_scheduler_twice(client, files, tmp_path):
    click_testing = pytest.importorskip("click.testing")
    from quillon.cli._app import cli

    out = tmp_path / "runs.parquet"
    pattern = os.path.join(os.path.dirname(files["generated"][0]), "gen*.stream")
    for source, size in ((pattern, "16K"), (files["generated"][1], "256M")):
        result = click_testing.CliRunner().invoke(
            cli, ["convert", "--scheduler", client.scheduler.address, "--batch-size", size,
                  source, str(out)])
        assert result.exit_code == 0, result.output
    assert quillon.read_parquet(out).n_crystals == expected(files["generated"][1:2]).n_crystals


@pytest.mark.parametrize("size, nbytes", [("16M", 16_000_000), ("16 MiB", 16 << 20),
                                          ("1.5 kB", 1500), (4096, 4096)])
def test_blocksize_is_read_as_dask_reads_it(size, nbytes):
    assert qd._blocksize(size) == nbytes == (size if isinstance(size, int)
                                             else dask.utils.parse_bytes(size))
