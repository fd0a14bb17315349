"""Pure-Python model of the delta engine, written for differential tests.

It mirrors the native engine step by step (edit script, coalescing script,
diagonal storage, bounded Myers search, generation driver) so that its
deltas can be compared byte for byte with the native ones. Clarity comes
before speed: it is meant for values of a few hundred bytes, a few KB at
most.

The native engine computes positions, lengths and limits in 32-bit signed
integers and the storage bookkeeping in 32-bit unsigned ones; `i32` and
`u32` reproduce that wrapping wherever a sum or product could leave the
range. Every byte the search reads is checked against the compared ranges,
so a step that would read outside them raises instead of quietly using
Python's negative indexing.

Three points where the model deliberately departs from a literal reading:
- an insert run of a range that starts at new position y0 copies its bytes
  from y0 + (start within the range), so that ranges not starting at 0 are
  served correctly;
- closing the coalescing script after a delete passes nothing on, since the
  run fields then still describe a match that was already handed over;
- range checks compute offset + length without 32-bit wrapping.
"""

INT32_MIN = -(1 << 31)
INT32_MAX = (1 << 31) - 1

DEFAULT_STORAGE_LIMIT = 2147483647
DEFAULT_SEARCH_LIMIT = 10000

# Result codes of myers_binary_diff and of closing the coalescing script.
INVALID_RANGE, ORDINARY, REPLACEMENT, IDENTICAL = -1, 0, 1, 2

NO_CHANGE_DELTA = b"\xf6"

# The search recurses once per middle snake; values of a few KB need more
# than Python's default depth. Callers raise the limit while they use the
# model (up to 3.11 that limit also lets native code recurse, past the
# native stack, so it is not raised for the whole process).
DEEPEST_SEARCH = 100000


def i32(v):
    """v wrapped to a signed 32-bit integer."""
    v &= 0xFFFFFFFF
    return v - (1 << 32) if v & 0x80000000 else v


def u32(v):
    """v wrapped to an unsigned 32-bit integer."""
    return v & 0xFFFFFFFF


def c_div(a, b):
    """Signed integer division truncating toward zero, as in C."""
    q = abs(a) // abs(b)
    return q if (a < 0) == (b < 0) else -q


# ---------------------------------------------------------------------------
# CBOR: shortest heads, unsigned integers and definite byte strings.
#
#   value 0..23          major<<5 | value
#   value <= 0xff        major<<5 | 24, 1 byte
#   value <= 0xffff      major<<5 | 25, 2 bytes big-endian
#   value <= 0xffffffff  major<<5 | 26, 4 bytes big-endian
#   otherwise            major<<5 | 27, 8 bytes big-endian
# ---------------------------------------------------------------------------

def cbor_head(major, value):
    value &= 0xFFFFFFFFFFFFFFFF  # the writers take 64-bit unsigned arguments
    if value <= 23:
        return bytes([major << 5 | value])
    for info, width in ((24, 1), (25, 2), (26, 4), (27, 8)):
        if value < 1 << (8 * width):
            return bytes([major << 5 | info]) + value.to_bytes(width, "big")
    raise AssertionError("unreachable")


def cbor_uint(value):
    return cbor_head(0, value)


def cbor_byte_string(data):
    return cbor_head(2, len(data)) + bytes(data)


def head_size(v):
    """Bytes of a CBOR head carrying the 32-bit signed value v."""
    if v == INT32_MIN:
        return 9
    v = abs(v)
    if v <= 23:
        return 1
    if v <= 255:
        return 2
    if v <= 65535:
        return 3
    return 5


# ---------------------------------------------------------------------------
# Edit script: holds back at most one insert and one match (the match right
# after the insert in the new value), folds short matches into the insert,
# and charges every written item against a budget of len(new) bytes.
# ---------------------------------------------------------------------------

class EditScript:
    def __init__(self, old, new):
        self.old = old
        self.new = new
        self.insert_start = -1  # absolute position in new; -1: none pending
        self.insert_length = 0
        self.match_offset = -1  # -1: none pending
        self.match_length = 0
        self.budget = i32(len(new))
        self.output = bytearray()

    def _inserted_bytes(self):
        start, length = self.insert_start, self.insert_length
        if start < 0 or length < 0 or start + length > len(self.new):
            raise AssertionError("insert (%d, %d) outside the new value of %d bytes"
                                 % (start, length, len(self.new)))
        return self.new[start:start + length]

    def flush(self):
        """Writes what is pending; False once the budget would reach 0."""
        if self.insert_start != -1:
            self.budget = i32(self.budget - i32(self.insert_length + head_size(self.insert_length)))
            if self.budget <= 0:
                return False
            self.output += cbor_byte_string(self._inserted_bytes())
            self.insert_start = -1
        if self.match_offset != -1:
            self.budget = i32(self.budget - (head_size(self.match_offset) + head_size(self.match_length)))
            if self.budget <= 0:
                return False
            self.output += cbor_uint(self.match_offset) + cbor_uint(self.match_length)
            self.match_offset = -1
        return True

    close = flush

    def match(self, offset, length):
        if self.match_offset != -1:
            if not self.flush():
                return False
        elif self.insert_start != -1:
            grown = i32(self.insert_length + length)
            # What the insert grows by, against a match item of a short length.
            if length + head_size(grown) - head_size(self.insert_length) <= head_size(offset) + 1:
                self.insert_length = grown
                return True
        self.match_offset, self.match_length = offset, length
        return True

    def insert(self, start, length):
        if self.match_offset != -1:
            matched = self.match_length
            grown = i32(length + matched)
            if matched + head_size(grown) - head_size(length) <= head_size(self.match_offset) + 1:
                # The matched bytes travel inside the byte string instead.
                self.match_offset = -1
                if self.insert_start == -1:
                    self.insert_start, self.insert_length = i32(start - matched), grown
                else:
                    self.insert_length = i32(self.insert_length + grown)
                return True
            if not self.flush():
                return False
        if self.insert_start == -1:
            self.insert_start, self.insert_length = start, length
        else:
            self.insert_length = i32(self.insert_length + length)
        return True


# ---------------------------------------------------------------------------
# Coalescing script: joins the search's operations into runs of one kind.
# Match runs start relative to old_base (that is the offset written into
# the delta); insert runs relative to new_base.
# ---------------------------------------------------------------------------

RUN_INSERT, RUN_MATCH, RUN_NONE = 0, 1, 2


class CoalescingScript:
    def __init__(self, script, old_base, new_base):
        self.script = script
        self.old_base = old_base
        self.new_base = new_base
        self.kind = RUN_NONE
        self.run_start = 0
        self.run_length = 0
        self.single_run = True  # nothing handed to the edit script yet

    def _hand_over(self):
        """Passes the pending run to the edit script (nothing after a delete)."""
        if self.kind == RUN_MATCH:
            return self.script.match(self.run_start, self.run_length)
        if self.kind == RUN_INSERT:
            return self.script.insert(i32(self.new_base + self.run_start), self.run_length)
        return True

    def match(self, position, length):
        if length <= 0:
            return True
        if self.kind == RUN_MATCH:
            self.run_length = i32(self.run_length + length)
            return True
        self.single_run = self.single_run and self.kind == RUN_NONE
        if self.kind == RUN_INSERT and not self._hand_over():
            return False
        self.kind, self.run_start, self.run_length = RUN_MATCH, i32(position - self.old_base), length
        return True

    def insert(self, position, length):
        if length <= 0:
            return True
        if self.kind == RUN_INSERT:
            self.run_length = i32(self.run_length + length)
            return True
        self.single_run = self.single_run and self.kind == RUN_NONE
        if self.kind == RUN_MATCH and not self._hand_over():
            return False
        self.kind, self.run_start, self.run_length = RUN_INSERT, i32(position - self.new_base), length
        return True

    def delete(self):
        if self.kind == RUN_INSERT:
            return True  # the insert run stays open across skipped old bytes
        self.single_run = self.single_run and self.kind == RUN_NONE
        ok = self._hand_over()
        self.kind = RUN_NONE
        return ok

    def close(self, old_length, new_length):
        """ORDINARY, REPLACEMENT or IDENTICAL; new_length plays no part."""
        if self.single_run:
            if self.kind == RUN_INSERT:
                return REPLACEMENT  # nothing in common
            if self.run_start == 0 and self.run_length == old_length:
                return IDENTICAL
        if not self._hand_over():
            return REPLACEMENT
        return ORDINARY if self.script.close() else REPLACEMENT


# ---------------------------------------------------------------------------
# Diagonal storage: forward and reverse V arrays interleaved in one array.
#
#   cell 0: forward 0   cell 2: reverse 0   cell 1: unused
#   group j >= 1 at cell 4j-1:  forward -j | forward +j | reverse -j | reverse +j
#
# Fresh groups hold -1, -1, INT32_MAX, INT32_MAX. The array is modelled
# cell for cell, capacity and stale cells included.
# ---------------------------------------------------------------------------

FILL_PATTERN = (-1, -1, INT32_MAX, INT32_MAX)


def storage_key_forward(k):
    return i32(4 * k) if k >= 0 else i32(4 * -k - 1)


def storage_key_reverse(k):
    return i32(storage_key_forward(k) + 2)


class Storage:
    def __init__(self, size_limit):
        self.cells = []
        self.cell_capacity = 0
        self.size_limit = u32(size_limit)
        self.max_d = u32(self.size_limit - 3) >> 2
        self.cell_count = 0
        self.initialise(1)

    def ensure(self, d):
        self.cell_count = u32(4 * d + 7)
        if self.cell_capacity >= u32(4 * d + 11):
            return True
        grown = [0] * u32(8 * d + 14)
        grown[:self.cell_capacity] = self.cells
        self.cells, self.cell_capacity = grown, len(grown)
        return True

    def fill(self, first_cell):
        s = first_cell
        while s < u32(self.cell_count + 4):
            self.cells[s:s + 4] = FILL_PATTERN
            s += 4

    def initialise(self, d):
        if d <= 0:
            return False
        self.ensure(d)
        self.fill(3)
        return True

    def extend(self, d):
        if self.max_d < u32(d):
            return False
        previous_count = self.cell_count
        self.ensure(d)
        self.fill(previous_count)
        return True

    def _get(self, key):
        return self.cells[key] if u32(key) < self.cell_capacity else INT32_MIN

    def _set(self, key, value):
        if u32(key) >= self.cell_capacity:
            return False
        self.cells[key] = i32(value)
        return True

    def forward_get(self, k):
        return self._get(storage_key_forward(k))

    def reverse_get(self, k):
        return self._get(storage_key_reverse(k))

    def forward_set(self, k, value):
        return self._set(storage_key_forward(k), value)

    def reverse_set(self, k, value):
        return self._set(storage_key_reverse(k), value)

    def forward_get_next(self, k):
        above, below = self.forward_get(i32(k + 1)), self.forward_get(i32(k - 1))
        return i32(above + 1) if above >= below else below

    def reverse_get_next(self, k):
        above, below = self.reverse_get(i32(k + 1)), self.reverse_get(i32(k - 1))
        return i32(below - 1) if above >= below else above


# ---------------------------------------------------------------------------
# Bounded Myers search.
# ---------------------------------------------------------------------------

def myers_binary_diff_corner(d, n):
    return d if d <= n else i32(2 * n - d)


def highest_bit_long(v):
    return (v & 0xFFFFFFFFFFFFFFFF).bit_length()


def approx_cube_root(v):
    v &= 0xFFFFFFFFFFFFFFFF
    return 0 if v == 0 else 1 << (highest_bit_long(v) // 3)


def myers_binary_diff_bailout_limit(factor, first_length, second_length):
    q = approx_cube_root(i32(first_length + second_length))  # sign-extended to 64 bits
    scaled = factor * q
    return 256 if scaled < 25600 else i32(c_div(scaled, 100))


def myers_binary_diff_check_bounds(value, offset, length):
    return offset >= 0 and length >= 0 and offset + length <= len(value)


class Execution:
    """One search over old[x0, x0+N) against new[y0, y0+M); x0 and y0 are
    always absolute positions."""

    def __init__(self, old, new, script, storage_limit, search_limit):
        self.old = old
        self.new = new
        self.script = script
        self.search_limit = search_limit
        self.storage = Storage(storage_limit)
        # The ranges every step must stay inside; myers_binary_diff narrows
        # them to the ranges it was given.
        self.old_range = (0, len(old))
        self.new_range = (0, len(new))

    def _check(self, x0, n, y0, m):
        if not (self.old_range[0] <= x0 and n >= 0 and x0 + n <= self.old_range[1]
                and self.new_range[0] <= y0 and m >= 0 and y0 + m <= self.new_range[1]):
            raise AssertionError("step on old [%d, +%d) new [%d, +%d) leaves the compared ranges"
                                 % (x0, n, y0, m))

    # -- byte runs ------------------------------------------------------

    def _common_prefix(self, x0, n, y0, m):
        old, new = self.old, self.new
        i, end = 0, min(n, m)
        while i < end and old[x0 + i] == new[y0 + i]:
            i += 1
        return i

    def _suffix_start(self, x0, n, y0, m, p):
        """Old end of the unmatched middle once the common suffix is cut,
        never below p + max(0, N - M)."""
        old, new = self.old, self.new
        shift = i32(m - n)
        lower = p + max(0, n - m)
        i = n
        while i > lower and old[x0 + i - 1] == new[y0 + i - 1 + shift]:
            i -= 1
        return i

    # -- the steps --------------------------------------------------------

    def diff(self, x0, n, y0, m):
        self._check(x0, n, y0, m)
        i = self._common_prefix(x0, n, y0, m)
        if not self.script.match(x0, i):
            return False
        return self.diff_trim_suffix(x0, n, y0, m, i, self.search_limit)

    def diff_trim_suffix(self, x0, n, y0, m, p, limit):
        """The p front bytes are known equal and already reported."""
        self._check(x0, n, y0, m)
        i = self._suffix_start(x0, n, y0, m, p)
        j = i32(i + m - n)
        if i == p:
            ok = self.script.insert(i32(y0 + p), i32(m - n))
        elif j == p:
            ok = self.script.delete()
        else:
            ok = self.middlesnake(i32(x0 + p), i - p, i32(y0 + p), j - p, limit)
        return ok and self.script.match(i32(x0 + i), n - i)

    def diff_trim_prefix(self, x0, n, y0, m, limit):
        self._check(x0, n, y0, m)
        i = self._common_prefix(x0, n, y0, m)
        if not self.script.match(x0, i):
            return False
        if i == n:
            return self.script.insert(i32(y0 + n), i32(m - n))
        if i == m:
            return self.script.delete()
        return self.middlesnake(i32(x0 + i), n - i, i32(y0 + i), m - i, limit)

    def trim_prefix_and_suffix(self, x0, n, y0, m):
        self._check(x0, n, y0, m)
        i = self._common_prefix(x0, n, y0, m)
        self.script.match(x0, i)  # first operation: cannot fail
        e = self._suffix_start(x0, n, y0, m, i)
        j = i32(e + m - n)
        if e == i:
            ok = self.script.insert(i32(y0 + i), i32(m - n))
        elif j == i:
            ok = self.script.delete()
        else:
            ok = self.script.insert(i32(y0 + i), j - i) and self.script.delete()
        return ok and self.script.match(i32(x0 + e), n - e)

    def middlesnake(self, x0, n, y0, m, limit):
        self._check(x0, n, y0, m)
        st = self.storage
        old, new = self.old, self.new
        st.initialise(1)
        st.forward_set(0, 0)
        st.reverse_set(0, n)
        delta = i32(n - m)
        overlap_in_forward = (delta & 0xB1) == 0xB1
        d = 1
        while True:
            c_n = myers_binary_diff_corner(d, n)
            c_m = myers_binary_diff_corner(d, m)

            # Forward: furthest x on each diagonal k = y - x.
            for k in range(-c_n, c_m + 1, 2):
                x = st.forward_get_next(k)
                run = min(i32(m - k - x), i32(n - x))
                x_end = x
                if run > 0:
                    if x < 0 or x + k < 0:
                        raise AssertionError("forward snake starts outside the ranges")
                    a, b = x0 + x, y0 + x + k
                    while x_end - x < run and old[a] == new[b]:
                        x_end, a, b = x_end + 1, a + 1, b + 1
                if overlap_in_forward:
                    r = i32(delta + k)
                    if abs(r) < d and st.reverse_get(r) <= x_end:
                        return self.recurse(x0, n, y0, m, x, x_end, k)
                st.forward_set(k, x_end)

            # Reverse: smallest x on each diagonal r = k + delta.
            for r in range(-c_m, c_n + 1, 2):
                x = st.reverse_get_next(r)
                shift = i32(delta - r)  # x - y on this diagonal
                lower = max(0, shift)
                x_start = x
                if x > lower:
                    if x > n or x - shift > m:
                        raise AssertionError("reverse snake starts outside the ranges")
                    while x_start > lower and old[x0 + x_start - 1] == new[y0 + x_start - 1 - shift]:
                        x_start -= 1
                if not overlap_in_forward:
                    k = i32(r - delta)
                    if abs(k) <= d and st.forward_get(k) >= x_start:
                        return self.recurse(x0, n, y0, m, x_start, x, k)
                st.reverse_set(r, x_start)

            if d % 64 != 0:
                if d > limit:
                    return self.bail(x0, n, y0, m, c_n, c_m, limit)
            else:
                # Progress check: both searches together should have covered
                # about d * sqrt(d); if not, the allowance shrinks.
                fx, fy, rx, ry = self._frontiers(n, m, c_n, c_m)
                covered = (fx + fy) + (n + m - rx - ry)
                p, t = 1, d
                while True:
                    t >>= 2
                    p *= 2
                    if t == 0:
                        break
                if covered < d * p:
                    limit = i32(limit - 48)
                elif d > limit:
                    return self.bail(x0, n, y0, m, c_n, c_m, limit)

            if not st.extend(d + 1):
                return False
            d += 1

    def _frontiers(self, n, m, c_n, c_m):
        """F: the furthest forward point (largest x + y, ties to the lowest
        diagonal); R: the furthest reverse point (smallest x + y)."""
        st = self.storage
        delta = i32(n - m)
        fx, fy = 0, 0
        for k in range(-c_n, c_m + 1, 2):
            x = min(st.forward_get(k), n, i32(m - k))
            y = i32(x + k)
            if u32(x + y) > u32(fx + fy):
                fx, fy = x, y
        rx, ry = n, m
        for r in range(-c_m, c_n + 1, 2):
            x = max(st.reverse_get(r), 0, i32(delta - r))
            y = i32(x - i32(delta - r))
            if i32(x + y) < i32(rx + ry):
                rx, ry = x, y
        return fx, fy, rx, ry

    def recurse(self, x0, n, y0, m, s, e, k):
        """Reports the part before the snake (s, s+k)..(e, e+k), the snake,
        then the part after it."""
        return (self.diff_trim_suffix(x0, s, y0, i32(s + k), 0, self.search_limit)
                and self.script.match(i32(x0 + s), e - s)
                and self.diff_trim_prefix(i32(x0 + e), n - e, i32(y0 + e + k),
                                          i32(m - e - k), self.search_limit))

    def bail(self, x0, n, y0, m, c_n, c_m, limit):
        fx, fy, rx, ry = self._frontiers(n, m, c_n, c_m)
        full = self.search_limit
        if fx < rx and fy < ry:
            # A gap remains between the two frontiers.
            return (self.diff_trim_suffix(x0, fx, y0, fy, 0, full)
                    and self.bounded_diff(i32(x0 + fx), rx - fx, i32(y0 + fy), ry - fy, n, m, limit)
                    and self.diff_trim_prefix(i32(x0 + rx), n - rx, i32(y0 + ry), m - ry, full))
        if i32(n + m - rx - ry) <= i32(fx + fy):
            px, py = fx, fy
        else:
            px, py = rx, ry
        half = c_div(limit, 2)
        if n > m and py in (0, m) and n >= i32(8 * min(px, n - px)):
            h = n // 2
            return (self.diff_trim_suffix(x0, h, y0, py, 0, half)
                    and self.diff_trim_prefix(i32(x0 + h), n - h, i32(y0 + py), m - py, half))
        if n <= m and px in (0, n) and m >= i32(8 * min(py, m - py)):
            h = m // 2
            return (self.diff_trim_suffix(x0, px, y0, h, 0, half)
                    and self.diff_trim_prefix(i32(x0 + px), n - px, i32(y0 + h), m - h, half))
        return (self.diff_trim_suffix(x0, px, y0, py, 0, full)
                and self.diff_trim_prefix(i32(x0 + px), n - px, i32(y0 + py), m - py, full))

    def bounded_diff(self, x0, n, y0, m, outer_n, outer_m, b):
        """The gap between the frontiers of a search over outer_n old bytes
        that bailed with step limit b; outer_m plays no part."""
        if min(n, m) > 7 and i32(n * m) < i32((i32(outer_n * outer_n) >> 1) + 16777216):
            return self.middlesnake(x0, n, y0, m, max(b, 8))
        if b > 0:
            hn, hm = n // 2, m // 2
            return (self.diff_trim_suffix(x0, hn, y0, hm, 0, b >> 1)
                    and self.diff_trim_prefix(i32(x0 + hn), n - hn, i32(y0 + hm), m - hm, b >> 1))
        # Send the outer quarters of the new range literally, drop those of
        # the old range, compare the middle halves.
        cs = self.script
        return (cs.insert(y0, m // 4)
                and cs.delete()
                and self.diff(i32(x0 + n // 4), n // 2, i32(y0 + m // 4), m // 2)
                and cs.insert(i32(y0 + m // 4 + m // 2), m - m // 4 - m // 2)
                and cs.delete())


def step_limit(quality, search_limit, n, m):
    smallest = min(search_limit, n, m)
    if quality == 0:
        return search_limit
    if quality == 1:
        return 64 if smallest <= 255 else smallest >> 2
    if quality == 2:
        return 16 if smallest <= 255 else smallest >> 4
    if quality == 3:
        return 1
    return -1


def myers_binary_diff(old, x0, n, new, y0, m, script, storage_limit, search_limit, quality):
    """Result code; on ORDINARY the delta stands in script.output."""
    if not (myers_binary_diff_check_bounds(old, x0, n) and myers_binary_diff_check_bounds(new, y0, m)):
        return INVALID_RANGE
    coalescing = CoalescingScript(script, x0, y0)
    execution = Execution(old, new, coalescing, storage_limit,
                          step_limit(quality, search_limit, n, m))
    execution.old_range, execution.new_range = (x0, x0 + n), (y0, y0 + m)
    if quality == 4:
        ok = execution.trim_prefix_and_suffix(x0, n, y0, m)
    else:
        ok = execution.diff(x0, n, y0, m)
    if not ok:
        return REPLACEMENT
    return coalescing.close(n, m)


# ---------------------------------------------------------------------------
# Generation driver.
# ---------------------------------------------------------------------------

def write_replacement_delta(new):
    return cbor_byte_string(new)


def diff_generate_binary_quality(old, new, storage_limit, search_limit, quality):
    """The driver's body at a given quality; None where the native driver
    returns a null buffer."""
    if old is None or new is None or len(old) > INT32_MAX or len(new) > INT32_MAX:
        return None
    script = EditScript(old, new)
    code = myers_binary_diff(old, 0, len(old), new, 0, len(new), script,
                             storage_limit, search_limit, quality)
    if code == REPLACEMENT:
        result = write_replacement_delta(new)
    elif code == ORDINARY:
        result = bytes(script.output)
    elif code == IDENTICAL:
        result = NO_CHANGE_DELTA
    else:
        return None
    if len(result) >= len(new):
        result = write_replacement_delta(new)
    return result


def diff_generate_binary_ex(old, new, storage_limit=DEFAULT_STORAGE_LIMIT,
                            search_limit=DEFAULT_SEARCH_LIMIT):
    return diff_generate_binary_quality(old, new, storage_limit, search_limit, 0)


def diff_generate_binary(old, new):
    return diff_generate_binary_ex(old, new)
