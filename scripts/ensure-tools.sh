#!/usr/bin/env bash
# Installs, from Debian's packages, whatever the build and the tests need and the machine lacks.
#   scripts/ensure-tools.sh [--full] [--packages] [--windows] [--cluster] [--spreadsheet]
# --full: clang and its runtimes for the sanitizer and fuzz runs; --packages: what cpack and the
# package test use; --windows: the MinGW-w64 cross compiler, Wine, dpkg-source and zlib for
# MinGW; --cluster: Slurm, munge and sshd for the shard recipes on real engines (scripts/cluster.sh);
# --spreadsheet: headless LibreOffice Calc, for the test of the spreadsheet recipe (some 80 MB,
# a minute or so).
set -euo pipefail

missing=()
minimal=()  # installed without their recommended packages (Wine's would bring a whole desktop stack)
command -v cmake >/dev/null || missing+=(cmake)
command -v ninja >/dev/null || missing+=(ninja-build)
command -v g++ >/dev/null || missing+=(g++)
command -v python3 >/dev/null || missing+=(python3)
[ -e /usr/lib/x86_64-linux-gnu/cmake/GTest ] || [ -e /usr/lib/cmake/GTest ] || [ -e /usr/lib/x86_64-linux-gnu/libgtest.a ] || missing+=(libgtest-dev)
# The shard recipe cluster/parallel-shards.sh is tested for real.
command -v parallel >/dev/null || missing+=(parallel)
# Tests convert times in named zones (daylight-saving changes).
[ -e /usr/share/zoneinfo/Europe/Berlin ] || missing+=(tzdata)
# measinfo writes its JSON lines with nlohmann-json; its tests render the SVG plot with rsvg-convert.
[ -e /usr/include/nlohmann/json.hpp ] || missing+=(nlohmann-json3-dev)
command -v rsvg-convert >/dev/null || missing+=(librsvg2-bin)
# meas parses its options with CLI11 (header-only).
[ -e /usr/include/CLI/CLI.hpp ] || missing+=(libcli11-dev)
# The HDF5 output (letter h), and the test that loads every output with h5py and pandas under
# Debian's own python (the python3 on PATH may be another one).
[ -e /usr/include/hdf5/serial/hdf5.h ] || [ -e /usr/include/hdf5.h ] || missing+=(libhdf5-dev)
[ -x /usr/bin/python3 ] || missing+=(python3)
/usr/bin/python3 -c 'import h5py' 2>/dev/null || missing+=(python3-h5py)
/usr/bin/python3 -c 'import pandas' 2>/dev/null || missing+=(python3-pandas)
# The clients of the HDF5 file, each run by a test with the recipes of doc/hdf5.md: xarray with its
# h5netcdf and netcdf4 engines, ncdump, GNU Octave's netcdf package, R's hdf5r and ncdf4. Without
# their recommended packages (Octave's would bring a desktop stack; about 70 s in all on a fresh machine).
for module in xarray:python3-xarray h5netcdf:python3-h5netcdf netCDF4:python3-netcdf4; do
  [ -d "/usr/lib/python3/dist-packages/${module%%:*}" ] || minimal+=("${module#*:}")
done
[ -x /usr/bin/ncdump ] || minimal+=(netcdf-bin)
[ -x /usr/bin/octave ] || minimal+=(octave)
ls -d /usr/lib/x86_64-linux-gnu/octave/packages/netcdf-* >/dev/null 2>&1 || minimal+=(octave-netcdf)
[ -e /usr/lib/R/site-library/hdf5r/DESCRIPTION ] || minimal+=(r-cran-hdf5r)
[ -e /usr/lib/R/site-library/ncdf4/DESCRIPTION ] || minimal+=(r-cran-ncdf4)
# Read and write failures are injected at the system-call level in the tests.
command -v strace >/dev/null || missing+=(strace)
# A test holds an output's lock with flock(1) while measconv runs.
command -v flock >/dev/null || missing+=(util-linux)
# The manual pages are rendered by man in a test.
command -v man >/dev/null || missing+=(man-db)
for option in "$@"; do
  case "$option" in
    --full)
      command -v clang++ >/dev/null || missing+=(clang)
      ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 || missing+=(libclang-rt-dev)
      ;;
    --packages)
      # dpkg-shlibdeps turns the libraries the programs link into the Debian package's dependencies.
      command -v dpkg-shlibdeps >/dev/null || missing+=(dpkg-dev)
      ;;
    --spreadsheet)
      command -v soffice >/dev/null || minimal+=(libreoffice-calc-nogui)
      ;;
    --windows)
      command -v x86_64-w64-mingw32-g++ >/dev/null || minimal+=(g++-mingw-w64-x86-64)
      command -v wine >/dev/null && command -v wineboot >/dev/null || minimal+=(wine)
      [ -x /usr/lib/wine/wine64 ] || command -v wine64 >/dev/null || minimal+=(wine64)
      # apt-get source unpacks the HDF5 source package (scripts/windows-hdf5.sh) with dpkg-source.
      command -v dpkg-source >/dev/null || minimal+=(dpkg-dev)
      # HDF5's deflate filter in the Windows build: Debian's zlib for MinGW.
      [ -e /usr/x86_64-w64-mingw32/lib/libz.a ] || minimal+=(libz-mingw-w64-dev)
      ;;
    --cluster)
      command -v slurmctld >/dev/null && command -v slurmd >/dev/null && command -v sbatch >/dev/null || minimal+=(slurm-wlm)
      command -v munged >/dev/null && command -v mungekey >/dev/null || minimal+=(munge)
      [ -x /usr/sbin/sshd ] && command -v ssh >/dev/null && command -v ssh-keygen >/dev/null || minimal+=(openssh-server)
      ;;
    *) echo "ensure-tools.sh: unknown option $option" >&2; exit 2 ;;
  esac
done

if [ ${#missing[@]} -gt 0 ] || [ ${#minimal[@]} -gt 0 ]; then
  # One line for the whole install; apt's and dpkg's output goes to a log that stays.
  log=$(mktemp "${TMPDIR:-/tmp}/measconv-install.XXXXXX.log")
  all=("${missing[@]}" "${minimal[@]}")
  echo "Installing Debian packages: ${all[*]} (log: $log)"
  if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
  # Others may be installing at the same moment: wait for dpkg's lock rather than fail.
  apt=($SUDO env DEBIAN_FRONTEND=noninteractive apt-get -o DPkg::Lock::Timeout=600 -y -q)
  if ! { "${apt[@]}" update &&
         { [ ${#missing[@]} -eq 0 ] || "${apt[@]}" install "${missing[@]}"; } &&
         { [ ${#minimal[@]} -eq 0 ] || "${apt[@]}" install --no-install-recommends "${minimal[@]}"; }; } >"$log" 2>&1; then
    tail -n 20 "$log" >&2
    echo "ensure-tools.sh: installing ${all[*]} failed; the whole output is in $log" >&2
    exit 1
  fi
fi
