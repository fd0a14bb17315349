from collections.abc import Callable
from typing import Literal, overload

from typing_extensions import Buffer, Never

__version__: str

class _Pybind11Type(type): ...

class PythonInBuf(metaclass=_Pybind11Type):
    """A bytes object lent to the core without copying."""

    def __init__(self, value: bytes, /) -> None: ...

class PythonOutBuf(metaclass=_Pybind11Type):
    """A result of the core, read through the buffer protocol: bytes(result)
    copies it, memoryview(result) gives its signed bytes in place. A failed
    patch holds no result, and reading it raises ValueError."""

    # Instances come only from diff and patch: calling the class raises TypeError.
    def __init__(self, *args: Never, **kwargs: Never) -> None: ...
    def __buffer__(self, flags: int, /) -> memoryview: ...
    def __release_buffer__(self, buffer: memoryview, /) -> None: ...

def diff(old_value: PythonInBuf | bytes, new_value: PythonInBuf | bytes) -> PythonOutBuf: ...
def patch(old_value: PythonInBuf | bytes, diff: PythonInBuf | bytes) -> PythonOutBuf: ...

class ActivityHistory(metaclass=_Pybind11Type):
    """Share of recent wall-clock time spent in compute(method="myers",
    history=...); the busier, the cheaper the search. One history may serve
    many threads at once."""

    def __init__(self, slots: int = 16, bucket_ms: int = 1000) -> None: ...
    @property
    def utilisation(self) -> int:
        """Busy time in the window ending now, 256 per window's worth;
        overlapping calls add up."""
    @property
    def last_quality(self) -> int:
        """Search quality of the call that finished last: 0 (full) to 4."""

# Any C-contiguous buffer of bytes: bytes, bytearray, memoryview, mmap,
# array('B'), numpy uint8. The interpreter lock is released while large
# values are worked on. check=True puts a check record (at most 45 bytes)
# in front of the delta, so that apply refuses a wrong base or damaged bytes.
# Level 6 gives the smallest delta (old and new up to 512 MiB together) and
# calls progress(stage, done, total) now and then: stage "suffix array",
# "longest matches", then "parse"; an exception it raises stops the work.
@overload
def compute(
    old: Buffer,
    new: Buffer,
    *,
    method: Literal["match"] = "match",
    level: int | None = None,
    check: bool = False,
    progress: Callable[[str, int, int], object] | None = None,
) -> bytes: ...
@overload
def compute(
    old: Buffer,
    new: Buffer,
    *,
    method: Literal["myers"],
    search_limit: int = 10000,
    history: ActivityHistory | None = None,
    check: bool = False,
) -> bytes: ...

# check=None verifies a check record when the delta has one, check=True
# also refuses a delta without one, check=False applies without verifying.
def apply(old: Buffer, delta: Buffer, *, max_size: int | None = None, check: bool | None = None) -> bytes: ...

class CheckError(ValueError):
    """Raised by apply when a checked delta does not fit: the old value is
    not the one it was made from, the result is not the one it was made
    for, or check=True and the delta has no check record."""

# The record at the start of delta: its "size" in bytes, "old_size" and
# "old_digest", "new_size" and "new_digest" (XXH3-64); None when there is none.
def check_record(delta: Buffer) -> dict[str, int] | None: ...

class Index(metaclass=_Pybind11Type):
    """The index of one old value, built once for many deltas against it:
    Index(old, level=level).compute(new, check=check) is exactly
    compute(old, new, level=level, check=check). Holds old's buffer for its lifetime; any number of
    threads may compute against one index at once."""

    def __init__(self, old: Buffer, *, level: int | None = None) -> None: ...
    def compute(self, new: Buffer, *, check: bool = False) -> bytes:
        """The delta from the index's old value to 'new', as bytes; check=True
        puts a check record in front, as compute(check=True) does."""
    @property
    def level(self) -> int | None:
        """The level the index was built for (None: the default)."""
    @property
    def nbytes(self) -> int:
        """Bytes of memory the index takes beside 'old'."""
    @property
    def old(self) -> Buffer:
        """The object whose bytes the index holds."""
