"""ctypes access to the exported C functions of the core.

The library is the one named by OSTREL_CORE_LIBRARY (a built
libostrel_core.so) or else the installed extension module, which exports
every core function under its plain name. Values are passed as read-only
`buf` views over copies held by the wrapper for the duration of a call.
"""

import ctypes
import os

from ctypes import POINTER, c_bool, c_char, c_int, c_int32, c_size_t, c_uint32, c_void_p


class Buf(ctypes.Structure):
    _fields_ = [("data", c_void_p), ("len", c_size_t), ("capacity", c_size_t)]


class EditScript(ctypes.Structure):
    _fields_ = [
        ("insert_start", c_int32),
        ("insert_length", c_int32),
        ("match_offset", c_int32),
        ("match_length", c_int32),
        ("old_buf", POINTER(Buf)),
        ("new_buf", POINTER(Buf)),
        ("budget", c_int32),
        ("output", POINTER(Buf)),
    ]


class Storage(ctypes.Structure):
    _fields_ = [
        ("cells", POINTER(c_int32)),
        ("cell_capacity", c_uint32),
        ("size_limit", c_uint32),
        ("max_d", c_uint32),
        ("cell_count", c_uint32),
    ]


def library_path():
    path = os.environ.get("OSTREL_CORE_LIBRARY")
    if path:
        return path
    import ostrel_core
    return ostrel_core.__file__


def _declare(lib):
    buf_p, script_p, storage_p = POINTER(Buf), POINTER(EditScript), POINTER(Storage)
    signatures = {
        "buf_free": (None, [buf_p]),
        "diff_generate_binary": (buf_p, [buf_p, buf_p]),
        "diff_generate_binary_ex": (buf_p, [buf_p, buf_p, c_uint32, c_int32]),
        "edit_script_create": (script_p, [buf_p, buf_p]),
        "edit_script_free": (None, [script_p]),
        "edit_script_match": (c_bool, [script_p, c_int32, c_int32]),
        "edit_script_insert": (c_bool, [script_p, c_int32, c_int32]),
        "edit_script_close": (c_bool, [script_p]),
        "myers_binary_diff": (c_int, [buf_p, c_int32, c_int32, buf_p, c_int32, c_int32,
                                      script_p, c_uint32, c_int32, c_int32]),
        "myers_binary_diff_check_bounds": (c_bool, [buf_p, c_int32, c_int32]),
        "myers_binary_diff_corner": (c_int32, [c_int32, c_int32]),
        "myers_binary_diff_bailout_limit": (c_int32, [c_int32, c_int32, c_int32]),
        "storage_create": (storage_p, [c_uint32]),
        "storage_free": (None, [storage_p]),
        "storage_extend": (c_bool, [storage_p, c_int32]),
        "storage_key_forward": (c_int32, [c_int32]),
        "storage_key_reverse": (c_int32, [c_int32]),
        "storage_key_forward_get": (c_int32, [storage_p, c_int32]),
        "storage_key_reverse_get": (c_int32, [storage_p, c_int32]),
        "storage_key_forward_set": (c_bool, [storage_p, c_int32, c_int32]),
        "storage_key_reverse_set": (c_bool, [storage_p, c_int32, c_int32]),
        "storage_key_forward_get_next": (c_int32, [storage_p, c_int32]),
        "storage_key_reverse_get_next": (c_int32, [storage_p, c_int32]),
    }
    for name, (restype, argtypes) in signatures.items():
        function = getattr(lib, name)
        function.restype, function.argtypes = restype, argtypes


class View:
    """A `buf` over a private copy of some bytes, kept alive with it."""

    def __init__(self, data):
        self.storage = (c_char * max(1, len(data))).from_buffer_copy(data.ljust(1, b"\0"))
        self.buf = Buf(ctypes.cast(self.storage, c_void_p), len(data), len(data))

    @property
    def ref(self):
        return ctypes.byref(self.buf)


def _read(b):
    """The bytes of a core `buf`."""
    return ctypes.string_at(b.data, b.len) if b.len else b""


class NativeCore:
    def __init__(self, path=None):
        self.path = path or library_path()
        self.lib = ctypes.CDLL(self.path)
        _declare(self.lib)

    def _take(self, result):
        """Copies out and releases a `buf` the core returned; None for null."""
        if not result:
            return None
        try:
            return _read(result.contents)
        finally:
            self.lib.buf_free(result)

    def diff_generate_binary(self, old, new):
        o, n = View(old), View(new)
        return self._take(self.lib.diff_generate_binary(o.ref, n.ref))

    def diff_generate_binary_ex(self, old, new, storage_limit, search_limit):
        o, n = View(old), View(new)
        return self._take(self.lib.diff_generate_binary_ex(o.ref, n.ref, storage_limit, search_limit))

    def diff_generate_binary_null(self, old_is_null, new_is_null):
        """The driver with a null pointer for one or both values."""
        o, n = View(b"abc"), View(b"abd")
        return self._take(self.lib.diff_generate_binary(None if old_is_null else o.ref,
                                                        None if new_is_null else n.ref))

    def myers_binary_diff(self, old, x0, n, new, y0, m, storage_limit, search_limit, quality):
        """(result code, delta written when the code is 0, else None)."""
        o, nv = View(old), View(new)
        script = self.lib.edit_script_create(o.ref, nv.ref)
        if not script:
            raise MemoryError("edit_script_create")
        try:
            code = self.lib.myers_binary_diff(o.ref, x0, n, nv.ref, y0, m, script,
                                              storage_limit, search_limit, quality)
            output = _read(script.contents.output.contents) if code == 0 else None
        finally:
            self.lib.edit_script_free(script)
        return code, output

    def edit_script_run(self, old, new, operations):
        """Feeds (name, a, b) operations ("match", "insert", or "close" with
        a and b unused) to a new edit script; (results, budget, output)."""
        o, nv = View(old), View(new)
        script = self.lib.edit_script_create(o.ref, nv.ref)
        if not script:
            raise MemoryError("edit_script_create")
        try:
            results = []
            for name, a, b in operations:
                if name == "close":
                    results.append(self.lib.edit_script_close(script))
                else:
                    results.append(getattr(self.lib, "edit_script_" + name)(script, a, b))
            return results, script.contents.budget, _read(script.contents.output.contents)
        finally:
            self.lib.edit_script_free(script)

    def check_bounds(self, value, offset, length):
        return self.lib.myers_binary_diff_check_bounds(View(value).ref, offset, length)

    def corner(self, d, n):
        return self.lib.myers_binary_diff_corner(d, n)

    def bailout_limit(self, factor, first_length, second_length):
        return self.lib.myers_binary_diff_bailout_limit(factor, first_length, second_length)

    def storage_key_forward(self, k):
        return self.lib.storage_key_forward(k)

    def storage_key_reverse(self, k):
        return self.lib.storage_key_reverse(k)

    def storage(self, size_limit):
        s = self.lib.storage_create(size_limit)
        if not s:
            raise MemoryError("storage_create")
        return StorageHandle(self.lib, s)


class StorageHandle:
    """A native storage, released on close(); its fields readable."""

    def __init__(self, lib, pointer):
        self.lib, self.pointer = lib, pointer

    def close(self):
        self.lib.storage_free(self.pointer)
        self.pointer = None

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def state(self):
        """(cell_capacity, cell_count, max_d, cells)."""
        s = self.pointer.contents
        return s.cell_capacity, s.cell_count, s.max_d, list(s.cells[:s.cell_capacity])

    def extend(self, d):
        return self.lib.storage_extend(self.pointer, d)

    def forward_get(self, k):
        return self.lib.storage_key_forward_get(self.pointer, k)

    def reverse_get(self, k):
        return self.lib.storage_key_reverse_get(self.pointer, k)

    def forward_set(self, k, value):
        return self.lib.storage_key_forward_set(self.pointer, k, value)

    def reverse_set(self, k, value):
        return self.lib.storage_key_reverse_set(self.pointer, k, value)

    def forward_get_next(self, k):
        return self.lib.storage_key_forward_get_next(self.pointer, k)

    def reverse_get_next(self, k):
        return self.lib.storage_key_reverse_get_next(self.pointer, k)
