#!/usr/bin/env bash
# Measures orvane-db on generated books and prints each figure beside a floor
# measured in the same run:
#   - demo of 1,000,000 contacts;
#   - "list BOOK Mar" at 1,000,000 contacts, beside the same query answered
#     from a text file of the same contacts by a simple text-file tool (loads
#     the file, keeps the names that begin with the prefix, sorts them) and
#     by a streaming filter (awk | sort);
#   - export and import of 100,000 contacts as CSV and as vCard.
# Usage: tools/orvane-db/measure.sh [BUILD_DIR] [WORK_DIR]
# Needs GNU time (/usr/bin/time, Debian package "time") for peak memory.
set -euo pipefail
cd "$(dirname "$0")/../.."
build=${1:-build}
work=${2:-$(mktemp -d)}
tool=$build/orvane-db
[ -x "$tool" ] || { echo "No está $tool: compile primero." >&2; exit 1; }
[ -x /usr/bin/time ] || { echo "Falta /usr/bin/time (apt-get install time)." >&2; exit 1; }
mkdir -p "$work"
rm -f "$work"/*.mdb "$work"/*.csv "$work"/*.vcf "$work"/*.tsv
export LC_ALL=C.UTF-8

# Runs a command; prints "label: elapsed s, cpu s, peak KB".
measure() {
    local label=$1
    shift
    /usr/bin/time -o "$work/time.txt" -f "%e %U %S %M" "$@" >"$work/out.txt" 2>"$work/err.txt" ||
        { cat "$work/err.txt" >&2; exit 1; }
    awk -v label="$label" '{ printf "%-60s %7.2f s  cpu %6.2f s  %8d KB\n", label, $1, $2 + $3, $4 }' \
        "$work/time.txt"
}

echo "Carpeta de trabajo: $work"
measure "demo 1.000.000 contactos" "$tool" demo "$work/big.mdb" 1000000
measure "list big.mdb Mar (orvane-db)" "$tool" list "$work/big.mdb" Mar
matches=$(wc -l <"$work/out.txt")
# The same contacts as a text file, one a line, for the text tools (not timed).
"$tool" list "$work/big.mdb" "" >"$work/contacts.tsv"
measure "  suelo: herramienta simple de texto (carga, filtra, ordena)" \
    sh -c 'awk -F"\t" "{ all[NR] = \$0; name[NR] = tolower(\$2) }
        END { for (i = 1; i <= NR; i++) if (substr(name[i], 1, 3) == \"mar\") print all[i] }" \
        "$1" | sort -t"	" -k2,2f' sh "$work/contacts.tsv"
[ "$(wc -l <"$work/out.txt")" -eq "$matches" ] || echo "  (el suelo da otro número de filas)"
measure "  suelo: filtro en flujo (awk | sort)" \
    sh -c 'awk -F"\t" "tolower(substr(\$2, 1, 3)) == \"mar\"" "$1" | sort -t"	" -k2,2f' \
    sh "$work/contacts.tsv"
echo "  ($matches contactos listados)"

"$tool" demo "$work/c100k.mdb" 100000 >/dev/null
for fmt in csv vcf; do
    measure "export 100.000 contactos a $fmt" "$tool" export "$work/c100k.mdb" "$work/c100k.$fmt"
    "$tool" init "$work/in-$fmt.mdb" >/dev/null
    measure "import 100.000 contactos de $fmt" "$tool" import "$work/in-$fmt.mdb" "$work/c100k.$fmt"
    measure "  suelo: copiar el archivo ($fmt)" cp "$work/c100k.$fmt" "$work/copy.$fmt"
done
echo "Tamaños: $(du -h "$work/big.mdb" "$work/c100k.csv" "$work/c100k.vcf" | awk '{printf "%s %s  ", $2, $1}')"
