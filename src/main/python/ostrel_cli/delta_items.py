"""Reading a delta item by item, the way ostrel_core.delta.patch reads it.

A delta is a run of CBOR items with no wrapper:

    match   = uint offset, uint length   copy old[offset, offset + length)
    insert  = byte string (or text)      append its content
    other   = anything else              ignored

The core reads one item head at a time, so the heads of arrays, maps and
tags are skipped on their own and what they would contain is read as
items of the delta. Only the low 32 bits of a match's integers count.
Reserved codes are one byte long; in major type 0 they read as the
integer 0. Where the core would stop quietly at an item cut short, or
reject a match without its length, this reader raises MalformedDelta.
"""

from __future__ import annotations

from dataclasses import dataclass

NO_CHANGE = b"\xf6"

_UINT, _NEGINT, _BYTES, _TEXT, _ARRAY, _MAP, _TAG, _SIMPLE = range(8)

_IGNORED_NAMES = {
    _NEGINT: "negative integer",
    _ARRAY: "array head",
    _MAP: "map head",
    _TAG: "tag head",
    _SIMPLE: "simple value or float",
}


class MalformedDelta(ValueError):
    pass


@dataclass(frozen=True)
class Match:
    at: int
    offset: int
    length: int


@dataclass(frozen=True)
class Insert:
    at: int
    content: bytes


@dataclass(frozen=True)
class Ignored:
    at: int
    encoded: bytes

    @property
    def name(self) -> str:
        code = self.encoded[0]
        major, info = code >> 5, code & 0x1F
        if code == 0xFF:
            return "break"
        if info == 31 and major in (_BYTES, _TEXT, _ARRAY, _MAP):
            return "indefinite-length head"
        if info >= 28:
            return "reserved code"
        return _IGNORED_NAMES[major]


@dataclass(frozen=True)
class _Head:
    end: int
    major: int
    value: int | None  # integer value; None for items without one
    content: bytes | None  # string content; None for headers only


def _argument_size(major: int, info: int) -> int:
    """Bytes of argument after the initial byte, as the core reads them."""
    if major == _TAG:
        return 0  # the tag number, if any, is read as the next item
    if major == _SIMPLE:
        return {25: 2, 26: 4, 27: 8}.get(info, 0)
    return {24: 1, 25: 2, 26: 4, 27: 8}.get(info, 0)


def _read_head(delta: bytes, at: int) -> _Head:
    code = delta[at]
    major, info = code >> 5, code & 0x1F
    size = _argument_size(major, info)
    end = at + 1 + size
    if end > len(delta):
        raise MalformedDelta(f"the item at byte {at} is cut short")
    argument = info if info < 24 else int.from_bytes(delta[at + 1 : end], "big")
    if info >= 28:  # reserved codes, indefinite heads, break: the byte alone
        return _Head(end, major, 0 if major == _UINT else None, None)
    if major == _UINT:
        return _Head(end, major, argument, None)
    if major in (_BYTES, _TEXT) and info != 31:
        if argument > len(delta) - end:
            raise MalformedDelta(f"the string at byte {at} runs past the end of the delta")
        return _Head(end + argument, major, None, delta[end : end + argument])
    return _Head(end, major, None, None)


def read_items(delta: bytes, start: int = 0):
    """Yields the Match, Insert and Ignored items of delta in order, from
    the byte start on."""
    at = start
    while at < len(delta):
        head = _read_head(delta, at)
        if head.major == _UINT:
            if head.end == len(delta):
                raise MalformedDelta(f"the match at byte {at} has no length")
            length = _read_head(delta, head.end)
            if length.major != _UINT:
                raise MalformedDelta(f"the match at byte {at} has no length")
            yield Match(at, head.value & 0xFFFFFFFF, length.value & 0xFFFFFFFF)
            at = length.end
            continue
        if head.content is not None:
            yield Insert(at, head.content)
        else:
            yield Ignored(at, delta[at : head.end])
        at = head.end
