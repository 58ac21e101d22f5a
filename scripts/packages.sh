#!/usr/bin/env bash
# The Debian package: cpack makes measconv_VERSION_amd64.deb from build/; the test checks its
# name, dependencies and contents, installs it with dpkg -i (as root; else it extracts it with
# dpkg-deb -x), converts examples/sample.dat with the installed measconv, compares the result
# with examples/expected, and renders the installed manual pages. A package this script
# installed is removed again. Ends with "deb: N passed, F failed".
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# The programs of the package; each has a manual page.
programs=(measconv measgen measinfo meas)

./scripts/ensure-tools.sh --packages
cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release >/dev/null
nice -n 10 cmake --build build --target "${programs[@]}" man_pages >/dev/null

version=$(sed -n 's/.*MEASCONV_VERSION\[\] = "\(.*\)";/\1/p' build/generated/measconv_version.h)
arch=$(dpkg --print-architecture)
deb="build/measconv_${version}_${arch}.deb"
rm -f "$deb"
(cd build && cpack -G DEB >/dev/null 2>&1) || (cd build && cpack -G DEB)

. scripts/checks.sh  # the working directory is the repository here

check "cpack made $deb" test -f "$deb"
[ -f "$deb" ] || { echo "deb: $passed passed, $failed failed"; exit 1; }
check "package name" test "$(dpkg-deb -f "$deb" Package)" = measconv
check "package version" test "$(dpkg-deb -f "$deb" Version)" = "$version"
depends=$(dpkg-deb -f "$deb" Depends)
echo "Depends: $depends"
# dpkg-shlibdeps finds the C and C++ runtimes the programs link.
check "depends on the C library" contains "$depends" libc6
check "depends on the C++ library" contains "$depends" libstdc++6
contents="$(dpkg-deb -c "$deb" | awk '{print $6}' | sed 's|^\./|/|')"$'\n'
expected=(/usr/share/doc/measconv/README.md)
for page in doc/*.md doc/*.svg; do expected+=("/usr/share/doc/measconv/$page"); done
for program in "${programs[@]}"; do expected+=("/usr/bin/$program" "/usr/share/man/man1/$program.1.gz"); done
for path in "${expected[@]}"; do check "package holds $path" contains "$contents" "$path"$'\n'; done

scratch=$(mktemp -d)
installed_here=no
cleanup() {
  if [ "$installed_here" = yes ]; then dpkg -r measconv >/dev/null || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# Install into the machine where we may and it holds no measconv package yet; else unpack.
if [ "$(id -u)" -eq 0 ] && ! dpkg -s measconv >/dev/null 2>&1; then
  if dpkg -i "$deb" >"$scratch/dpkg.log" 2>&1; then
    check "dpkg -i $deb" true
  else
    cat "$scratch/dpkg.log"
    check "dpkg -i $deb" false
  fi
  installed_here=yes
  prefix=""
else
  dpkg-deb -x "$deb" "$scratch/root"
  prefix="$scratch/root"
  echo "(not installed: extracted into $prefix)"
fi

mkdir "$scratch/run"
cp examples/sample.dat "$scratch/run/"
out=$(cd "$scratch/run" && TZ=UTC "$prefix/usr/bin/measconv" tpwcsh sample.dat sample)
check "installed measconv prints nothing" test -z "$out"
check "installed measconv: per-sensor files" diff -r "$scratch/run/sample" "$root/examples/expected/sample"
for name in pv.txt wl.txt pv.csv wl.csv; do
  check "installed measconv: sample_$name" cmp "$scratch/run/sample_$name" "$root/examples/expected/sample_$name"
done
check "installed measconv: sample.h5" cmp "$scratch/run/sample.h5" "$root/examples/expected/sample.h5"
for program in measgen measinfo meas; do
  check "installed $program prints its version" test "$("$prefix/usr/bin/$program" --version)" = "$program $version"
done
mkdir "$scratch/run/meas"
(cd "$scratch/run" && TZ=UTC "$prefix/usr/bin/meas" convert -q -t tpwcs -o meas/sample sample.dat)
check "installed meas writes measconv's per-sensor files" diff -r "$scratch/run/meas/sample" "$root/examples/expected/sample"
check "installed meas writes measconv's sample_pv.csv" cmp "$scratch/run/meas/sample_pv.csv" "$root/examples/expected/sample_pv.csv"
check "installed measinfo finds the sample clean" \
  test "$(cd "$scratch/run" && TZ=UTC "$prefix/usr/bin/measinfo" --check sample.dat)" = "sample.dat: ok"
check "installed meas check finds the sample clean" \
  test "$(cd "$scratch/run" && TZ=UTC "$prefix/usr/bin/meas" check sample.dat)" = "sample.dat: ok"
(cd "$scratch/run" && "$prefix/usr/bin/meas" gen --records 5 by_meas.dat && "$prefix/usr/bin/measgen" --records 5 by_measgen.dat)
check "installed meas gen writes what measgen writes" cmp "$scratch/run/by_meas.dat" "$scratch/run/by_measgen.dat"
for program in "${programs[@]}"; do
  check "installed $program.1.gz renders cleanly" "$root/scripts/check-man-page.sh" "$prefix/usr/share/man/man1/$program.1.gz"
  if [ -z "$prefix" ]; then
    check "man $program finds the installed page" test "$(MANWIDTH=80 LC_ALL=C man "$program" 2>/dev/null | head -1 | awk '{print $1}')" = "${program^^}(1)"
  fi
done

echo "deb: $passed passed, $failed failed ($deb)"
[ "$failed" -eq 0 ]
