#!/usr/bin/env bash
# What an import costs in a large book, and what a listing costs against
# abook: 3,000 contacts imported into the book of 1,000,000 against the same
# into an empty book (the comparison with the book goes through its look-up,
# so its size should barely count; 3,000 are too small a share of a million
# for the import to copy the book first),
# and `orvane-db list FILE Mar` against abook answering the same query from
# the same contacts. Prints rows for bench.sh's table.
#   bench/lookup.sh TOOL LARGE_BOOK LARGE_TSV RUNS
set -euo pipefail
tool=$1 large=$2 tsv=$3 runs=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/common.sh"

# 3,000 contacts of another seed (so that their names repeat the book's),
# and the large book with its look-up made once (an import of nothing makes it).
"$tool" demo "$work/three.mdb" 3000 --seed 7 >/dev/null
"$tool" export "$work/three.mdb" "$work/three.vcf" >/dev/null
cp "$large" "$work/base.mdb"
: >"$work/none.vcf"
"$tool" import "$work/base.mdb" "$work/none.vcf" --format vcard >/dev/null
for ((i = 0; i <= runs; i++)); do  # the first of each warms up
    cp "$work/base.mdb" "$work/large.mdb"
    rm -f "$work/empty.mdb"
    "$tool" init "$work/empty.mdb" >/dev/null
    sync
    timed "$work/large.$((i > 0))" "$tool" import "$work/large.mdb" "$work/three.vcf"
    grep -q "^3000 contactos importados" "$work/out" || { cat "$work/out" >&2; exit 1; }
    timed "$work/empty.$((i > 0))" "$tool" import "$work/empty.mdb" "$work/three.vcf"
    rm -rf "$work/copias"
done
lt=$(cut -d' ' -f1 "$work/large.1" | med)
et=$(cut -d' ' -f1 "$work/empty.1" | med)
awk -v lt="$lt" -v et="$et" 'BEGIN {
    OFS = "\t"; r = lt / et
    print "orvane-db import of 3,000 contacts", "1,000,000",
        sprintf("%.0f ms", lt * 1000), "the same into an empty book", sprintf("%.0f ms", et * 1000),
        sprintf("%.2f", r), "<= 3.0", r <= 3.0 ? "ok" : "MISSED"
}'

# The same contacts as abook's own file, and abook's query against ours.
awk -F'\t' 'BEGIN { print "# abook addressbook file\n\n[format]\nprogram=abook\nversion=0.6.1\n" }
    { printf "[%d]\nname=%s\n", NR - 1, $2 ($3 != "" ? " " $3 : "")
      if ($7 != "") printf "email=%s\n", $7
      if ($6 != "") printf "phone=%s\n", $6
      if ($4 != "") printf "address=%s\n", $4
      if ($5 != "") printf "city=%s\n", $5
      print "" }' "$tsv" >"$work/addressbook"
mkdir -p "$work/home"
for ((i = 0; i <= runs; i++)); do
    timed "$work/list.$((i > 0))" "$tool" list "$large" Mar
    listed=$(wc -l <"$work/out")
    timed "$work/abook.$((i > 0))" env HOME="$work/home" abook --datafile "$work/addressbook" \
        --mutt-query Mar
    found=$(wc -l <"$work/out")
done
ot=$(cut -d' ' -f1 "$work/list.1" | med)
at=$(cut -d' ' -f1 "$work/abook.1" | med)
awk -v ot="$ot" -v at="$at" -v n="$listed" -v m="$found" 'BEGIN {
    OFS = "\t"; r = ot / at
    print "orvane-db list FILE Mar (" n " printed)", "1,000,000", sprintf("%.0f ms", ot * 1000),
        "abook --mutt-query Mar, the same contacts (" m " lines)", sprintf("%.0f ms", at * 1000),
        sprintf("%.2f", r), "<= 0.5", r <= 0.5 ? "ok" : "MISSED"
}'
