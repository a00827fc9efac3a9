#!/usr/bin/env bash
# Import and export of 100,000 contacts with a photo each (about 5 KB of
# base64, a small JPEG's size) against the same contacts without: time and
# peak memory (GNU time's maximum resident set) of each, the import's time
# per MiB of file, and the book's size. The import holds one record at a
# time, so its peak memory should not grow with the file (target: at most
# 1.5 times the same without photos). Prints rows for bench.sh's table.
#   bench/photos.sh TOOL BOOK RUNS
set -euo pipefail
tool=$1 book=$2 runs=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
. "$(dirname "$0")/common.sh"

"$tool" export "$book" "$work/plain.vcf" >/dev/null
n=$(grep -c '^BEGIN:VCARD' "$work/plain.vcf")
# One photo line, folded as vCard 3.0 folds (75 octets, CRLF and a blank).
photo=$(head -c 3750 /dev/urandom | base64 -w0)
folded=$(printf 'PHOTO;ENCODING=b;TYPE=JPEG:%s' "$photo" |
    awk '{ s = $0; printf "%s", substr(s, 1, 75); s = substr(s, 76)
           while (length(s)) { printf "\r\n %s", substr(s, 1, 74); s = substr(s, 75) } }')
awk -v p="$folded" '/^END:VCARD/ { printf "%s\r\n", p } { print }' "$work/plain.vcf" >"$work/photos.vcf"

for kind in plain photos; do
    for ((i = 0; i <= runs; i++)); do  # the first warms up
        rm -f "$work/$kind.mdb" "$work/$kind-out.vcf"
        "$tool" init "$work/$kind.mdb" >/dev/null
        timed "$work/import-$kind.$((i > 0))" "$tool" import "$work/$kind.mdb" "$work/$kind.vcf"
        timed "$work/export-$kind.$((i > 0))" "$tool" export "$work/$kind.mdb" "$work/$kind-out.vcf"
    done
    stat -c %s "$work/$kind.mdb" >"$work/size-$kind"
    stat -c %s "$work/$kind.vcf" >"$work/file-$kind"
done
for op in import export; do
    pt=$(cut -d' ' -f1 "$work/$op-photos.1" | med)
    pm=$(cut -d' ' -f2 "$work/$op-photos.1" | med)
    ft=$(cut -d' ' -f1 "$work/$op-plain.1" | med)
    fm=$(cut -d' ' -f2 "$work/$op-plain.1" | med)
    awk -v op="$op" -v n="$n" -v pt="$pt" -v pm="$pm" -v ft="$ft" -v fm="$fm" \
        -v pf="$(cat "$work/file-photos")" -v ff="$(cat "$work/file-plain")" 'BEGIN {
        OFS = "\t"
        print "orvane-db " op " FILE, vcf, a 5 KB photo each (" sprintf("%.0f", pf / 1048576) " MiB file), time",
            n, sprintf("%.0f ms", pt * 1000), "the same without photos (" sprintf("%.0f", ff / 1048576) " MiB)",
            sprintf("%.0f ms", ft * 1000), sprintf("%.2f", pt / ft), "–", "–"
        r = pm / fm
        print "orvane-db " op " FILE, vcf, a 5 KB photo each, peak memory", n,
            sprintf("%.1f MiB", pm / 1024), "the same without photos", sprintf("%.1f MiB", fm / 1024),
            sprintf("%.2f", r), op == "import" ? "<= 1.5" : "–",
            op == "import" ? (r <= 1.5 ? "ok" : "MISSED") : "–"
        if (op == "import")
            print "orvane-db import FILE, vcf, time per MiB of file", n,
                sprintf("%.1f ms/MiB (with photos)", pt * 1000 / (pf / 1048576)), "the same without photos",
                sprintf("%.1f ms/MiB", ft * 1000 / (ff / 1048576)),
                sprintf("%.2f", (pt / pf) / (ft / ff)), "–", "–"
    }'
done
awk -v n="$n" -v p="$(cat "$work/size-photos")" -v f="$(cat "$work/size-plain")" 'BEGIN {
    OFS = "\t"
    print "the book with a 5 KB photo each, size", n, sprintf("%.0f MiB", p / 1048576),
        "the same without photos", sprintf("%.0f MiB", f / 1048576), sprintf("%.2f", p / f), "–", "–"
}'
