# Sourced by the scripts in tools/: paths and the CPython 3.12 interpreter.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYENV_ROOT="${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}"
PYTHON312="$(ls -d "$PYENV_ROOT"/versions/3.12.*/bin/python3.12 2>/dev/null | sort -V | tail -1)"
VENV="$ROOT/.venv"

configure() {  # configure PRESET: configure the core build of a CMake preset
  local generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  cmake --preset "$1" "${generator[@]}" -S "$ROOT" >/dev/null
}

make_venv() {  # the project's virtual environment with the module installed
  if [ -z "$PYTHON312" ]; then
    echo "CPython 3.12 not found under $PYENV_ROOT/versions" >&2
    exit 1
  fi
  [ -x "$VENV/bin/python" ] || "$PYTHON312" -m venv "$VENV"
  "$VENV/bin/python" -m pip install -q --upgrade pip
  "$VENV/bin/python" -m pip install -q -r "$ROOT/tests/python/requirements.txt"
  "$VENV/bin/python" -m pip install -q "$ROOT"
}
