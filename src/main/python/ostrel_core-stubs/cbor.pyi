from typing import Any, Protocol, SupportsIndex, SupportsInt, TypeAlias

__version__: str

class _SupportsBool(Protocol):
    def __bool__(self) -> bool: ...

# What dumps takes: the scalars it writes as themselves, the containers it
# walks (their items, keys and values follow the same rules), bytearray
# (written as a text string), and any other object that converts to an
# integer or a truth value.
_Value: TypeAlias = (
    bool
    | int
    | float
    | str
    | bytes
    | bytearray
    | None
    | list[Any]
    | tuple[Any, ...]
    | dict[Any, Any]
    | SupportsIndex
    | SupportsInt
    | _SupportsBool
)

def dumps(value: _Value, indefinite: bool = True, max_depth: int = 0) -> bytes: ...
