#!/bin/sh
# Regenerates the encoded fixtures from the UTF-8 texts with the C library's
# iconv command. The tests decode each fixture and expect the code points of
# the matching .ucs4 file, then encode them back and expect the same bytes.
set -e
cd "$(dirname "$0")"
conv() { iconv -f UTF-8 -t "$2" "$1.txt" > "$1.$3"; }
for f in sample kana x0212 unicode latin1; do conv $f UCS-4BE ucs4; done
conv sample EUC-JP eucjp
conv sample SJIS sjis
conv sample ISO-2022-JP jis
conv sample UTF-16BE utf16
conv kana EUC-JP eucjp
conv kana SJIS sjis
conv kana ISO-2022-JP-3 jis
conv x0212 EUC-JP eucjp
conv x0212 ISO-2022-JP-2 jis
conv unicode UTF-16BE utf16
conv latin1 ISO-8859-1 latin1
