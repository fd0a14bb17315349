"""The delta corpus: real files that pyenv keeps side by side for several
CPython releases, two releases of packages from PyPI, and seeded pairs.

Every case is rebuilt from scratch on each run. The real cases depend only on
the files of this machine's pyenv tree and on the wheels bench/run.sh fetches
once into bench/downloads (pinned versions, see WHEELS); the others only on
their seeds, so two runs on the same machine compare the same bytes.
"""

import datetime
import glob
import gzip
import io
import json
import os
import random
import sqlite3
import subprocess
import tarfile
import tempfile
import zipfile
from dataclasses import dataclass, field

MiB = 1 << 20
SEED = 20240521
DOWNLOADS = os.path.join(os.path.dirname(os.path.abspath(__file__)), "downloads")
# Two releases of a pure-Python package, of one whose extension rustc builds,
# and of an SDK's data package, whose service descriptions change from one
# release to the next.
WHEELS = {
    "setuptools": ("setuptools-69.5.1-py3-none-any.whl", "setuptools-70.0.0-py3-none-any.whl"),
    "cryptography": ("cryptography-43.0.3-cp39-abi3-manylinux_2_28_x86_64.whl",
                     "cryptography-44.0.0-cp39-abi3-manylinux_2_28_x86_64.whl"),
    "botocore": ("botocore-1.43.106-py3-none-any.whl", "botocore-1.43.107-py3-none-any.whl"),
}
# The service description in botocore that changes most (in lines) between
# the two releases: 1.30 and 1.33 MB of JSON, some 770 of its 27,000 lines changed.
SERVICE_JSON = "botocore/data/securityhub/2018-10-26/service-2.json.gz"


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


def retarred(wheel):
    """The files of a wheel as an uncompressed tarball, in the wheel's order,
    with the wheel's times: what unpacking a release and archiving it gives."""
    out = io.BytesIO()
    with zipfile.ZipFile(wheel) as z, tarfile.open(fileobj=out, mode="w", format=tarfile.USTAR_FORMAT) as tar:
        for info in z.infolist():
            data = z.read(info)
            entry = tarfile.TarInfo(info.filename)
            entry.size, entry.mode = len(data), 0o644
            entry.mtime = int(datetime.datetime(*info.date_time).timestamp())
            tar.addfile(entry, io.BytesIO(data))
    return out.getvalue()


def wheel_member(wheel, suffix):
    with zipfile.ZipFile(wheel) as z:
        name = next(n for n in z.namelist() if n.endswith(suffix))
        return z.read(name)


def package_cases(quick):
    """Two releases of setuptools as uncompressed tarballs, the Rust
    extension of two releases of cryptography (not when quick), and a
    service description of two releases of botocore as JSON and as CBOR
    (the documents loaded and written again by cbor.dumps), where
    bench/run.sh could fetch them."""
    cases = []
    paths = {name: [os.path.join(DOWNLOADS, w) for w in pair] for name, pair in WHEELS.items()}
    if all(map(os.path.isfile, paths["setuptools"])):
        old, new = (retarred(p) for p in paths["setuptools"])
        cases.append(Case("setuptools 69.5-70.0 tar", "binary", old, new, paths["setuptools"]))
    if not quick and all(map(os.path.isfile, paths["cryptography"])):
        old, new = (wheel_member(p, "_rust.abi3.so") for p in paths["cryptography"])
        cases.append(Case("cryptography rust .so 43-44", "binary", old, new, paths["cryptography"]))
    if all(map(os.path.isfile, paths["botocore"])):
        from ostrel_core import cbor
        sources = ["%s in %s" % (SERVICE_JSON, p) for p in paths["botocore"]]
        old, new = (gzip.decompress(wheel_member(p, SERVICE_JSON)) for p in paths["botocore"])
        cases.append(Case("service JSON botocore 1.43.106-107", "text", old, new, sources))
        old, new = (cbor.dumps(json.loads(value)) for value in (old, new))
        cases.append(Case("service CBOR botocore 1.43.106-107", "binary", old, new, sources))
    return cases


def sqlite_case(rows):
    """A database file before and after a day of work through sqlite3:
    updates, inserts and deletes committed in place."""
    rng = random.Random(SEED)
    words = ["alpha", "beta", "gamma", "delta", "omega", "sigma", "kappa", "theta"]

    def row(i):
        return (i, " ".join(rng.choice(words) for _ in range(rng.randrange(2, 12))),
                rng.randrange(10 ** 6), rng.random(), rng.randbytes(rng.randrange(0, 48)))

    with tempfile.TemporaryDirectory() as directory:
        path = os.path.join(directory, "store.db")
        db = sqlite3.connect(path)
        db.execute("create table items (id integer primary key, name text, count integer, score real, blob blob)")
        db.execute("create index by_count on items (count)")
        db.executemany("insert into items values (?, ?, ?, ?, ?)", (row(i) for i in range(rows)))
        db.commit()
        old = read(path)
        for _ in range(rows // 100):
            db.execute("update items set count = ?, score = ? where id = ?",
                       (rng.randrange(10 ** 6), rng.random(), rng.randrange(rows)))
        db.executemany("insert into items values (?, ?, ?, ?, ?)", (row(i) for i in range(rows, rows + rows // 50)))
        db.execute("delete from items where id % 97 = 3")
        db.commit()
        db.close()
        new = read(path)
    return Case("sqlite %d rows, edited in place" % rows, "binary", old, new, ["seed %d" % SEED])


def json_case(records):
    """A JSON document of records and a revision of it: some records
    changed, some added and some removed, one record a line."""
    rng = random.Random(SEED)
    tags = ["red", "green", "blue", "large", "small", "new", "sale", "stock"]

    def record(i):
        return {"id": i, "name": "item %d" % rng.randrange(10 ** 6), "price": round(rng.random() * 1000, 2),
                "tags": rng.sample(tags, rng.randrange(1, 4)), "stock": {"count": rng.randrange(500),
                                                                          "warehouse": rng.choice("ABCDEFGH")}}

    def document():
        return ('{"items": [\n' + ",\n".join(json.dumps(item) for item in items) + "\n]}\n").encode()

    items = [record(i) for i in range(records)]
    old = document()
    for _ in range(records // 50):
        items[rng.randrange(len(items))]["price"] = round(rng.random() * 1000, 2)
    for _ in range(records // 200):
        del items[rng.randrange(len(items))]
        items.insert(rng.randrange(len(items)), record(records + rng.randrange(10 ** 6)))
    new = document()
    return Case("JSON %.0f MB, records revised" % (len(old) / 1e6), "text", old, new, ["seed %d" % SEED])


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
    cases += package_cases(quick)
    cases += [sqlite_case(20000 if quick else 40000), json_case(20000 if quick else 150000)]
    return cases + synthetic_cases(4 * MiB if quick else 16 * MiB)


def fetch():
    """Downloads the wheels of WHEELS that bench/downloads lacks, with pip."""
    import sys
    for name, pair in WHEELS.items():
        for wheel in pair:
            if os.path.isfile(os.path.join(DOWNLOADS, wheel)):
                continue
            version = wheel.split("-")[1]
            # These exact releases, whatever versions the environment's
            # constraints would pin for installing.
            subprocess.run([sys.executable, "-m", "pip", "download", "-q", "--no-deps", "--only-binary=:all:",
                            "-d", DOWNLOADS, "%s==%s" % (name, version)], check=True,
                           env={**os.environ, "PIP_CONSTRAINT": ""})


if __name__ == "__main__":
    import sys
    if sys.argv[1:] != ["--fetch"]:
        sys.exit("usage: python bench/corpus.py --fetch")
    fetch()
