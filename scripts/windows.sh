#!/usr/bin/env bash
# The Windows build, tested under Wine:
#  1. cross-compiles the programs for 64-bit Windows with MinGW-w64 (build-windows/), linked
#     statically with the HDF5 library that scripts/windows-hdf5.sh cross-builds once from
#     Debian's source, and builds the Linux programs (build/);
#  2. runs both builds on the same inputs (scripts/wine_compare.py): data files, messages, exit
#     codes and output trees must be byte-identical, and serials that Windows cannot take as
#     names must still give every sensor files of its own;
#  3. packs the Windows zip with cpack and runs its programs from a folder that holds nothing
#     else, after checking that they import no DLL beyond Windows' own.
# Installs what is missing first. Ends with the failed checks, if any, and "windows: PASSED" or
# "windows: FAILED" with the number of failed checks.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# The programs of the Windows package; each is built as PROGRAM.exe.
programs=(measconv measgen measinfo meas)
. scripts/checks.sh  # the working directory is the repository here
stop_on_error windows

./scripts/ensure-tools.sh --windows

# A Wine prefix of our own, made without a display and without asking for Mono or Gecko.
export WINEPREFIX="$root/build-windows/wineprefix" WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY WAYLAND_DISPLAY
trap 'wineserver -k >/dev/null 2>&1 || true' EXIT
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  echo "== making the Wine prefix $WINEPREFIX"
  mkdir -p "$root/build-windows"
  quietly build-windows/wineboot.log timeout 300 wineboot --init
  wineserver -w
fi
# One server and its services for all the runs below (started afresh for each program, they
# would cost a second or two a run), started here with no pipe of ours to inherit.
wineserver -p
quietly build-windows/wineboot-start.log wineboot </dev/null

echo "== building for Linux (build/) and for Windows (build-windows/, with HDF5 cross-built once)"
mkdir -p build
quietly build/windows-configure.log cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
quietly build/windows-build.log nice -n 10 cmake --build build --target programs
./scripts/windows-hdf5.sh build-windows
quietly build-windows/configure.log cmake --no-warn-unused-cli -S . -B build-windows -G Ninja \
  -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-x86_64.cmake -DCMAKE_BUILD_TYPE=Release -DMEASCONV_BUILD_TESTS=OFF \
  -DMEASCONV_BUILD_BASELINE=OFF -DMEASCONV_WITH_HDF5=ON
quietly build-windows/build.log nice -n 10 cmake --build build-windows

echo "== comparing the Windows build under Wine with the Linux build (TZ=UTC)"
status=0
python3 scripts/wine_compare.py build build-windows build-windows/compare || status=1

echo "== the Windows zip"
version=$(sed -n 's/.*MEASCONV_VERSION\[\] = "\(.*\)";/\1/p' build-windows/generated/measconv_version.h)
zip="measconv-$version-win64.zip"
rm -f "build-windows/$zip"
(cd build-windows && quietly cpack.log cpack -G ZIP)
unpacked=build-windows/zip-test
rm -rf "$unpacked"
mkdir -p "$unpacked/package" "$unpacked/run"
(cd "$unpacked/package" && cmake -E tar xf "$root/build-windows/$zip")
home="$unpacked/package/measconv-$version-win64"
expected_files=("README.md" doc/*.md doc/*.svg)
for program in "${programs[@]}"; do expected_files+=("bin/$program.exe"); done
check "zip contents: ${expected_files[*]}" \
  same "$(cd "$home" && find . -type f | sed 's|^\./||' | sort | tr '\n' ' ')" "$(printf '%s\n' "${expected_files[@]}" | sort | tr '\n' ' ')"

# Every DLL a program imports must be one of Windows' own (in Wine's system32), none of MinGW's.
system32="$WINEPREFIX/drive_c/windows/system32"
imports_only_system_dlls() {
  local dll
  for dll in $(x86_64-w64-mingw32-objdump -p "$1" | sed -n 's/^\s*DLL Name: //p'); do
    if [ -z "$(find "$system32" -maxdepth 1 -iname "$dll" -print -quit)" ]; then
      echo "$1 imports $dll, which Windows does not have" >&2
      return 1
    fi
  done
}
for program in "${programs[@]}"; do
  check "$program.exe imports only Windows' DLLs" imports_only_system_dlls "$home/bin/$program.exe"
done

# Run from the unpacked folder, nothing else beside the programs: the sample as examples/expected.
cp examples/sample.dat "$unpacked/run/"
check "measconv.exe from the zip converts the sample, printing nothing" \
  prints_nothing env -C "$unpacked/run" TZ=UTC wine "$root/$home/bin/measconv.exe" tpwcsh sample.dat sample
check "measconv.exe from the zip: per-sensor files" diff -r "$unpacked/run/sample" examples/expected/sample
for name in pv.txt wl.txt pv.csv wl.csv; do
  check "measconv.exe from the zip: sample_$name" cmp "$unpacked/run/sample_$name" "examples/expected/sample_$name"
done
mkdir -p "$unpacked/linux"
build/bin/measconv h examples/sample.dat "$unpacked/linux/sample"
check "measconv.exe from the zip: sample.h5 as the Linux build writes it" cmp "$unpacked/run/sample.h5" "$unpacked/linux/sample.h5"
for program in measgen measinfo; do
  check "$program.exe from the zip prints its version" \
    same "$(cd "$unpacked/run" && wine "$root/$home/bin/$program.exe" --version 2>&1)" "$program $version"
done
check "measinfo.exe from the zip finds the sample clean" \
  same "$(cd "$unpacked/run" && TZ=UTC wine "$root/$home/bin/measinfo.exe" --check sample.dat 2>&1)" "sample.dat: ok"
finish_checks windows-zip || status=1

if [ "$status" -eq 0 ]; then
  echo "windows: PASSED (the Windows build under Wine gives the Linux build's bytes; build-windows/$zip)"
else
  echo "windows: FAILED (the failed checks are listed above: wine: for the comparison, windows-zip: for the zip)"
fi
exit "$status"
