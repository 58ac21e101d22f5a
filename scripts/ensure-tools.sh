#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and the machine lacks.
set -euo pipefail

missing=()
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
command -v g++ >/dev/null || missing+=(g++)
command -v python3 >/dev/null || missing+=(python3)
[ -e /usr/lib/x86_64-linux-gnu/cmake/GTest ] || [ -e /usr/lib/cmake/GTest ] || [ -e /usr/lib/x86_64-linux-gnu/libgtest.a ] || missing+=(libgtest-dev)
# Tests convert times in named zones (daylight-saving changes).
[ -e /usr/share/zoneinfo/Europe/Berlin ] || missing+=(tzdata)
# measinfo writes its JSON lines with nlohmann-json; its tests render the SVG plot with rsvg-convert.
[ -e /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
command -v rsvg-convert >/dev/null || missing+=(librsvg2-bin)
# The HDF5 output (letter h), and the test that loads every output with h5py and pandas under
# Debian's own python (the python3 on PATH may be another one).
[ -e /usr/include/hdf5/serial/hdf5.h ] || [ -e /usr/include/hdf5.h ] || missing+=(libhdf5-dev)
[ -x /usr/bin/python3 ] || missing+=(python3)
/usr/bin/python3 -c 'import h5py' 2>/dev/null || missing+=(python3-h5py)
/usr/bin/python3 -c 'import pandas' 2>/dev/null || missing+=(python3-pandas)
if [ "${1:-}" = "--full" ]; then
  command -v clang++ >/dev/null || missing+=(clang)
  ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || missing+=(libclang-rt-dev)
fi

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing: ${missing[*]}"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
fi
