#!/usr/bin/env bash
# tests/writers/card_screen.sh BUILD_DIR: the real card under Xvfb, driven
# with xdotool, against the sqlite3 shell writing the same contact. A number
# the shell changes after "Modificar" and the user changes too is not stored
# over in silence: the question names the shell's number, Enter answers Sí,
# the user's number is stored and the shell's stays in the history. Exits 77
# (skipped) when a tool it needs is missing.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
for tool in Xvfb xdotool xwininfo sqlite3; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
tmp=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$tmp"' EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
# shellcheck source=../install/screen.sh
source "$here/../install/screen.sh"

cp "$build/orvane" "$tmp/"
"$build/orvane-db" init "$tmp/orv.mdb" >/dev/null
sqlite3 "$tmp/orv.mdb" "INSERT INTO Registros (Nombre, Telefono, \"Fecha de nacimiento\")
                        VALUES ('María', '600 111 222', '1980-01-01')"
start_screen
reach_card writers "$tmp/orvane"

# Positions are the controls' twips / 15: cbModificar (2640, 4080), txttel
# (1560, 1560), cbGuardar (960, 4080), cbSalir (5520, 4080).
click "$card" 204 284
sleep 0.5
sqlite3 "$tmp/orv.mdb" "UPDATE Registros SET Telefono = '699 000 000'"
click "$card" 176 113
xdotool key --clearmodifiers ctrl+a
xdotool type --delay 20 "655 555 555"
click "$card" 92 284
box=""
for _ in $(seq 100); do
    box=$(visible '^Orvane$')
    [ -n "$box" ] && break
    sleep 0.1
done
[ -n "$box" ] || fail "no question came up; program said: $(cat "$tmp/prog.log")"
shot conflict
xdotool key Return
for _ in $(seq 100); do
    [ -z "$(visible '^Orvane$')" ] && break
    sleep 0.1
done
[ -z "$(visible '^Orvane$')" ] || fail "the question did not go with Enter"
click "$card" 396 284
wait_for "the card to close" gone "$card"
kill "$prog"
wait "$prog" 2>/dev/null || true

stored=$(sqlite3 "$tmp/orv.mdb" "SELECT Telefono FROM Registros")
[ "$stored" = "655 555 555" ] || fail "stored '$stored', not the user's number"
kept=$(sqlite3 "$tmp/orv.mdb" "SELECT count(*) FROM OrvHistoria WHERE Telefono = '699 000 000'")
[ "$kept" -ge 1 ] || fail "the shell's number is not in the history"
echo "ok: the question came, Enter stored the user's number, the shell's is in the history"
