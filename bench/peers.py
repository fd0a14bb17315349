"""The delta tools measured side by side: ours and the in-process peers
(Python packages), and the command-line peers run as processes.

An in-process tool is a pair of functions diff(old, new) -> delta and
patch(old, delta) -> value over bytes-like objects; a process tool is a pair
of argument lists over file names.
"""

import shutil

NO_CHANGE = b"\xf6"


class InProcess:
    def __init__(self, name, label, module):
        self.name, self.label, self.module = name, label, module

    def available(self):
        try:
            self.load()
            return True
        except ImportError:
            return False

    def load(self):
        """Imports the tool's package, so that no measured call pays for it."""
        return __import__(self.module)


class Ours(InProcess):
    def __init__(self):
        super().__init__("ostrel", "ostrel_core.delta", "ostrel_core")

    def diff(self, old, new):
        from ostrel_core import delta
        return delta.diff(old, new)

    def delta_bytes(self, result):
        return bytes(result)

    def patch(self, old, delta_value):
        # The no-change delta stands for "new equals old"; patch itself
        # would rebuild an empty value from it.
        if delta_value == NO_CHANGE:
            return old
        from ostrel_core import delta
        return delta.patch(old, delta_value)

    def value_bytes(self, result):
        return result if isinstance(result, bytes) else bytes(result)


class Match(Ours):
    """The matching generator at one level: `delta.compute` where the module
    has it, else its exported C function through ctypes (the module exports
    every core function under its plain name). Patched by `delta.patch`."""

    def __init__(self, level):
        """level None: the default, which adapts to the input."""
        name = "default" if level is None else "%d" % level
        InProcess.__init__(self, "match-" + name, "ostrel_core matching, %s level" % name
                           if level is None else "ostrel_core matching, level %d" % level, "ostrel_core")
        self.level = level
        self._compute = None

    def load(self):
        module = super().load()
        if self._compute is None:
            from ostrel_core import delta
            if hasattr(delta, "compute"):
                level = self.level
                self._compute = lambda old, new: delta.compute(old, new, method="match",
                                                               level=level)
            else:
                self._compute = _native_match(module.__file__, self.level or MATCH_DEFAULT_LEVEL)
        return module

    def diff(self, old, new):
        if self._compute is None:
            self.load()
        return self._compute(old, new)


def _native_match(library, level):
    """diff_match_binary over read-only views of the two values, its result
    copied into bytes and freed."""
    import ctypes

    class Buf(ctypes.Structure):
        _fields_ = [("data", ctypes.c_void_p), ("len", ctypes.c_size_t),
                    ("capacity", ctypes.c_size_t)]

    lib = ctypes.CDLL(library)
    lib.diff_match_binary.restype = ctypes.POINTER(Buf)
    lib.diff_match_binary.argtypes = [ctypes.POINTER(Buf), ctypes.POINTER(Buf), ctypes.c_int]
    lib.buf_free.argtypes = [ctypes.POINTER(Buf)]

    def view(value):
        data = ctypes.cast(ctypes.c_char_p(value), ctypes.c_void_p)
        return Buf(data, len(value), len(value))

    def compute(old, new):
        old, new = bytes(old), bytes(new)  # bytes are passed without a copy
        result = lib.diff_match_binary(ctypes.byref(view(old)), ctypes.byref(view(new)), level)
        if not result:
            raise MemoryError("diff_match_binary failed")
        try:
            return ctypes.string_at(result.contents.data, result.contents.len)
        finally:
            lib.buf_free(result)
    return compute


class Bsdiff4(InProcess):
    def __init__(self):
        super().__init__("bsdiff4", "bsdiff4 (PyPI)", "bsdiff4")

    def diff(self, old, new):
        import bsdiff4
        return bsdiff4.diff(old, new)

    def patch(self, old, delta_value):
        import bsdiff4
        return bsdiff4.patch(old, delta_value)

    delta_bytes = value_bytes = staticmethod(bytes)


def zstd_window_log(old_size, new_size, max_log):
    """The window log that the zstd command sets up for --patch-from: one
    above the highest set bit of the larger size, so that the window reaches
    back over the whole old value."""
    return max(10, min(max_log, max(old_size, new_size, 1).bit_length()))


class ZstdDict(InProcess):
    """The zstandard package with the old value as a raw-content dictionary,
    tuned as the command line's --patch-from tunes itself: a window over the
    whole old value, and long-distance matching once the window outgrows what
    the level's match finder can cycle through.

    One difference is needed for a real patch: below the btultra strategies a
    dictionary is indexed only over its last 8 << max(hashLog, chainLog)
    bytes (1 MiB at level 3), and a dictionary gets no long-distance index,
    unlike the command line's prefix. The hash table is therefore grown until
    it indexes the whole old value."""

    def __init__(self, level):
        super().__init__("zstd-dict-%d" % level, "zstandard dict -%d" % level, "zstandard")
        self.level = level

    def _dictionary(self, old):
        import zstandard
        return zstandard.ZstdCompressionDict(old, dict_type=zstandard.DICT_TYPE_RAWCONTENT)

    def parameters(self, old_size, new_size):
        import zstandard
        base = zstandard.ZstdCompressionParameters.from_level(
            self.level, source_size=new_size, dict_size=old_size)
        cycle = base.chain_log - (1 if base.strategy >= zstandard.STRATEGY_BTLAZY2 else 0)
        log = zstd_window_log(old_size, new_size, zstandard.WINDOWLOG_MAX)
        hash_log = base.hash_log
        if base.strategy < zstandard.STRATEGY_BTULTRA:
            indexed = max(old_size - 1, 1).bit_length() - 3
            hash_log = min(zstandard.HASHLOG_MAX, max(hash_log, indexed))
        return zstandard.ZstdCompressionParameters.from_level(
            self.level, source_size=new_size, dict_size=old_size, window_log=log,
            enable_ldm=log > cycle, hash_log=hash_log)

    def diff(self, old, new):
        import zstandard
        compressor = zstandard.ZstdCompressor(
            dict_data=self._dictionary(old),
            compression_params=self.parameters(len(old), len(new)))
        return compressor.compress(new)

    def patch(self, old, delta_value):
        import zstandard
        decompressor = zstandard.ZstdDecompressor(
            dict_data=self._dictionary(old), max_window_size=1 << zstandard.WINDOWLOG_MAX)
        return decompressor.decompress(delta_value)

    delta_bytes = value_bytes = staticmethod(bytes)


# The matching generator's levels; builds without the adaptive default had
# this one. The highest gives the smallest delta the format can express: the
# floor.
MATCH_LEVELS = range(1, 7)
MATCH_DEFAULT_LEVEL = 3
FLOOR_LEVEL = 6

IN_PROCESS = {t.name: t for t in (Ours(), Match(None), *(Match(level) for level in MATCH_LEVELS), Bsdiff4(),
                                  ZstdDict(3), ZstdDict(19))}


class Process:
    def __init__(self, name, label, programs):
        self.name, self.label, self.programs = name, label, programs

    def available(self):
        return all(shutil.which(p) for p in self.programs)


class Xdelta3(Process):
    def __init__(self):
        super().__init__("xdelta3", "xdelta3 -9 -S none -N", ["xdelta3"])

    @staticmethod
    def _window(old_size):
        # The default source window is 64 MiB; a larger old value needs a
        # window that holds all of it.
        if old_size <= 64 << 20:
            return []
        return ["-B", str(1 << (old_size - 1).bit_length())]

    def diff_cmd(self, old, new, out, old_size, new_size):
        return ["xdelta3", "-9", "-S", "none", "-N", "-f", "-e"] + self._window(old_size) + [
            "-s", old, new, out]

    def patch_cmd(self, old, delta_path, out, old_size, new_size):
        return ["xdelta3", "-d", "-f"] + self._window(old_size) + ["-s", old, delta_path, out]


class Bsdiff(Process):
    def __init__(self):
        super().__init__("bsdiff", "bsdiff/bspatch", ["bsdiff", "bspatch"])

    def diff_cmd(self, old, new, out, old_size, new_size):
        return ["bsdiff", old, new, out]

    def patch_cmd(self, old, delta_path, out, old_size, new_size):
        return ["bspatch", old, out, delta_path]


class ZstdPatchFrom(Process):
    def __init__(self, level):
        super().__init__("zstd-%d" % level, "zstd --patch-from -%d" % level, ["zstd"])
        self.level = level

    @staticmethod
    def _long(old_size, new_size):
        # Windows past 2^27 must be named on both sides (--long).
        log = zstd_window_log(old_size, new_size, 31)
        return ["--long=%d" % log] if log > 27 else []

    def diff_cmd(self, old, new, out, old_size, new_size):
        return ["zstd", "-q", "-f", "-%d" % self.level] + self._long(old_size, new_size) + [
            "--patch-from=" + old, new, "-o", out]

    def patch_cmd(self, old, delta_path, out, old_size, new_size):
        return ["zstd", "-q", "-d", "-f"] + self._long(old_size, new_size) + [
            "--patch-from=" + old, delta_path, "-o", out]


PROCESSES = {t.name: t for t in (Xdelta3(), Bsdiff(), ZstdPatchFrom(3), ZstdPatchFrom(19))}

# Column order of every table.
ORDER = list(IN_PROCESS) + list(PROCESSES)
LABELS = {**{k: v.label for k, v in IN_PROCESS.items()},
          **{k: v.label for k, v in PROCESSES.items()}}
