"""Types of the compiled module quillon_native (a stream file to NumPy columns and back)."""
import os
from collections.abc import Mapping, Sequence

import numpy as np
import numpy.typing as npt

__all__ = ["PROTOCOL", "__version__", "index_chunks", "parse_chunks", "write_stream"]

PROTOCOL: int
__version__: str

class PanicException(BaseException):
    """A broken invariant inside the module (a bug): not an error of the input."""

def index_chunks(path: str | os.PathLike[str], n_threads: int = 1,
                 max_crystals: int | None = None) -> npt.NDArray[np.int64]: ...
def parse_chunks(
    path: str | os.PathLike[str], chunks: npt.NDArray[np.int64], panel_names: Sequence[str],
    n_threads: int = 1,
) -> tuple[dict[str, np.ndarray], list[str], list[str], dict[str, tuple[int, int]]]: ...
def write_stream(
    path: str | os.PathLike[str], arrays: Mapping[str, np.ndarray], filenames: Sequence[str],
    events: Sequence[str], panel_names: Sequence[str], lattice_type: str | None,
    centering: str | None, unique_axis: str | None, header: str, n_threads: int = 1,
    images_per_batch: int = 1024,
) -> None: ...
