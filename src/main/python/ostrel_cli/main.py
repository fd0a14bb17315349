"""ostrel: binary deltas between files, and JSON to CBOR and back.

    ostrel diff OLD NEW [-o DELTA] [--method match|myers] [--level N] [--no-check] [--stats]
    ostrel patch OLD DELTA [-o NEW] [--max-size SIZE] [--stats]
    ostrel cbor [FILE] [--definite | --canonical] [--max-depth N] [--hex]
    ostrel cbor --decode [FILE] [--max-depth N] [--hex]
    ostrel inspect DELTA

"-" names standard input or standard output; files are written whole or
not at all (to a temporary file beside them, renamed into place). Exit
status: 0 on success, 1 when an input cannot be read, a delta is malformed
or does not fit, or a value cannot be encoded or decoded, 2 for a command
line that makes no sense.
"""

import argparse
import base64
import datetime
import decimal
import errno
import fractions
import json
import math
import os
import re
import stat
import sys
import tempfile
import time
import uuid

from ostrel_core import cbor, delta

from ostrel_cli.delta_items import NO_CHANGE, Insert, MalformedDelta, Match, read_items

STDIO = "-"


class Failure(Exception):
    """A reason to stop with exit status 1; the message is for the user."""


def read_input(path):
    if path == STDIO:
        if sys.stdin is None:
            raise Failure("standard input is closed")
        return sys.stdin.buffer.read()
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError as e:
        raise Failure(f"cannot read {path}: {e.strerror}") from None


def write_output(path, data):
    if path == STDIO:
        if sys.stdout is None:
            raise Failure("standard output is closed")
        sys.stdout.buffer.write(data)
        sys.stdout.buffer.flush()
        return
    try:
        write_whole(path, data)
    except OSError as e:
        raise Failure(f"cannot write {path}: {e.strerror}") from None


def write_whole(path, data):
    """Writes data to a temporary file in path's folder and renames it to
    path, so that path holds either its old content or all of data, never
    a part. The file keeps the permissions of the one it replaces, and one
    that may not be written is refused as open() would refuse it. Devices
    and pipes (/dev/null, a named pipe) are written in place."""
    target = os.path.realpath(path)
    try:
        mode = os.stat(target).st_mode
    except FileNotFoundError:
        mode = None
    if mode is not None and not stat.S_ISREG(mode):
        with open(target, "wb") as f:
            f.write(data)
        return
    if mode is not None and not os.access(target, os.W_OK):  # a rename would replace it all the same
        raise PermissionError(errno.EACCES, os.strerror(errno.EACCES), path)
    folder, name = os.path.split(target)
    descriptor, temporary = tempfile.mkstemp(prefix=f".{name}.", suffix=".part", dir=folder)
    try:
        with os.fdopen(descriptor, "wb") as f:
            f.write(data)
            f.flush()
            os.fsync(f.fileno())
        if mode is None:
            umask = os.umask(0)
            os.umask(umask)
            os.chmod(temporary, 0o666 & ~umask)
        else:
            os.chmod(temporary, stat.S_IMODE(mode))
        os.replace(temporary, target)
    except BaseException:
        os.unlink(temporary)
        raise


def one_stdin(*paths):
    if paths.count(STDIO) > 1:
        raise Failure("only one input can be standard input")


def shown(path):
    return "(standard input)" if path == STDIO else path


def stat_line(label, size, path=""):
    return f"{label:<6}{size:>12} bytes  {path}".rstrip()


# Old and new bytes from which level 6 takes about a second or more here
# (some 4.5 MB/s of old and new together on the benchmark's 2-core machine).
PROGRESS_FROM = 4 << 20


def show_progress(stage, done, total):
    """Level 6's progress on one line of standard error, cleared at the end."""
    if stage == "parse" and done == total:
        sys.stderr.write("\r\x1b[K")
    else:
        sys.stderr.write(f"\rlevel 6: {stage} {100 * done // max(total, 1):3d} %\x1b[K")
    sys.stderr.flush()


def cmd_diff(args):
    one_stdin(args.old, args.new)
    old, new = read_input(args.old), read_input(args.new)
    options = {"method": args.method, "check": not args.no_check}
    if args.level is not None:
        options["level"] = args.level
    if args.level == 6 and len(old) + len(new) >= PROGRESS_FROM and sys.stderr is not None and sys.stderr.isatty():
        options["progress"] = show_progress
    start = time.perf_counter()
    try:
        result = delta.compute(old, new, **options)
    except ValueError as e:  # a level out of range, or a value the 32-bit positions of a delta cannot reach
        raise Failure(str(e).replace("compute() argument 'level'", "--level").replace("compute(): ", "")) from None
    elapsed = time.perf_counter() - start
    write_output(args.output, result)
    if args.stats:
        share = 100 * len(result) / len(new) if new else 0.0
        print(stat_line("old", len(old), shown(args.old)), file=sys.stderr)
        print(stat_line("new", len(new), shown(args.new)), file=sys.stderr)
        print(stat_line("delta", len(result), f"({share:.2f} % of new)"), file=sys.stderr)
        print(f"diff  {elapsed * 1e3:12.3f} ms", file=sys.stderr)


def cmd_patch(args):
    one_stdin(args.old, args.delta)
    old, diff = read_input(args.old), read_input(args.delta)
    start = time.perf_counter()
    try:
        result = delta.apply(old, diff, max_size=args.max_size)
    except ValueError as e:  # malformed, longer than --max-size, or its check record does not fit
        message = str(e).removeprefix("apply(): ")
        raise Failure(message.replace("max_size=", "--max-size ")) from None
    elapsed = time.perf_counter() - start
    write_output(args.output, result)
    if args.stats:
        print(stat_line("old", len(old), shown(args.old)), file=sys.stderr)
        print(stat_line("delta", len(diff), shown(args.delta)), file=sys.stderr)
        print(stat_line("new", len(result)), file=sys.stderr)
        print(f"patch {elapsed * 1e3:12.3f} ms", file=sys.stderr)


def unique_keys(pairs):
    """A JSON object as a dict, refusing a key given twice: the second
    value would silently replace the first."""
    result = {}
    for key, value in pairs:
        if key in result:
            raise ValueError(f"duplicate key {key!r} in an object")
        result[key] = value
    return result


# Messages of cbor.dumps, put in terms of the command line.
RANGE_MESSAGE = "dumps received an integer out of range for both int64_t and uint64_t"
DEPTH_MESSAGE = "Exceeded recursion limit:"
CAST_MESSAGE = "Unable to cast Python instance"


def encoding_failure(message):
    if message.startswith(RANGE_MESSAGE):
        number = message[len(RANGE_MESSAGE):]
        return f"the integer {number} is outside -2**63 .. 2**64-1"
    if message.startswith(DEPTH_MESSAGE):
        return f"the value is nested deeper than --max-depth {message[len(DEPTH_MESSAGE):]}"
    if message.startswith(CAST_MESSAGE):  # the only JSON value dumps cannot take
        return "a string holds a lone surrogate, which has no UTF-8 form"
    return message


def as_json(value):
    """A decoded CBOR item as a value json can write, by the rule of
    DECODE_RULE."""
    if isinstance(value, bytes):
        return base64.urlsafe_b64encode(value).rstrip(b"=").decode("ascii")
    if isinstance(value, float):
        return value if math.isfinite(value) else None
    if isinstance(value, (list, tuple)):
        return [as_json(item) for item in value]
    if isinstance(value, dict):
        out = {}
        for key, item in value.items():
            name = as_json(key)
            if not isinstance(name, str):
                name = json.dumps(name, ensure_ascii=False, separators=(",", ":"))
            if name in out:
                raise Failure(f"two keys of one map become the same JSON name {name!r}")
            out[name] = as_json(item)
        return out
    if isinstance(value, (set, frozenset)):
        return [as_json(item) for item in value]
    if isinstance(value, (datetime.date, decimal.Decimal, fractions.Fraction, uuid.UUID)):
        return value.isoformat() if isinstance(value, datetime.date) else str(value)
    if isinstance(value, cbor.CBORTag):
        return as_json(value.value)
    if isinstance(value, (cbor.CBORSimpleValue, cbor.UndefinedType)):
        return None
    return value  # int, str, bool, None


DECODE_RULE = (
    "Byte strings become base64url text without padding, NaN and the infinities, undefined and "
    "other simple values become null, dates and times (tags 0, 1, 100, 1004) ISO 8601 text, "
    "decimal fractions, rational numbers and UUIDs (tags 4, 30, 37) their text (\"1.5\", "
    "\"1/3\"), sets (tag 258) arrays, other tags their item (bignums are numbers), and map keys "
    "that are not text become the JSON text of their value (1 becomes \"1\")."
)


def cmd_cbor_decode(args):
    if args.definite or args.canonical:
        option = "--definite" if args.definite else "--canonical"
        raise Failure(f"{option} is for encoding; it has no meaning with --decode")
    data = read_input(args.file)
    if args.hex:
        try:
            data = bytes.fromhex(data.decode("ascii"))
        except ValueError:
            raise Failure("invalid hexadecimal input") from None
    try:
        limit = {} if args.max_depth is None else {"max_depth": args.max_depth or sys.maxsize}
        value = cbor.loads(data, **limit)
    except cbor.CBORDecodeError as e:
        raise Failure(f"invalid CBOR: {e}") from None
    try:
        text = json.dumps(as_json(value), ensure_ascii=False, allow_nan=False)
    except RecursionError:
        raise Failure("the item is nested too deeply to be written as JSON") from None
    write_output(STDIO, (text + "\n").encode("utf-8"))


def cmd_cbor(args):
    if args.decode:
        return cmd_cbor_decode(args)
    text = read_input(args.file)
    try:
        value = json.loads(text, object_pairs_hook=unique_keys)
    except RecursionError:
        raise Failure("invalid JSON: nested too deeply") from None
    except ValueError as e:  # JSONDecodeError, UnicodeDecodeError, digit limit
        raise Failure(f"invalid JSON: {e}") from None
    if args.canonical:
        try:
            encoded = cbor.encode(value, canonical=True, max_depth=args.max_depth or sys.maxsize)
        except ValueError as e:  # a lone surrogate, the depth limit
            raise Failure(f"cannot encode as CBOR: {str(e).removeprefix('encode(): ')}") from None
        write_output(STDIO, (encoded.hex() + "\n").encode() if args.hex else encoded)
        return
    try:
        encoded = cbor.dumps(value, indefinite=not args.definite, max_depth=args.max_depth or 0)
    except RuntimeError as e:
        raise Failure(f"cannot encode as CBOR: {encoding_failure(str(e))}") from None
    write_output(STDIO, (encoded.hex() + "\n").encode() if args.hex else encoded)


def preview(content, limit=24):
    return repr(content[:limit]) + ("..." if len(content) > limit else "")


def show_record(record):
    print(f"check record: {record['size']} bytes")
    print(f"  old value: {record['old_size']} bytes, XXH3-64 {record['old_digest']:016x}")
    print(f"  new value: {record['new_size']} bytes, XXH3-64 {record['new_digest']:016x}")


def cmd_inspect(args):
    diff = read_input(args.delta)
    try:
        record = delta.check_record(diff)
    except ValueError as e:
        raise Failure("malformed delta: " + str(e).removeprefix("check_record(): malformed delta ")) from None
    start = record["size"] if record else 0
    if record:
        show_record(record)
    if diff[start:] == NO_CHANGE:
        print("no-change delta (1 byte): the new value is a copy of the old value")
        return
    try:
        items = list(read_items(diff, start))
    except MalformedDelta as e:
        raise Failure(f"malformed delta: {e}") from None
    # One byte string and nothing else: the whole new value.
    replacement = len(items) == 1 and isinstance(items[0], Insert) and diff[start] >> 5 == 2
    # A checked no-change delta: the match of the whole old value.
    no_change = record is not None and record["old_digest"] == record["new_digest"] and items == [
        Match(start, 0, record["old_size"])]
    shape = "replacement" if replacement else "no-change" if no_change else "ordinary"
    print(f"delta: {len(diff)} bytes, {shape}")
    width = max(2, len(str(len(diff))))
    print(f"{'at':>{width}}  item")
    copied = inserted = 0
    for item in items:
        if isinstance(item, Match):
            copied += item.length
            details = f"match    offset {item.offset}, length {item.length}"
        elif isinstance(item, Insert):
            inserted += len(item.content)
            details = f"insert   {len(item.content)} bytes  {preview(item.content)}"
        else:
            details = f"ignored  {item.name}: {item.encoded.hex()}"
        print(f"{item.at:>{width}}  {details}")
    print(f"item count: {len(items)}")
    print(f"bytes copied: {copied}")
    print(f"bytes inserted: {inserted}")
    print(f"new value: {copied + inserted} bytes")


def max_depth(text):
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value < 2**32:
        raise argparse.ArgumentTypeError(f"expected an integer from 0 to {2**32 - 1}, got {text!r}")
    return value


SIZE_UNITS = {"": 1, "k": 1 << 10, "m": 1 << 20, "g": 1 << 30}


def size(text):
    """A byte count, optionally with k, M or G (powers of 1024)."""
    match = re.fullmatch(r"(\d+)([kmg]?)(?:i?b)?", text.strip().lower())
    if not match:
        raise argparse.ArgumentTypeError(f"expected a byte count such as 65536, 64k, 10M or 2G, got {text!r}")
    return int(match[1]) * SIZE_UNITS[match[2]]


def parser():
    top = argparse.ArgumentParser(
        prog="ostrel",
        description="Binary deltas between files, and JSON to CBOR and back. "
        "'-' names standard input or standard output.",
        epilog="Exit status: 0 on success, 1 on a failure, 2 for a wrong command line.",
    )
    commands = top.add_subparsers(dest="command", required=True, metavar="COMMAND")

    p = commands.add_parser(
        "diff", help="write the delta that turns OLD into NEW",
        description="Write the delta that turns OLD into NEW, with a check record in front "
        "(at most 45 bytes: the sizes and XXH3-64 digests of OLD and NEW) so that patch refuses "
        "a wrong OLD or damaged bytes instead of writing a wrong file. The default method matches "
        "against an index of OLD; --method myers gives the bounded Myers search's delta. With "
        "--no-check, identical files of at least 2 bytes give the one-byte no-change delta f6.")
    p.add_argument("old", metavar="OLD", help="the old file, or - for standard input")
    p.add_argument("new", metavar="NEW", help="the new file, or - for standard input")
    p.add_argument("-o", "--output", metavar="DELTA", default=STDIO,
                   help="where to write the delta (default: standard output)")
    p.add_argument("--method", choices=("match", "myers"), default="match",
                   help="how the delta is found (default: match)")
    p.add_argument("--level", metavar="N", type=int,
                   help="effort of --method match, from 1 (fastest) to 5, default: chosen by the "
                   "values; 6 gives the smallest delta there is (old and new up to 512 MiB together; its "
                   "progress goes to standard error when that is a terminal and the files are large)")
    p.add_argument("--no-check", action="store_true",
                   help="write the plain delta, without the check record (the bytes of "
                   "ostrel_core.delta.compute)")
    p.add_argument("--stats", action="store_true",
                   help="print the sizes and the time taken to standard error")
    p.set_defaults(run=cmd_diff)

    p = commands.add_parser(
        "patch", help="apply DELTA to OLD and write the new file",
        description="Apply DELTA to OLD and write the new file. The no-change delta f6 "
        "gives a copy of OLD. A delta that does not apply to OLD is refused, with the byte "
        "where it goes wrong; a delta with a check record is also refused when OLD is not the "
        "file it was made from or the result is not the file it was made for. On any failure "
        "nothing is written: the new file is written to a temporary file beside it and renamed "
        "into place only when whole.")
    p.add_argument("old", metavar="OLD", help="the old file, or - for standard input")
    p.add_argument("delta", metavar="DELTA", help="the delta, or - for standard input")
    p.add_argument("-o", "--output", metavar="NEW", default=STDIO,
                   help="where to write the new file (default: standard output)")
    p.add_argument("--max-size", metavar="SIZE", type=size,
                   help="refuse a delta that would build more than SIZE bytes (such as 64k, 10M, "
                   "2G), before any memory is taken for it")
    p.add_argument("--stats", action="store_true",
                   help="print the sizes and the time taken to standard error")
    p.set_defaults(run=cmd_patch)

    p = commands.add_parser(
        "cbor", help="encode a JSON document as one CBOR item, or decode one with --decode",
        description="Encode a JSON document as one CBOR item, written to standard output. "
        "Arrays and objects are written with indefinite length unless --definite is given; "
        "--canonical writes the deterministic form (RFC 8949 section 4.2.1), the same bytes for "
        "the same data whatever the order of its keys; "
        "a key given twice in one object is refused. With --decode, read one CBOR item and "
        "write it as JSON: " + DECODE_RULE)
    p.add_argument("file", metavar="FILE", nargs="?", default=STDIO,
                   help="the JSON document, or the CBOR item with --decode (default: standard input)")
    p.add_argument("--definite", action="store_true",
                   help="write arrays and maps with their item counts")
    p.add_argument("--canonical", action="store_true",
                   help="write the deterministic form of RFC 8949 section 4.2.1: item counts, "
                   "shortest forms, map keys sorted by their encoded bytes, integers of any size")
    p.add_argument("--max-depth", metavar="N", type=max_depth, default=None,
                   help="refuse values nested deeper than N levels (0: no limit; default: no limit "
                   "when encoding, 1500 when decoding)")
    p.add_argument("--hex", action="store_true",
                   help="write the CBOR as hexadecimal text (with --decode: read it as such)")
    p.add_argument("--decode", action="store_true", help="read one CBOR item and write it as JSON")
    p.set_defaults(run=cmd_cbor)

    p = commands.add_parser(
        "inspect", help="list the items of a delta and their totals",
        description="List the check record of a delta, if it has one (the sizes and digests of "
        "the old and the new value), then its items (matches copied from the old value, inserted "
        "bytes, ignored items) with the byte offset of each, then the item count, the bytes "
        "copied and inserted and the size of the new value.")
    p.add_argument("delta", metavar="DELTA", help="the delta, or - for standard input")
    p.set_defaults(run=cmd_inspect)
    return top


def main(argv=None):
    top = parser()
    args = top.parse_args(argv)
    if args.command == "diff" and args.method == "myers" and args.level is not None:
        top.error("diff: --level is for --method match")
    try:
        args.run(args)
    except Failure as e:
        print(f"ostrel {args.command}: {e}", file=sys.stderr)
        return 1
    except MemoryError:
        print(f"ostrel {args.command}: out of memory", file=sys.stderr)
        return 1
    except BrokenPipeError:
        # The reader went away; keep the interpreter from failing again
        # when it flushes standard output on exit.
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
        return 1
    except KeyboardInterrupt:
        return 130
    return 0
