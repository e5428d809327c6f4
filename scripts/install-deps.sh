#!/usr/bin/env bash
# Installs the Debian packages a make target needs, when any is missing. Safe to run repeatedly:
# does nothing once everything is present.
#   install-deps.sh demo    the module and the demonstrations
#   install-deps.sh check   also the Linux tests (GoogleTest, PyNaCl for the interop tests)
#   install-deps.sh test    everything make test builds and runs (the default): also the
#                           benchmarks, the pip install legs, clang for the fuzz targets, and the
#                           Windows legs (mingw cross compilers, Wine, and what building libsodium
#                           from Debian's source package takes)
set -euo pipefail

demo=(build-essential cmake pkg-config libsodium-dev python3 python3-dev)
check=(googletest libgtest-dev libgmock-dev python3-nacl)
test=(
  libbenchmark-dev
  python3-venv python3-pip python3-setuptools python3-wheel mypy
  clang libclang-rt-dev
  # The Windows legs: cross compilers with the posix thread model (std::thread, std::mutex)
  # and Wine to run the 64-bit test programs. Only amd64 packages: the i386 architecture is
  # never enabled (32-bit builds are compiled and linked, not run).
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64
  # Their binutils, named for the Windows module: dlltool makes the interpreters' import
  # libraries, strip and objdump make and read build/dist/.
  binutils-mingw-w64-x86-64 binutils-mingw-w64-i686
  # libsodium for Windows, from Debian's source package (apt-get source, autoreconf).
  dpkg-dev autoconf automake libtool
)

case "${1:-test}" in
  demo) packages=("${demo[@]}") ;;
  check) packages=("${demo[@]}" "${check[@]}") ;;
  test) packages=("${demo[@]}" "${check[@]}" "${test[@]}") ;;
  *) echo "usage: $0 [demo|check|test]" >&2; exit 2 ;;
esac

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

echo "install-deps: installing ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
