"""The examples in the package's docstrings run and print what they show."""
from __future__ import annotations

import doctest
import importlib

import numpy as np
import pytest

import quillon


@pytest.mark.parametrize("name", ["_deps", "_sizes", "_geometry", "_tables", "_stream", "_read",
                                  "_parquet"])
def test_docstring_examples(name):
    module = importlib.import_module(f"quillon.{name}")
    result = doctest.testmod(module, extraglobs={"quillon": quillon, "np": np})
    assert result.failed == 0 and result.attempted > 0
