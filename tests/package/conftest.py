"""Fixtures of the `quillon` package tests: small generated streams, made once per session."""
from __future__ import annotations

import pathlib
import sys

import pytest

ROOT = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "bench"))
sys.path.insert(0, str(ROOT / "tests"))

import gen_stream  # noqa: E402


@pytest.fixture(scope="session")
def sample(tmp_path_factory) -> pathlib.Path:
    """A generated stream of about 2 MB with geometry in its header (same every session)."""
    path = tmp_path_factory.mktemp("sample") / "sample.stream"
    gen_stream.generate(path, 2 << 20, seed=3)
    return path
