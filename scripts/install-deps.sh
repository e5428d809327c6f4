#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, when any is missing.
# Safe to run repeatedly: does nothing once everything is present.
set -euo pipefail

packages=(
  build-essential cmake pkg-config
  libsodium-dev
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  python3 python3-dev python3-nacl
  python3-venv python3-pip python3-setuptools python3-wheel mypy
  clang libclang-rt-dev
  # The Windows legs: cross compilers with the posix thread model (std::thread, std::mutex)
  # and Wine to run the 64-bit test programs. Only amd64 packages: the i386 architecture is
  # never enabled (32-bit builds are compiled and linked, not run).
  g++-mingw-w64-x86-64-posix g++-mingw-w64-i686-posix wine64
  # libsodium for the Windows legs, built from Debian's source package (apt-get source unpacks
  # with dpkg-source; the package's sources carry no generated configure script).
  dpkg-dev autoconf automake libtool
)

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
