from collections.abc import Callable
from typing import Any, Literal, Protocol, SupportsIndex, SupportsInt, final

from typing_extensions import Buffer, Self, TypeAlias

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

# What encode takes as itself: the builtin scalars and containers, any
# bytes-like object, sets, dates and times, numbers of the standard library,
# UUIDs and the CBOR types of this module. Anything else goes to default.
def encode(
    value: object,
    /,
    *,
    default: Callable[[Any], object] | None = None,
    canonical: bool = False,
    max_depth: int = 1500,
) -> bytes: ...

class CBORDecodeError(ValueError): ...

@final
class CBORTag:
    @property
    def tag(self) -> int: ...
    @property
    def value(self) -> Any: ...
    def __new__(cls, tag: int, value: Any) -> Self: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class CBORSimpleValue:
    @property
    def value(self) -> int: ...
    def __new__(cls, value: int) -> Self: ...
    def __eq__(self, other: object) -> bool: ...
    def __hash__(self) -> int: ...

@final
class UndefinedType:
    def __bool__(self) -> Literal[False]: ...

undefined: UndefinedType

# What loads returns: int, float, str, bytes, bool, None, list, dict (with
# tuples for arrays inside map keys), datetime, date, Decimal, Fraction,
# UUID, set (frozenset inside map keys), CBORTag, CBORSimpleValue, undefined.
def loads(data: Buffer, /, *, max_depth: int = 1500) -> Any: ...
