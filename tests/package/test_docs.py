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


def test_version_is_the_installed_distribution_and_costs_no_import():
    import subprocess
    import sys
    from importlib.metadata import version
    assert quillon.__version__ == version("quillon_native")
    with pytest.raises(AttributeError, match="no attribute 'nonsense'"):
        quillon.nonsense  # noqa: B018
    # importing the package leaves importlib.metadata alone (it costs every command ~30 ms)
    code = "import sys, quillon; print('importlib.metadata' in sys.modules)"
    assert subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True).stdout.strip() == "False"
