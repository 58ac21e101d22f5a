#!/usr/bin/env bash
# Writes the fuzzers' seed corpora into OUTDIR/convert and OUTDIR/list.
#   scripts/fuzz-seeds.sh MEASGEN OUTDIR
# A conversion seed is one selection byte (bits: 01 p, 02 w, 04 s, 08 c, 10 t, 80 h; 60 the kind of
# output base) followed by a data file made by measgen: valid files of several shapes and
# broken ones. List seeds are small list files.
set -euo pipefail
measgen=$1
out=$2
rm -rf "$out"
mkdir -p "$out/convert" "$out/list"
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

n=0
# seed SELECTION-BYTE-IN-HEX MEASGEN-OPTIONS...
seed() {
  local select=$1
  shift
  "$measgen" "$tmp/file.dat" "$@"
  n=$((n + 1))
  { printf "\\x$select"; cat "$tmp/file.dat"; } >"$out/convert/seed-$(printf %03d $n)"
}

seed 1f --sensors 2 --records 3
seed 3f --sensors 2 --records 3 --start 315626635
seed 5f --sensors 2 --records 3
seed 7f --sensors 4 --records 5 --invalid-every 3
seed 19 --sensors 0 --records 6
seed 0e --sensors 127 --records 2
seed 17 --sensors 1 --records 1 --record 5,7,1.5:1550000 --record -5,-3,-1.25:1499999
seed 1d --serials '../x,A,a,A_2,A,,..\y' --records 2
seed 3d --serials '_pv,_wl,x' --records 2
seed 1f --title 'a title of forty bytes without its nul' --company 'company without nul!' \
  --idn 'idn without its nul!' --unit-serial 'serial without nul!!' --serials 'a serial of thirty-one bytes!!!' --records 1
seed 1b --sensors 3 --records 2 --start 2147483647
seed 1b --sensors 3 --records 2 --start -2147483648
seed 13 --sensors 2 --records 3 --trailing-bytes 11
seed 1f --sensors 2 --records 3 --truncate 0
seed 1f --sensors 2 --records 3 --truncate 1
seed 1f --sensors 2 --records 3 --truncate 2
seed 1f --sensors 2 --records 3 --truncate 23343
seed 1f --sensors 2 --records 3 --truncate 23344
seed 1f --sensors 2 --records 3 --magic XY
seed 1f --sensors 2 --records 3 --magic sart
seed 1f --sensors 2 --records 3 --file-version 1.2
seed 1f --sensors 2 --records 3 --file-version 2.3
seed 1f --sensors 2 --records 3 --count-byte 128
seed 1f --sensors 2 --records 3 --count-byte 255
seed 1f --sensors 2 --records 3 --count-byte 127
seed 1f --sensors 0 --records 3 --count-byte 1
# With h (bit 80).
seed 9f --sensors 2 --records 3
seed bd --sensors 2 --records 3 --start 315626635
seed df --sensors 2 --records 3
seed ff --sensors 4 --records 5 --invalid-every 3
seed 80 --sensors 0 --records 6
seed 80 --sensors 127 --records 2
seed 80 --sensors 2 --records 1 --record '5,7,nan(74565):0,-inf:1650001' --record '-5,8,-0:1500000,inf:-1'
seed 80 --sensors 3 --records 2 --start 2147483647
seed 93 --sensors 2 --records 3 --trailing-bytes 11
seed 80 --sensors 2 --records 3 --truncate 23343
seed 80 --sensors 2 --records 3 --file-version 1.2
seed 80 --sensors 2 --records 3 --count-byte 200

printf 'in.dat,out,tpwc\n# comment\n\n  b.dat , out2\r\nc.dat,,pw\n' >"$out/list/seed-001"
printf ' #a.dat,out,p\na,b,c,d\n,,,\n\t\r\n' >"$out/list/seed-002"
{ printf 'a.dat,out,p'; head -c 990 /dev/zero | tr '\0' ' '; printf 'b.dat,other\n#c.dat\n'; } >"$out/list/seed-003"
{ head -c 480 /dev/zero | tr '\0' 'i'; printf ',out_base_that_is_cut_here,tp\n'; } >"$out/list/seed-004"
printf 'a!"#$%%&'"'"'()*+b\x7f\xff\x80.dat\x00x,~o{u}t|,t\n' >"$out/list/seed-005"
printf 'C:\\My Data\\a.dat,C:\\Out\\a,cpt\r\nin.dat' >"$out/list/seed-006"
