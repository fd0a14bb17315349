"""The delta corpus: real files that pyenv keeps side by side for several
CPython releases, and seeded synthetic pairs.

Every case is rebuilt from scratch on each run; nothing is cached or
downloaded. The real cases depend only on the files of this machine's pyenv
tree, the synthetic ones only on their seeds, so two runs on the same machine
compare the same bytes.
"""

import glob
import os
import random
import subprocess
from dataclasses import dataclass, field

MiB = 1 << 20
SEED = 20240521


@dataclass
class Case:
    name: str
    group: str            # "text", "binary" or "synthetic"
    old: bytes
    new: bytes
    sources: list = field(default_factory=list)   # where old and new came from
    changed: int = None   # bytes changed by construction (synthetic cases)
    role: str = None      # "big-edits", "identical" or "unrelated": cases the targets name

    def describe(self):
        return {"name": self.name, "group": self.group, "old_size": len(self.old),
                "new_size": len(self.new), "sources": self.sources,
                "changed_by_construction": self.changed, "role": self.role}


def pyenv_root():
    root = os.environ.get("PYENV_ROOT")
    if root:
        return root
    try:
        return subprocess.run(["pyenv", "root"], capture_output=True, text=True,
                              check=True).stdout.strip()
    except (OSError, subprocess.CalledProcessError):
        return os.path.expanduser("~/.pyenv")


def releases(root):
    """{(3, minor): prefix} for the newest patch release of each CPython 3.x
    that pyenv holds."""
    found = {}
    for prefix in glob.glob(os.path.join(root, "versions", "3.*")):
        parts = os.path.basename(prefix).split(".")
        if len(parts) != 3 or not all(p.isdigit() for p in parts):
            continue
        key = (int(parts[0]), int(parts[1]))
        patch = int(parts[2])
        if key not in found or patch > found[key][0]:
            found[key] = (patch, prefix)
    return {key: prefix for key, (_, prefix) in found.items()}


def libdir(prefix, version):
    return os.path.join(prefix, "lib", "python%d.%d" % version)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def joined_sources(directory):
    names = sorted(glob.glob(os.path.join(directory, "*.py")))
    return b"".join(read(n) for n in names), "%s/*.py (%d files, sorted names)" % (
        directory, len(names))


def one_match(pattern):
    """The single file matching a glob pattern, or None."""
    hits = sorted(glob.glob(pattern))
    return hits[-1] if hits else None


def release_pair_cases(rel, old_v, new_v, joined, binaries):
    """Cases for one pair of releases: the single text files, and when asked
    all top-level sources joined and the compiled and packaged files."""
    old_lib, new_lib = libdir(rel[old_v], old_v), libdir(rel[new_v], new_v)
    tag = "%d.%d-%d.%d" % (old_v + new_v)
    cases = []
    for rel_path in ("keyword.py", "json/encoder.py", "argparse.py", "typing.py",
                     "pydoc_data/topics.py"):
        a, b = os.path.join(old_lib, rel_path), os.path.join(new_lib, rel_path)
        if os.path.isfile(a) and os.path.isfile(b):
            cases.append(Case("%s %s" % (rel_path, tag), "text", read(a), read(b), [a, b]))
    if joined:
        old_all, old_desc = joined_sources(old_lib)
        new_all, new_desc = joined_sources(new_lib)
        cases.append(Case("Lib/*.py %s" % tag, "text", old_all, new_all, [old_desc, new_desc]))
    if not binaries:
        return cases

    def cpy(version):
        return "cpython-%d%d" % version

    binaries = [
        ("typing.pyc", "__pycache__/typing.%s.pyc"),
        ("_decimal.so", "lib-dynload/_decimal.%s-*.so"),
        ("pip wheel", "ensurepip/_bundled/pip-*.whl"),
    ]
    for label, pattern in binaries:
        a = one_match(os.path.join(old_lib, pattern.replace("%s", cpy(old_v))))
        b = one_match(os.path.join(new_lib, pattern.replace("%s", cpy(new_v))))
        if a and b:
            cases.append(Case("%s %s" % (label, tag), "binary", read(a), read(b), [a, b]))
    return cases


def substitute(rng, value, count):
    out = bytearray(value)
    for pos in rng.sample(range(len(out)), count):
        out[pos] ^= rng.randrange(1, 256)   # never the same byte
    return bytes(out)


def insert_delete_runs(rng, value, count, longest):
    """`count` runs of 1..`longest` bytes, each inserted or deleted at a
    random place. Returns the new value and the number of bytes touched."""
    cuts = sorted(rng.sample(range(len(value) - longest), count))
    pieces, at, touched = [], 0, 0
    for pos in cuts:
        pos = max(pos, at)
        length = rng.randint(1, longest)
        pieces.append(value[at:pos])
        if rng.random() < 0.5:
            pieces.append(rng.randbytes(length))
            at = pos
        else:
            at = pos + length
        touched += length
    pieces.append(value[at:])
    return b"".join(pieces), touched


def synthetic_cases(big_size):
    rng = random.Random(SEED)
    seed = ["seed %d" % SEED]
    base = rng.randbytes(MiB)
    new, touched = insert_delete_runs(rng, base, 100, 64)
    cases = [
        Case("random 1M, 10 substitutions", "synthetic", base, substitute(rng, base, 10),
             seed, 10),
        Case("random 1M, 100 ins/del runs", "synthetic", base, new, seed, touched),
        Case("random 1M, unrelated", "synthetic", base, rng.randbytes(MiB), seed, MiB,
             "unrelated"),
    ]
    big = rng.randbytes(big_size)
    new = substitute(rng, big, 4)
    new, touched = insert_delete_runs(rng, new, 4, 4096)
    label = "%dM" % (big_size // MiB)
    cases.append(Case("random %s, 8 edits" % label, "synthetic", big, new, seed, touched + 4,
                      "big-edits"))
    # A copy, not the same object: no tool may take a shortcut on identity.
    cases.append(Case("identical %s" % label, "synthetic", big, bytes(bytearray(big)),
                      ["seed %d, the same value twice" % SEED], 0, "identical"))
    return cases


def libpython_pair(rel, pairs, largest=20 * MiB):
    """The newest pair of consecutive releases whose libpython files are both
    at most `largest` bytes (bigger ones would take much of the run's time in
    the slower peers)."""
    def path(v):
        return one_match(os.path.join(rel[v], "lib", "libpython%d.%d*.so.1.0" % v))
    for a, b in reversed(pairs):
        pa, pb = path(a), path(b)
        if pa and pb and os.path.getsize(pa) <= largest and os.path.getsize(pb) <= largest:
            return [Case("libpython %d.%d-%d.%d" % (a + b), "binary", read(pa), read(pb),
                         [pa, pb])]
    return []


def build(quick=False):
    """Every case of the run, real ones first.

    Full: the newest pair of consecutive releases for every file, the pair
    before it for the single text files, libpython, and 16 MiB synthetic
    values. Quick: the newest pair without the joined sources, no libpython,
    4 MiB synthetic values."""
    rel = releases(pyenv_root())
    versions = sorted(rel)
    pairs = list(zip(versions, versions[1:]))
    cases = []
    if pairs:
        if not quick and len(pairs) > 1:
            cases += release_pair_cases(rel, *pairs[-2], joined=False, binaries=False)
        cases += release_pair_cases(rel, *pairs[-1], joined=not quick, binaries=True)
        if not quick:
            cases += libpython_pair(rel, pairs)
    return cases + synthetic_cases(4 * MiB if quick else 16 * MiB)
