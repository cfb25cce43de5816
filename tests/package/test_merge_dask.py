"""Merging on a Dask LocalCluster: partial sums reduced on the workers, as in one process."""
from __future__ import annotations

import numpy as np
import pytest
import quillon

pytest.importorskip("gemmi")
distributed = pytest.importorskip("distributed")
qd = pytest.importorskip("quillon.dask")


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.mark.parametrize("symmetry", ["4/mmm", "422", "-1"])
@pytest.mark.parametrize("blocksize", ["150 KiB", "700 KiB"])
def test_merge_on_the_cluster_equals_one_process(client, sample, symmetry, blocksize):
    ds = qd.read(sample, blocksize=blocksize)
    assert ds.npartitions > 2
    local = quillon.merge(sample, symmetry)
    merged = ds.merge(symmetry)
    assert len(merged) == len(local) > 1000
    np.testing.assert_array_equal(merged.table[["h", "k", "l", "n"]], local.table[["h", "k", "l", "n"]])
    np.testing.assert_allclose(merged.table[["I", "sigma", "d"]], local.table[["I", "sigma", "d"]],
                               rtol=1e-9)


@pytest.mark.parametrize("scale", [True, False])
def test_statistics_on_the_cluster_equal_one_process(client, sample, scale):
    ds = qd.read(sample, blocksize="150 KiB")
    local = quillon.statistics(sample, "mmm", shells=6, scale=scale)
    remote = ds.statistics("mmm", shells=6, scale=scale)
    assert remote.scale == pytest.approx(local.scale, rel=1e-9)
    np.testing.assert_allclose(remote.shells.to_numpy(dtype=float), local.shells.to_numpy(dtype=float),
                               rtol=1e-9)
    np.testing.assert_allclose(remote.overall.to_numpy(dtype=float), local.overall.to_numpy(dtype=float),
                               rtol=1e-9)
