#!/usr/bin/env bash
# PNM headers and pixel paths against netpbm: pnm_check.sh PATH-TO-codec_check.
# Headers are parsed as pamfile reports them; files the pixel paths refuse
# are refused; a netpbm image read pixel by pixel and written back is
# byte-identical.
set -euo pipefail
check=$1
for t in ppmmake pgmmake pbmmake pamfile pnmtoplainpnm pamdepth pamtopam pgmramp; do
  command -v "$t" >/dev/null || { echo "outside tool $t is missing: run scripts/setup.sh"; exit 1; }
done
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failures=0
fail() { echo "FAIL: $*"; failures=$((failures + 1)); }

# What pamfile says, as "magic width height maxval".
pamfile_says() {
  pamfile "$1" | head -1 | sed -E \
    -e 's/^[^\t]*\t//' -e 's/PPM raw/P6/; s/PGM raw/P5/; s/PBM raw/P4/; s/PPM plain/P3/; s/PGM plain/P2/; s/PBM plain/P1/' \
    -e 's/^(P[0-9]), ([0-9]+) by ([0-9]+)( +maxval ([0-9]+))?$/\1 \2 \3 \5/' -e 's/ $/ 1/'
}

ours_says() { "$check" pnmhead "$1" | cut -d' ' -f1-4; }

same_header() {
  local want got
  want=$(pamfile_says "$1")
  got=$(ours_says "$1") || { fail "$1: header refused ($want)"; return; }
  [ "$want" = "$got" ] || fail "$1: pamfile says '$want', we read '$got'"
}

ppmmake rgb:10/20/30 640 480 >"$dir/a.ppm"
pgmmake 0.3 7 5 >"$dir/b.pgm"
pbmmake -g 9 2 >"$dir/c.pbm"
ppmmake red 1 1 >"$dir/d.ppm"
pgmramp -lr 300 2 >"$dir/e.pgm"
printf 'P6\r\n# made by hand\r\n3\t2 # a comment\r\n0255\r\n%s' 'abcdefghijklmnopqr' >"$dir/crafted1.ppm"
printf 'P5 \t\n\n0004   # x\n#y\n 2\n255#trailing comment\n%s' '01234567' >"$dir/crafted2.pgm"
printf 'P4\n8 2\n\x81\x42' >"$dir/crafted3.pbm"
for f in a.ppm b.pgm c.pbm d.ppm e.pgm crafted1.ppm crafted2.pgm crafted3.pbm; do same_header "$dir/$f"; done

# Data offsets of the documented headers.
printf 'P6\n640 480\n255\n' >"$dir/o1.ppm"
printf 'P6\r\n3 2\r\n255\r\n' >"$dir/o2.ppm"
printf 'P4\n8 2\n' >"$dir/o3.pbm"
for want in "o1.ppm:P6 640 480 255 15" "o2.ppm:P6 3 2 255 13" "o3.pbm:P4 8 2 1 7"; do
  got=$("$check" pnmhead "$dir/${want%%:*}")
  [ "$got" = "${want#*:}" ] || fail "${want%%:*}: '$got' instead of '${want#*:}'"
done

# Headers that are not PNM, or broken.
printf 'P6\n3 2\n' >"$dir/short.ppm"
printf 'P6\n3 x2\n255\n' >"$dir/junk.ppm"
printf 'P6\n99999999999 2\n255\n' >"$dir/huge.ppm"
printf 'P6\n3 2\n0\n' >"$dir/zero.ppm"
printf 'P9\n3 2\n255\n' >"$dir/magic.ppm"
{ printf 'P6\n#'; head -c 2000 /dev/zero | tr '\0' 'x'; printf '\n3 2\n255\n'; } >"$dir/long.ppm"
pamtopam <"$dir/d.ppm" >"$dir/p7.pam"
for f in short.ppm junk.ppm huge.ppm zero.ppm magic.ppm long.ppm p7.pam; do
  if "$check" pnmhead "$dir/$f" >/dev/null 2>&1; then fail "$f: header accepted"; fi
done

# The pixel paths take P5 and P6 with a maximum up to 255 only.
pnmtoplainpnm "$dir/d.ppm" >"$dir/plain3.ppm"
pnmtoplainpnm "$dir/b.pgm" >"$dir/plain2.pgm"
pnmtoplainpnm "$dir/c.pbm" >"$dir/plain1.pbm"
pamdepth 65535 "$dir/d.ppm" >"$dir/deep.ppm"
for f in plain3.ppm plain2.pgm plain1.pbm deep.ppm c.pbm p7.pam; do
  if "$check" pnmcopy "$dir/$f" "$dir/out.ppm" >/dev/null 2>&1; then fail "$f: pixels read"; fi
done
same_header "$dir/deep.ppm"

# Read pixel by pixel and written back whole: the same bytes.
python3 - "$dir" <<'PY'
import random, sys
rnd = random.Random(3)
w, h = 211, 97
with open(sys.argv[1] + "/noise.ppm", "wb") as f:
    f.write(b"P6\n%d %d\n255\n" % (w, h) + rnd.randbytes(w * h * 3))
PY
for f in a.ppm d.ppm noise.ppm; do
  "$check" pnmcopy "$dir/$f" "$dir/back.ppm" || fail "$f: not copied"
  cmp -s "$dir/$f" "$dir/back.ppm" || fail "$f: the copy differs"
done
# A header with comments: the pixels are those netpbm reads.
"$check" pnmcopy "$dir/crafted1.ppm" "$dir/back.ppm"
printf 'P6\n3 2\n255\n\nabcdefghijklmnopq' | cmp -s - "$dir/back.ppm" || fail "crafted1.ppm: pixels differ"

if [ "$failures" -ne 0 ]; then echo "$failures failed"; exit 1; fi
echo "pnm_check: all passed"
