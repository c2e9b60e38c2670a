#!/bin/sh
# man2txt.sh PAGE OUT: a manual page as plain text with Windows line ends, for a
# system without man.
set -eu
tmp="$2.tmp"
groff -t -man -Tascii -P-cbou "$1" >"$tmp"
sed 's/$/\r/' "$tmp" >"$2"
rm -f "$tmp"
