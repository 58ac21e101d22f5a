#!/usr/bin/env bash
# Cross-builds the HDF5 C library for the Windows build, once: Debian's own source package of
# the very version the Linux build links (libhdf5-dev), as a static library for MinGW-w64,
# installed into BUILD/hdf5-mingw/install, where cmake/mingw-w64-x86_64.cmake finds it.
#   scripts/windows-hdf5.sh [--run-checks] [BUILD]        (BUILD: build-windows)
# WINEPREFIX must name an initialised Wine prefix whose services run already (scripts/windows.sh
# starts them): the configure checks and two helper programs of the library's build are Windows
# programs, run under Wine through scripts/wine-exec. A later run with the same version, options
# and scripts does nothing. --run-checks runs every configure check instead of taking the
# results that cmake/hdf5-mingw.cmake knows for the target (to compare src/H5pubconf.h).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
run_checks=OFF
if [ "${1:-}" = "--run-checks" ]; then run_checks=ON; shift; fi
home="$root/${1:-build-windows}/hdf5-mingw"
: "${WINEPREFIX:?WINEPREFIX must name the Wine prefix}"

version=$(dpkg-query -W -f '${source:Version}' libhdf5-dev)
recipe="$version $run_checks $(cat scripts/windows-hdf5.sh scripts/wine-exec cmake/hdf5-mingw.cmake \
  cmake/mingw-w64-x86_64.cmake | sha256sum | cut -c1-16)"
stamp="$home/install/built-from"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$recipe" ]; then
  echo "hdf5-mingw: HDF5 $version for MinGW is built ($home/install)"
  exit 0
fi
started=$(date +%s)
rm -rf "$home/build" "$home/install"

# The source package, through a deb-src entry of our own for the Debian suites the machine's
# own packages come from (same mirror): apt's state for it stays in the build tree, so neither
# the machine's apt configuration nor its package lists change.
upstream=${version#*:}  # the folder's name holds neither the epoch nor the Debian revision
source_dir="$home/source/hdf5-${upstream%-*}"
if [ ! -f "$source_dir/CMakeLists.txt" ]; then
  apt_dir="$home/apt"
  rm -rf "$apt_dir" "$home/source"
  mkdir -p "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$apt_dir/sources.list.d" "$home/source"
  . /etc/os-release
  apt-get indextargets --format '$(REPO_URI) $(CODENAME)' 'Created-By: Packages' 'Origin: Debian' | sort -u |
    while read -r uri suite; do
      case "$suite" in
        "$VERSION_CODENAME" | "$VERSION_CODENAME"-*)
          echo "deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] $uri $suite main" ;;
      esac
    done >"$apt_dir/sources.list"
  [ -s "$apt_dir/sources.list" ] || { echo "hdf5-mingw: no Debian suite '$VERSION_CODENAME' in apt's sources" >&2; exit 1; }
  apt_options=(-o "Dir::Etc::SourceList=$apt_dir/sources.list" -o "Dir::Etc::SourceParts=$apt_dir/sources.list.d"
    -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache")
  # apt's download user may not enter the build tree; as root, download as root then.
  [ "$(id -u)" -ne 0 ] || apt_options+=(-o APT::Sandbox::User=root)
  echo "== hdf5-mingw: Debian's source package hdf5 $version (deb-src of $VERSION_CODENAME)"
  apt-get "${apt_options[@]}" -qq update
  (cd "$home/source" && apt-get "${apt_options[@]}" -qq source "hdf5=$version" >/dev/null)
  [ -f "$source_dir/CMakeLists.txt" ] || { echo "hdf5-mingw: no $source_dir after apt-get source" >&2; exit 1; }
fi

# HDF5 1.10.8 takes <unistd.h> for a sign of POSIX and then includes <sys/wait.h>, which MinGW
# lacks; nothing of it is used (H5_HAVE_WAITPID is not set), so an empty one stands in.
mkdir -p "$home/shim/sys"
echo "/* Empty: MinGW has no <sys/wait.h>; HDF5 includes it but uses none of it. */" >"$home/shim/sys/wait.h"

echo "== hdf5-mingw: configuring and building the static libraries ($home)"
mkdir -p "$home/build"
# From inside the build folder: a configure check writes its result into the current folder.
# Always a fresh folder: the library sets its large-file flags only in a first configure.
(cd "$home/build" &&
  cmake -S "$source_dir" -B . -G Ninja -C "$root/cmake/hdf5-mingw.cmake" -DMEASCONV_HDF5_RUN_CHECKS=$run_checks \
    -DCMAKE_TOOLCHAIN_FILE="$root/cmake/mingw-w64-x86_64.cmake" -DCMAKE_CROSSCOMPILING_EMULATOR="$root/scripts/wine-exec" \
    -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_FLAGS="-isystem $home/shim" -DCMAKE_INSTALL_PREFIX="$home/install" \
    >"$home/configure.log" 2>&1) || { tail -30 "$home/configure.log" >&2; echo "hdf5-mingw: configure failed" >&2; exit 1; }
configured=$(date +%s)
nice -n 10 cmake --build "$home/build" -j 2 >"$home/build.log" 2>&1 ||
  { grep -B2 -A10 -m3 'FAILED\|error:' "$home/build.log" >&2; echo "hdf5-mingw: build failed" >&2; exit 1; }
cmake --install "$home/build" >"$home/install.log"
echo "$recipe" >"$stamp"
finished=$(date +%s)
echo "hdf5-mingw: HDF5 $version built in $((finished - started)) s (configure $((configured - started)) s)"
