#!/usr/bin/env bash
# The Debian package: cpack makes measconv_VERSION_amd64.deb from build/; the test checks its
# name, dependencies and contents, installs it with dpkg -i (as root; else it extracts it with
# dpkg-deb -x), converts examples/sample.dat with the installed measconv, compares the result
# with examples/expected, and renders the installed manual pages. A package this script
# installed is removed again. Ends with the failed checks, if any, and "deb: N passed, F failed".
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)
# The programs of the package; each has a manual page.
programs=(measconv measgen measinfo meas)
. scripts/checks.sh  # the working directory is the repository here
stop_on_error deb

./scripts/ensure-tools.sh --packages
quietly build/packages-configure.log cmake -S . -B build -G Ninja -DCMAKE_BUILD_TYPE=Release
quietly build/packages-build.log nice -n 10 cmake --build build --target programs

version=$(sed -n 's/.*MEASCONV_VERSION\[\] = "\(.*\)";/\1/p' build/generated/measconv_version.h)
arch=$(dpkg --print-architecture)
deb="build/measconv_${version}_${arch}.deb"
rm -f "$deb"
(cd build && quietly cpack.log cpack -G DEB)

check "cpack made $deb" test -f "$deb"
[ -f "$deb" ] || { finish_checks deb; exit 1; }
check "package name" same "$(dpkg-deb -f "$deb" Package)" measconv
check "package version" same "$(dpkg-deb -f "$deb" Version)" "$version"
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

# dpkg does not wait for its lock, which a fresh machine's own updates may hold for a while:
# this waits up to ten minutes for it.
dpkg_waiting() {
  local waited=0 out
  until out=$(dpkg "$@" 2>&1); do
    if [[ "$out" != *"lock"* ]] || [ "$waited" -ge 600 ]; then
      echo "$out"
      return 1
    fi
    sleep 1
    waited=$((waited + 1))
  done
}

scratch=$(mktemp -d)
installed_here=no
cleanup() {
  if [ "$installed_here" = yes ]; then dpkg_waiting -r measconv || true; fi
  rm -rf "$scratch"
}
trap cleanup EXIT

# Install into the machine where we may and it holds no measconv package yet; else unpack. On a
# machine shared by several package tests, one installs at a time (the lock file): another one's
# removal would pull the package from under this one's checks.
exec {install_lock}>"${TMPDIR:-/tmp}/measconv-package-test.lock"
if [ "$(id -u)" -eq 0 ] && flock -n "$install_lock" && ! dpkg -s measconv >/dev/null 2>&1; then
  installed_here=yes
  check "dpkg -i $deb" dpkg_waiting -i "$deb"
  prefix=""
else
  dpkg-deb -x "$deb" "$scratch/root"
  prefix="$scratch/root"
  echo "(not installed: extracted into $prefix)"
fi

mkdir "$scratch/run"
cp examples/sample.dat "$scratch/run/"
check "installed measconv converts the sample, printing nothing" \
  prints_nothing env -C "$scratch/run" TZ=UTC "$prefix/usr/bin/measconv" tpwcsh sample.dat sample
check "installed measconv: per-sensor files" diff -r "$scratch/run/sample" "$root/examples/expected/sample"
for name in pv.txt wl.txt pv.csv wl.csv; do
  check "installed measconv: sample_$name" cmp "$scratch/run/sample_$name" "$root/examples/expected/sample_$name"
done
check "installed measconv: sample.h5" cmp "$scratch/run/sample.h5" "$root/examples/expected/sample.h5"
for program in measgen measinfo meas; do
  check "installed $program prints its version" same "$("$prefix/usr/bin/$program" --version 2>&1)" "$program $version"
done
mkdir "$scratch/run/meas"
(cd "$scratch/run" && TZ=UTC "$prefix/usr/bin/meas" convert -q -t tpwcs -o meas/sample sample.dat)
check "installed meas writes measconv's per-sensor files" diff -r "$scratch/run/meas/sample" "$root/examples/expected/sample"
check "installed meas writes measconv's sample_pv.csv" cmp "$scratch/run/meas/sample_pv.csv" "$root/examples/expected/sample_pv.csv"
check "installed measinfo finds the sample clean" \
  same "$(cd "$scratch/run" && TZ=UTC "$prefix/usr/bin/measinfo" --check sample.dat 2>&1)" "sample.dat: ok"
check "installed meas check finds the sample clean" \
  same "$(cd "$scratch/run" && TZ=UTC "$prefix/usr/bin/meas" check sample.dat 2>&1)" "sample.dat: ok"
(cd "$scratch/run" && "$prefix/usr/bin/meas" gen --records 5 by_meas.dat && "$prefix/usr/bin/measgen" --records 5 by_measgen.dat)
check "installed meas gen writes what measgen writes" cmp "$scratch/run/by_meas.dat" "$scratch/run/by_measgen.dat"
for program in "${programs[@]}"; do
  check "installed $program.1.gz renders cleanly" "$root/scripts/check-man-page.sh" "$prefix/usr/share/man/man1/$program.1.gz"
  if [ -z "$prefix" ]; then
    check "man $program finds the installed page" \
      same "$(MANWIDTH=80 LC_ALL=C man "$program" 2>&1 | head -1 | awk '{print $1}')" "${program^^}(1)"
  fi
done

finish_checks deb "($deb)" || exit 1
