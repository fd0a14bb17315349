# Sourced by the scripts in tools/: paths and the CPython interpreters that
# pyenv keeps, one per minor version the module supports.
ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
PYENV_ROOT="${PYENV_ROOT:-$(pyenv root 2>/dev/null || echo "$HOME/.pyenv")}"
PYTHON_VERSIONS=(3.9 3.10 3.11 3.12 3.13)
VENV="$ROOT/.venv"  # the project's environment, on CPython 3.12

configure() {  # configure PRESET: configure the core build of a CMake preset
  local generator=()
  command -v ninja >/dev/null && generator=(-G Ninja)
  cmake --preset "$1" "${generator[@]}" -S "$ROOT" >/dev/null
}

python_of() {  # python_of 3.X: the newest CPython 3.X under pyenv; fails if there is none
  local python
  python="$(ls -d "$PYENV_ROOT"/versions/"$1".*/bin/python"$1" 2>/dev/null | sort -V | tail -1)"
  if [ -z "$python" ]; then
    echo "CPython $1 not found under $PYENV_ROOT/versions" >&2
    return 1
  fi
  echo "$python"
}

venv_of() {  # venv_of 3.X: the virtual environment of CPython 3.X ($VENV for 3.12)
  if [ "$1" = 3.12 ]; then echo "$VENV"; else echo "$ROOT/.venv-$1"; fi
}

make_venv() {  # make_venv [3.X]: the environment of CPython 3.X (3.12) with the module installed
  local version="${1:-3.12}" python venv
  python="$(python_of "$version")"
  venv="$(venv_of "$version")"
  [ -x "$venv/bin/python" ] || "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip
  "$venv/bin/python" -m pip install -q -r "$ROOT/tests/python/requirements.txt"
  "$venv/bin/python" -m pip install -q "$ROOT"
}
