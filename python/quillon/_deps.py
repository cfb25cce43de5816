"""Optional dependencies, imported on first use with an error that names the extra."""
from __future__ import annotations

import importlib
from types import ModuleType

# Which extra of the distribution brings each optional module.
_EXTRA = {"pandas": "tables", "pyarrow": "tables", "pyarrow.parquet": "tables", "rich": "all",
          "gemmi": "merge"}


def require(module: str) -> ModuleType:
    """Import ``module`` or raise ImportError saying which extra installs it.

    >>> require("numpy").__name__
    'numpy'
    """
    try:
        return importlib.import_module(module)
    except ImportError as exc:
        extra = _EXTRA.get(module, "all")
        raise ImportError(
            f"{module} is needed for this: pip install \"quillon_native[{extra}]\"") from exc
