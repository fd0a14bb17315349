#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into fuzz/corpus/<target>/.

Each seed is a small meaningful input laid out as its target reads it
(see the comment at the top of each *_fuzz.cpp). The output is
deterministic: rerunning the script rewrites the same files, and files
no longer produced are removed.

    python3 fuzz/make_seeds.py
"""
import os
import random
import shutil
import struct

CORPUS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus")


def u16(n):
    return struct.pack("<H", n)


def u32(n):
    return struct.pack("<I", n)


def head(major, v):
    """CBOR head in shortest form."""
    if v < 24:
        return bytes([major << 5 | v])
    for info, fmt in ((24, ">B"), (25, ">H"), (26, ">I"), (27, ">Q")):
        if v < 1 << (8 * struct.calcsize(fmt)):
            return bytes([major << 5 | info]) + struct.pack(fmt, v)
    raise ValueError(v)


def bstr(b):
    return head(2, len(b)) + b


def match(offset, length):
    return head(0, offset) + head(0, length)


def h(text):
    return bytes.fromhex(text)


# --- CBOR items: every head width, the simple values, floats of each
# width, truncated items, reserved and unimplemented codes.
CBOR_ITEMS = {
    "uint_widths": h("00 17 1818 18ff 190100 19ffff 1a00010000 1affffffff 1b0000000100000000 1a000f4240"),
    "negint_widths": h("20 37 3818 38ff 390100 3b7fffffffffffffff 3bffffffffffffffff 3805"),
    "byte_strings": h("40") + bstr(bytes(range(24))) + h("5f 4161 ff"),
    "text_strings": h("63616263 7f 6161 ff 60"),
    "containers": h("80 9818 9f ff a1 0102 bf ff 820102 9a00000002 0102"),
    "simple_values": h("f4 f5 f6 f7 ff"),
    "floats_half": h("f90000 f98000 f93c00 f93e00 f9c400 f97bff f90400 f90001 f97c00 f9fc00 f97e00"),
    "floats_single": h("fa477fe100 fa47800000 fa47c35000 fa33800000 fa4b800000 fa7f7fffff"),
    "floats_double": h("fb4170000010000000 fb3fb999999999999a fb7e37e43c8800759c"),
    "dumps_list": h("9f 01 f93e00 6161 ff"),
    "tag_then_negint": h("d820"),
    "tag_with_argument": h("d9 0102 c1 1a00000001"),
    "reserved_codes": h("1c 3d 5e 7c 9c bc dc fc"),
    "unimplemented_codes": h("e0 f3 f8 20"),
    "cut_uint8": h("18"),
    "cut_string": h("4261"),
    "cut_negint": h("3901"),
    "cut_float": h("f93c"),
    "cut_long_string": h("5b8000000000000005") + b"abcde",
    "cut_string_uint32": h("5affffffff") + b"x",
}

# --- Whole data items for the reader: a nesting limit byte, then the item.
DECODE_ITEMS = {
    "uint": h("0a"), "uint64": h("1bffffffffffffffff"), "negint": h("3903e7"),
    "text": h("6449455446"), "text_utf8": h("62c3bc"), "bytes": h("4401020304"),
    "chunked_bytes": h("5f42010243030405ff"), "chunked_text": h("7f657374726561646d696e67ff"),
    "array": h("8301820203820405"), "indefinite_array": h("9f018202039f0405ffff"),
    "map": h("a201020304"), "indefinite_map": h("bf61610161629f0203ffff"),
    "tags": h("c249010000000000000000 "), "nested_tags": h("d82076687474703a2f2f7777772e6578616d706c652e636f6d"),
    "floats": h("83f97e00fa7f800000fb3ff199999999999a"), "simple": h("84f4f5f6f7"),
    "two_byte_simple": h("f8ff"), "deep": h("81" * 40 + "00"),
    "dumps_record": h("bf626964016475736572656265746131f9 3e00ff"),
    "trailing": h("0000"), "odd_map": h("bf01ff"), "bad_chunk": h("5f6161ff"),
    "bad_utf8": h("62c0af"), "long_count": h("9bffffffffffffffff00"),
}


# --- Deltas against old values: (old value, delta).
OLD = b"abcdefgh"
DELTAS = {
    "match_insert_match": (OLD, h("00 03 42 5859 03 05")),
    "empty_byte_string": (OLD, h("40")),
    "empty_delta": (OLD, b""),
    "prefix_match": (b"abcdef", h("00 03")),
    "lone_integer": (OLD, h("05")),
    "integer_then_string": (OLD, h("01 4161")),
    "negint_skipped": (OLD, h("20 43 78797a")),
    "text_string": (OLD, h("63 616263")),
    "cut_string": (OLD, h("43 6162")),
    "replacement": (OLD, bstr(b"something else entirely")),
    "no_change": (OLD, h("f6")),
    "indefinite_chunks": (b"abcdef", h("5f 4161 ff 63 626364 00 06 20")),
    "match_past_end": (b"abc", h("00 09")),
    "offset_past_end": (b"abc", h("04 00")),
    "wide_heads": (bytes(300), h("190100 18 2c 1a00000000 1901 2c")),
    "nine_byte_heads": (OLD, h("1b0000000100000000 02 00 1b0000000000000003")),
    "skipped_items": (OLD, h("82 0102 a1 00 01 d8 20 f93c00 f7 fb3fb999999999999a 9f ff")),
    "overlapping_matches": (OLD, h("00 08 02 04 02 04 07 01")),
    "tag_argument_then_integer": (OLD, h("d8 00 02 d9 0001 41 61")),
    "reserved_heads": (OLD, h("00 02 1c 3f 5c df fc")),
    "simple_value_argument": (OLD, h("f8 20 00 01")),
}

# --- Value pairs for the diff targets.
rng = random.Random(20240611)


def random_bytes(n, alphabet=256):
    return bytes(rng.randrange(alphabet) for _ in range(n))


def substituted(value, count):
    out = bytearray(value)
    for _ in range(count):
        out[rng.randrange(len(out))] = rng.randrange(256)
    return bytes(out)


def runs_edited(value, count):
    out = bytearray(value)
    for _ in range(count):
        at = rng.randrange(len(out))
        if rng.randrange(2):
            del out[at:at + rng.randrange(1, 40)]
        else:
            out[at:at] = random_bytes(rng.randrange(1, 40))
    return bytes(out)


base = random_bytes(700)
repeated = b"a" * 600
alternating = b"".join(bytes([65 + i % 2]) * (1 + i % 7) for i in range(150))
PAIRS = {
    "insert_middle": (b"abcdefgh", b"abcXYdefgh"),
    "identical": (b"abcdefgh", b"abcdefgh"),
    "identical_one_byte": (b"a", b"a"),
    "both_empty": (b"", b""),
    "nothing_in_common": (b"abc", b"xyz"),
    "new_empty": (b"abc", b""),
    "old_empty": (b"", b"abcdef"),
    "prefix_of_old": (b"abcdef", b"abc"),
    "prefix_and_suffix": (b"abcdefghij", b"abcdXYZhij"),
    "substitutions": (base, substituted(base, 10)),
    "runs_inserted_deleted": (base, runs_edited(base, 12)),
    "unrelated": (random_bytes(500), random_bytes(500)),
    "repeated_bytes_few_changes": (repeated, substituted(repeated, 4)),
    "alternating_runs": (alternating, runs_edited(alternating, 6)),
    "small_alphabet": (random_bytes(600, 4), random_bytes(600, 4)),
    "moved_block": (base[:250] + base[500:] + base[250:500], base),
}


def roundtrip_seeds():
    seeds = {}
    for name, (old, new) in PAIRS.items():
        for selector in range(6):
            label = "driver" if selector == 5 else "quality%d" % selector
            seeds["%s_%s" % (name, label)] = bytes([selector]) + u16(len(old)) + old + new
    return seeds


def match_seeds():
    seeds = {}
    for name, (old, new) in PAIRS.items():
        for level in range(0, 7):  # the first byte is the level; 0 the default
            label = "default" if level == 0 else "level%d" % level
            seeds["%s_%s" % (name, label)] = bytes([level]) + u16(len(old)) + old + new
    # A text revision: the kind of pair the matcher is for.
    text = b"".join(b"entry %d: value %d\n" % (i, i * 7 % 13) for i in range(120))
    edited = text.replace(b"value 3", b"value 30").replace(b"entry 5", b"entry five")
    seeds["text_revision"] = bytes([2]) + u16(len(text)) + text + edited
    return seeds


def check_seeds():
    # generator (0 search, 1-5 levels) + 6 * corruption (0 none, 1 bit
    # flip, 2 changed byte, 3 cut), position, value, then the pair
    seeds = {}
    for name, (old, new) in PAIRS.items():
        for corruption, label in enumerate(("intact", "bit_flip", "changed_byte", "cut")):
            generator = (len(seeds) % 6)
            position = 7 * len(seeds) + 3
            seeds["%s_%s" % (name, label)] = (bytes([generator + 6 * corruption]) + u16(position) + u16(5)
                                              + u16(len(old)) + old + new)
    return seeds


def limits_seeds():
    # quality, search limit, storage limit, old offset, new offset
    settings = [
        ("q0_step1", 0, 1, 255, 0, 0),
        ("q0_step2_storage7", 0, 2, 7, 0, 0),
        ("q0_step5_storage15", 0, 5, 15, 0, 0),
        ("q0_step63", 0, 63, 0, 0, 0),
        ("q0_step64_storage3", 0, 64, 3, 0, 0),
        ("q0_negative_step", 0, -1, 200, 0, 0),
        ("q1_step100", 1, 100, 255, 0, 0),
        ("q2_step100", 2, 100, 255, 0, 0),
        ("q3", 3, 127, 255, 0, 0),
        ("q4", 4, 127, 255, 0, 0),
        ("q5_unknown", 5, 10, 255, 0, 0),
        ("q0_offsets", 0, 127, 255, 3, 2),
        ("q3_offsets", 3, 8, 63, 5, 7),
    ]
    pairs = ["insert_middle", "prefix_and_suffix", "substitutions", "runs_inserted_deleted",
             "alternating_runs", "small_alphabet", "repeated_bytes_few_changes", "old_empty", "new_empty"]
    seeds = {}
    for label, quality, step, storage, x0, y0 in settings:
        for name in pairs:
            old, new = PAIRS[name]
            if len(old) > 600:  # keep these seeds quick to run
                old, new = old[:600], new[:600]
            seeds["%s_%s" % (name, label)] = (bytes([quality, step & 0xff, storage, x0, y0])
                                             + u16(len(old)) + old + new)
    return seeds


def history(slots, width, base, shift, steps):
    """steps: (shape, gap, backwards, duration) as the target reads them."""
    out = u16(slots + 8) + u32(width + 8) + u32(base) + bytes([shift])
    for shape, gap, backwards, duration in steps:
        out += bytes([shape]) + u32(gap)
        if shape & 0x80:
            out += u16(backwards)
        out += u32(duration)
    return out


B = 1024  # bucket width of create(16, 1000)
HISTORY = {
    # start at 1024 * 100, stop 500 ms later, start again at 1024 * 101
    "short_activity": history(16, 1000, 100 * B, 0, [(0, 0, 0, 500), (0, 524, 0, 0)]),
    # stop at 1024 * 102 + 10: three buckets marked busy
    "three_buckets": history(16, 1000, 100 * B, 0, [(0, 0, 0, 2 * B + 10), (0, 100, 0, 3)]),
    # a diff of eight buckets followed by a start in the next bucket
    "long_activity_kept": history(16, 1000, 100 * B, 0, [(0, 0, 0, 7 * B + 5), (0, B - 5, 0, 1)]),
    # times within the first slot_count buckets
    "near_epoch": history(16, 1000, 100, 0, [(0, 0, 0, 5000), (0, 10, 0, 20), (0, 0, 0, 3 * B)]),
    "ten_slots_of_100ms": history(10, 100, 1 << 20, 0, [(0, 50, 0, 60)] * 8),
    # a start far beyond the ring clears it
    "ring_cleared": history(16, 1000, 100 * B, 0, [(0, 0, 0, 900), (20, 1, 0, 5), (0, 0, 0, 100)]),
    # the clock goes backwards, and a duration spread over several bytes
    "clock_backwards": history(16, 1000, 100 * B, 0, [(0x80, 0, 3000, 10), (0xa0, 7, 2000, 0x400), (0, 1, 0, 1)]),
    "busy_window": history(4, 64, 1 << 30, 0, [(0, 1, 0, 63)] * 12),
    "large_times": history(64, 4096, 0xffffffff, 30, [(10, 5, 0, 5000), (0xe0, 1, 9, 0x7f000000)]),
    "one_slot": history(1, 256, 12345, 3, [(0, 300, 0, 100), (0, 100, 0, 400)]),
    "refused_window": history(1, 100, 0, 0, [(0, 1, 0, 1)]),
}


def write(target, seeds):
    directory = os.path.join(CORPUS, target)
    shutil.rmtree(directory, ignore_errors=True)
    os.makedirs(directory)
    for name, data in sorted(seeds.items()):
        with open(os.path.join(directory, name), "wb") as f:
            f.write(data)
    print("%-18s %3d seeds, %6d bytes" % (target, len(seeds), sum(map(len, seeds.values()))))


def main():
    write("cbor_parser", CBOR_ITEMS)
    write("cbor_decode", {name: bytes([3 if name == "deep" else 64]) + item
                          for name, item in DECODE_ITEMS.items()})
    write("delta_apply", {name: u16(len(old)) + old + delta for name, (old, delta) in DELTAS.items()})
    write("delta_roundtrip", roundtrip_seeds())
    write("myers_limits", limits_seeds())
    write("delta_match", match_seeds())
    write("delta_check", check_seeds())
    write("activity_history", HISTORY)


if __name__ == "__main__":
    main()
