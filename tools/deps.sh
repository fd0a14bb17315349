#!/usr/bin/env bash
# Installs what the build and the tests need on a fresh machine of this kind
# (Debian with pyenv's CPython 3.12), and the further Debian packages named as
# arguments. Idempotent: installs only what is missing.
#
#   bash tools/deps.sh [PACKAGE...]
set -euo pipefail

# libdivsufsort-dev twice: the native library and the i386 one that the
# -m32 build links (Debian multiarch; the i386 architecture is enabled below).
packages=(g++-multilib googletest clang libclang-rt-14-dev llvm pkgconf libxxhash-dev
  "libdivsufsort-dev:$(dpkg --print-architecture)" libdivsufsort-dev:i386 "$@")
command -v cmake >/dev/null || packages+=(cmake)
command -v ninja >/dev/null || packages+=(ninja-build)

missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "deps: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO=sudo
  dpkg --print-foreign-architectures | grep -qx i386 || $SUDO dpkg --add-architecture i386
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}" >/dev/null
fi
