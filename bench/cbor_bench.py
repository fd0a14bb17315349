"""The CBOR section: ostrel_core.cbor.encode, dumps and loads against cbor2
(its compiled extension), msgpack, json and orjson on JSON documents found on this
machine and on typical generated payloads, dict- and string-heavy ones
included."""

import gc
import inspect
import json
import math
import os
import random
import statistics
import time

SEED = 20240522
# Sizes of the documents to pick: the file closest to each, in log scale.
DOCUMENT_SIZES = (2_000, 20_000, 200_000, 1_000_000, 5_000_000)
SEARCH_ROOTS = ("/usr/share",)


def encoders():
    """(name, label, function) of every encoder present, ours first."""
    found = []
    try:
        from ostrel_core import cbor
        found.append(("ostrel", "ostrel_core.cbor.dumps", cbor.dumps))
        found.append(("ostrel-encode", "ostrel_core.cbor.encode", cbor.encode))
        found.append(("ostrel-definite", "... indefinite=False",
                      lambda v: cbor.dumps(v, indefinite=False)))
    except ImportError:
        pass
    try:
        import cbor2
        found.append(("cbor2", "cbor2.dumps", cbor2.dumps))
    except ImportError:
        pass
    try:
        import msgpack
        found.append(("msgpack", "msgpack.packb", msgpack.packb))
    except ImportError:
        pass
    found.append(("json", "json.dumps", json.dumps))
    try:
        import orjson
        found.append(("orjson", "orjson.dumps", orjson.dumps))
    except ImportError:
        pass
    return found


def decoders():
    """(name, label, encode, decode) of every decoder present, ours first.
    cbor2 decodes the bytes of our dumps, the same input as ours; msgpack,
    json and orjson decode their own encoding of the same value."""
    found = []
    try:
        from ostrel_core import cbor
        found.append(("ostrel", "ostrel_core.cbor.loads", cbor.dumps, cbor.loads))
        found.append(("ostrel-definite", "... of dumps(indefinite=False)",
                      lambda v: cbor.dumps(v, indefinite=False), cbor.loads))
        try:
            import cbor2
            found.append(("cbor2", "cbor2.loads", cbor.dumps, cbor2.loads))
        except ImportError:
            pass
    except ImportError:
        pass
    try:
        import msgpack
        found.append(("msgpack", "msgpack.unpackb", msgpack.packb, msgpack.unpackb))
    except ImportError:
        pass
    found.append(("json", "json.loads", json.dumps, json.loads))
    try:
        import orjson
        found.append(("orjson", "orjson.loads", orjson.dumps, orjson.loads))
    except ImportError:
        pass
    return found


def cbor2_backend():
    """Which cbor2 runs: its compiled extension (_cbor2, top-level before
    6.0, inside the package since) or the pure-Python one."""
    try:
        import cbor2
    except ImportError:
        return "absent"
    compiled = inspect.isbuiltin(cbor2.dumps) and inspect.isbuiltin(cbor2.loads)
    return "compiled extension _cbor2" if compiled else "pure Python"


def json_files(roots):
    found = []
    for root in roots:
        for directory, subdirs, files in os.walk(root):
            subdirs.sort()
            for name in sorted(files):
                if name.endswith(".json"):
                    path = os.path.join(directory, name)
                    try:
                        found.append((os.path.getsize(path), path))
                    except OSError:
                        pass
    return found


def pick_documents(roots, sizes=DOCUMENT_SIZES):
    """For each wanted size, the JSON file of closest size that loads; each
    file is used once."""
    candidates = sorted(json_files(roots))
    chosen, used = [], set()
    for size in sizes:
        ranked = sorted((abs(math.log(max(s, 1) / size)), p, s) for s, p in candidates
                        if p not in used)
        for _, path, file_size in ranked[:20]:
            try:
                with open(path, encoding="utf-8") as f:
                    value = json.load(f)
            except (OSError, ValueError, RecursionError):
                continue
            used.add(path)
            label = os.path.join(os.path.basename(os.path.dirname(path)), os.path.basename(path))
            chosen.append(("%s (%d B)" % (label, file_size), path, value))
            break
    return chosen


def records(rng, count=10_000):
    words = ["alpha", "beta", "gamma", "delta", "eps", "zeta", "eta", "theta", "iota", "kappa"]
    return [{"id": i, "user": rng.choice(words) + str(rng.randrange(1000)),
             "score": rng.random() * 1000, "count": rng.randrange(-1000, 100_000),
             "active": rng.random() < 0.5, "tags": rng.sample(words, 3),
             "point": [rng.uniform(-180, 180), rng.uniform(-90, 90)],
             "history": [[rng.randrange(100), rng.random()] for _ in range(3)]}
            for i in range(count)]


def deep(rng, depth, count):
    """`count` values nested `depth` levels deep, lists and maps in turn:
    deep, but within every encoder's nesting limit (orjson's is 254)."""
    out = []
    for i in range(count):
        value = [i, rng.random()]
        for level in range(depth):
            value = {"k": value, "n": level} if level % 2 else [value, "x"]
        out.append(value)
    return out


def service_model(rng, shapes=3000, operations=500):
    """A document shaped like a cloud service's API model: operations and
    shapes, maps of a few short keys each, names built of words, member
    maps and documentation text. Dict- and string-heavy."""
    words = ("Get Put List Describe Create Delete Update Bucket Object Policy Tag Version Request "
             "Result Output Input Token Marker Name Arn Id").split()

    def name(parts):
        return "".join(rng.choice(words) for _ in range(parts))

    def documentation(count):
        return "<p>" + " ".join(rng.choice(words).lower() for _ in range(count)) + "</p>"

    model_shapes = {}
    for i in range(shapes):
        kind = rng.choice(["structure", "string", "list", "integer", "map", "boolean", "timestamp"])
        shape = {"type": kind}
        if kind == "structure":
            shape["required"] = [name(2) for _ in range(rng.randrange(3))]
            shape["members"] = {name(2): {"shape": name(3), "documentation": documentation(rng.randrange(5, 30)),
                                          "location": rng.choice(["uri", "querystring", "header"]),
                                          "locationName": name(1)}
                                for _ in range(rng.randrange(1, 8))}
        elif kind == "string":
            shape.update({"max": rng.randrange(1, 2048), "min": 1, "pattern": "^[a-zA-Z0-9_-]+$"})
        elif kind == "list":
            shape["member"] = {"shape": name(2)}
        model_shapes[name(3) + str(i)] = shape
    model_operations = {
        name(2) + str(i): {"name": name(2),
                           "http": {"method": rng.choice(["GET", "PUT", "POST"]),
                                    "requestUri": "/{Bucket}/" + name(1), "responseCode": 200},
                           "input": {"shape": name(2)}, "output": {"shape": name(2)},
                           "errors": [{"shape": name(1)} for _ in range(rng.randrange(3))],
                           "documentation": documentation(40)}
        for i in range(operations)}
    return {"version": "2.0", "metadata": {"apiVersion": "2006-03-01", "protocol": "rest-xml",
                                           "serviceId": "Storage"},
            "operations": model_operations, "shapes": model_shapes}


def payloads(quick):
    rng = random.Random(SEED)
    floats = 100_000 if quick else 500_000
    source = "generated, seed %d" % SEED
    return [("10,000 records", source, records(rng)),
            ("%d floats" % floats, source, [rng.uniform(-1e6, 1e6) for _ in range(floats)]),
            ("nesting 200 deep x 200", source, deep(rng, 200, 200)),
            ("service model", source, service_model(rng)),
            ("10,000 five-key records", source,
             [{"id": i, "name": "user%d" % i, "email": "u%d@example.com" % i, "active": i % 2 == 0,
               "score": i * 0.5} for i in range(10_000)]),
            ("100,000 short strings", source, ["s%d" % rng.randrange(10**6) for _ in range(100_000)])]


def peers_that_ran():
    """The peers measured, with their versions, as one line."""
    from importlib import metadata
    found = []
    for name in ("cbor2", "orjson", "msgpack"):
        try:
            found.append("%s %s" % (name, metadata.version(name)))
        except metadata.PackageNotFoundError:
            found.append("%s absent" % name)
    return ", ".join(found) + "; cbor2 is the %s" % cbor2_backend()


def decodes_to(encoded, value):
    """Whether an independent decoder reads `value` back (true when cbor2 is
    absent: nothing to check with)."""
    try:
        import cbor2
    except ImportError:
        return True
    return cbor2.loads(encoded) == value


def time_call(fn, value, sample_seconds, samples):
    """Median seconds of one call, each sample long enough to be timed."""
    loops = 1
    while True:
        start = time.perf_counter()
        for _ in range(loops):
            fn(value)
        elapsed = time.perf_counter() - start
        if elapsed >= sample_seconds or loops >= 1 << 20:
            break
        loops *= max(2, min(10, int(sample_seconds / max(elapsed, 1e-9)) + 1))
    results = [elapsed / loops]
    for _ in range(samples - 1):
        start = time.perf_counter()
        for _ in range(loops):
            fn(value)
        results.append((time.perf_counter() - start) / loops)
    return statistics.median(results)


def run(quick, roots=None):
    import corpus
    roots = roots or SEARCH_ROOTS + (corpus.pyenv_root(),)
    sample_seconds, samples = (0.02, 3) if quick else (0.05, 5)
    docs = pick_documents(roots, DOCUMENT_SIZES[:3] if quick else DOCUMENT_SIZES)
    inputs = [(label, path, value, "document") for label, path, value in docs]
    inputs += [(label, source, value, "payload") for label, source, value in payloads(quick)]
    # The inputs held here are millions of objects: frozen, the collector's
    # full passes stop charging them to whichever call happens to run.
    gc.collect()
    gc.freeze()
    try:
        return [measure_input(label, source, value, kind, sample_seconds, samples)
                for label, source, value, kind in inputs]
    finally:
        gc.unfreeze()


def measure_input(label, source, value, kind, sample_seconds, samples):
    """Every encoder and decoder on one input."""
    row = {"input": label, "source": source, "kind": kind, "results": {}}
    for name, _, fn in encoders():
        try:
            encoded = fn(value)
            if name.startswith("ostrel") and not decodes_to(encoded, value):
                raise ValueError("cbor2 does not read the value back from our bytes")
            size = len(encoded)
            seconds = time_call(fn, value, sample_seconds, samples)
            row["results"][name] = {"size": size, "seconds": seconds,
                                    "mb_per_s": size / seconds / 1e6}
        except Exception as e:  # an encoder that refuses the input
            row["results"][name] = {"error": "%s: %s" % (type(e).__name__, e)}
    row["decoding"] = {}
    for name, _, encode, decode in decoders():
        try:
            encoded = encode(value)
            if name.startswith("ostrel") and decode(encoded) != value:
                raise ValueError("loads does not give the value back")
            seconds = time_call(decode, encoded, sample_seconds, samples)
            row["decoding"][name] = {"size": len(encoded), "seconds": seconds,
                                     "mb_per_s": len(encoded) / seconds / 1e6}
        except Exception as e:  # a decoder that refuses the input
            row["decoding"][name] = {"error": "%s: %s" % (type(e).__name__, e)}
    return row
