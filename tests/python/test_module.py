"""The module tree of ostrel_core: registration, doc texts, rendered
signatures, the interpreter check, and the core functions it exports."""

import ast
import ctypes
import importlib
import os
import subprocess
import sys
import sysconfig
from pathlib import Path

import pytest

import ostrel_core

CBOR_DOC = (
    "\n"
    "            Ostrel cbor\n"
    "            -----------------------\n"
    "\n"
    "            .. currentmodule:: ostrel_cbor\n"
    "\n"
    "            .. autosummary::\n"
    "               :toctree: _generate\n"
    "\n"
    "               dumps\n"
    "        "
)
DELTA_DOC = (
    "\n"
    "        Ostrel Delta\n"
    "        -----------------------\n"
    "\n"
    "        .. currentmodule:: ostrel_delta\n"
    "\n"
    "        .. autosummary::\n"
    "           :toctree: _generate\n"
    "\n"
    "           diff\n"
    "    "
)
IN_BUF = "ostrel_core.delta.PythonInBuf"
OUT_BUF = "ostrel_core.delta.PythonOutBuf"

FUNCTION_DOCS = [
    (
        "cbor",
        "dumps",
        "dumps(value: Union[bool, float, int, list, tuple, dict, bytes, str, None, bool, int, int, str],"
        " indefinite: bool = True, max_depth: int = 0) -> bytes",
        "\n        Dump a Python object to cbor\n        ",
    ),
    (
        "delta",
        "diff",
        f"diff(old_value: {IN_BUF}, new_value: {IN_BUF}) -> {OUT_BUF}",
        "\n    Diff between 'old_value' and 'new_value'\n    ",
    ),
    (
        "delta",
        "patch",
        f"patch(old_value: {IN_BUF}, diff: {IN_BUF}) -> {OUT_BUF}",
        "\n    Apply 'diff' to 'old_value'\n    ",
    ),
]


def test_top_level_module():
    assert ostrel_core.__name__ == "ostrel_core"
    assert ostrel_core.__doc__ is None
    assert not hasattr(ostrel_core, "__version__")
    assert Path(ostrel_core.__file__).name == "ostrel_core" + sysconfig.get_config_var("EXT_SUFFIX")


@pytest.mark.parametrize(("name", "doc"), [("cbor", CBOR_DOC), ("delta", DELTA_DOC)])
def test_submodules_are_children(name, doc):
    child = getattr(ostrel_core, name)
    assert child.__name__ == f"ostrel_core.{name}"
    assert sys.modules[f"ostrel_core.{name}"] is child
    assert importlib.import_module(f"ostrel_core.{name}") is child
    assert child.__doc__ == doc
    assert child.__version__ == "dev"


def test_submodule_contents():
    public = {name for name in vars(ostrel_core.cbor) if not name.startswith("_")}
    assert public == {"dumps", "encode", "loads", "CBORDecodeError", "CBORTag", "CBORSimpleValue", "UndefinedType", "undefined"}
    public = {name for name in vars(ostrel_core.delta) if not name.startswith("_")}
    assert public == {"PythonOutBuf", "PythonInBuf", "diff", "patch", "ActivityHistory", "compute", "apply", "Index",
                      "check_record", "CheckError"}
    from ostrel_core import delta
    from ostrel_core.cbor import dumps

    assert delta is ostrel_core.delta and dumps is ostrel_core.cbor.dumps


@pytest.mark.parametrize(("module", "name", "signature", "doc"), FUNCTION_DOCS)
def test_function_docs_and_signatures(module, name, signature, doc):
    # pybind11 puts the rendered signature line first, then the doc text.
    assert getattr(getattr(ostrel_core, module), name).__doc__ == f"{signature}\n\n{doc}\n"


def test_classes():
    delta = ostrel_core.delta
    for cls in (delta.PythonInBuf, delta.PythonOutBuf):
        assert cls.__module__ == "ostrel_core.delta"
        assert cls.__doc__ is None
    assert delta.PythonInBuf.__init__.__doc__ == f"__init__(self: {IN_BUF}, arg0: bytes) -> None\n"


def test_help_of_patch_shows_parameters_in_order():
    import pydoc

    text = pydoc.render_doc(ostrel_core.delta.patch, renderer=pydoc.plaintext)
    assert f"patch(old_value: {IN_BUF}, diff: {IN_BUF}) -> {OUT_BUF}" in text


# --- the interpreter check ----------------------------------------------------

BUILT_FOR = f"{sys.version_info.major}.{sys.version_info.minor}"
OTHER_VERSION = "3.12" if BUILT_FOR == "3.13" else "3.13"
OTHER_PYTHON = next(
    Path(os.environ.get("PYENV_ROOT", Path.home() / ".pyenv"), "versions").glob(f"{OTHER_VERSION}.*/bin/python{OTHER_VERSION}"),
    Path("python" + OTHER_VERSION),
)

LOAD_UNDER_OTHER_PYTHON = """
import importlib.machinery, importlib.util, os, sys
path = sys.argv[1]
# Bind lazily: the module uses symbols that this interpreter may lack,
# and the check must get to run before any of them is needed.
sys.setdlopenflags(os.RTLD_LAZY)
loader = importlib.machinery.ExtensionFileLoader("ostrel_core", path)
spec = importlib.util.spec_from_file_location("ostrel_core", path, loader=loader)
try:
    importlib.util.module_from_spec(spec)
except ImportError as error:
    print(repr(str(error)))
    print(repr(sys.version))
else:
    print("imported")
"""


@pytest.mark.skipif(not OTHER_PYTHON.exists(), reason=f"{OTHER_PYTHON} is not installed")
def test_other_interpreter_is_refused():
    run = subprocess.run(
        [str(OTHER_PYTHON), "-c", LOAD_UNDER_OTHER_PYTHON, ostrel_core.__file__],
        capture_output=True,
        text=True,
        check=True,
    )
    message, version = (ast.literal_eval(line) for line in run.stdout.splitlines())
    assert version.startswith(OTHER_VERSION)
    assert message == (
        f"Python version mismatch: module was compiled for Python {BUILT_FOR}, "
        f"but the interpreter version is incompatible: {version}."
    )


# --- core functions exported by the module file -------------------------------


class Generator(ctypes.Structure):
    _fields_ = [("data", ctypes.POINTER(ctypes.c_uint8)), ("len", ctypes.c_int)]


class Buf(ctypes.Structure):
    _fields_ = [("data", ctypes.c_void_p), ("len", ctypes.c_size_t), ("capacity", ctypes.c_size_t)]


def test_core_functions_callable_from_the_module_file():
    core = ctypes.CDLL(ostrel_core.__file__)

    core.cbor_generator_create.restype = ctypes.POINTER(Generator)
    core.cbor_write_uint.argtypes = [ctypes.POINTER(Generator), ctypes.c_uint64]
    core.cbor_generator_free.argtypes = [ctypes.POINTER(Generator)]
    generator = core.cbor_generator_create()
    assert core.cbor_write_uint(generator, 1000000) == 0
    assert bytes(generator.contents.data[: generator.contents.len]) == bytes.fromhex("1a000f4240")
    core.cbor_generator_free(generator)

    core.buf_create.restype = ctypes.POINTER(Buf)
    core.buf_write_bytes.argtypes = [ctypes.POINTER(Buf), ctypes.c_char_p, ctypes.c_size_t]
    core.buf_free.argtypes = [ctypes.POINTER(Buf)]
    buffer = core.buf_create()
    core.buf_write_bytes(buffer, b"abc", 3)
    assert ctypes.string_at(buffer.contents.data, buffer.contents.len) == b"abc"
    core.buf_free(buffer)


def test_only_entry_point_and_core_names_are_exported():
    nm = subprocess.run(["nm", "-D", "--defined-only", ostrel_core.__file__], capture_output=True, text=True)
    if nm.returncode != 0:
        pytest.skip("nm is not available")
    names = {line.split()[-1] for line in nm.stdout.splitlines() if line.strip()}
    assert "PyInit_ostrel_core" in names
    assert {"buf_create", "cbor_write_uint", "diff_generate_binary", "diff_apply_binary"} <= names
    assert not [name for name in names if name.startswith("_Z")]
