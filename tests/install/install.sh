#!/usr/bin/env bash
# Installs the build as one person would, into a temporary prefix with HOME and
# XDG_DATA_HOME in a temporary folder; checks the menu entry, the metainfo, the
# manual pages and the completion; starts the program from the menu entry's
# Exec line under Xvfb and opens a contact's card; reinstalls and finds the
# book's contacts kept. Then unpacks the portable archive elsewhere and does
# the same from there. Every wait is bounded.
#   tests/install/install.sh BUILD_DIR
# With ORV_SHOT_DIR set, screenshots of the screen are left there.
set -euo pipefail
build=$(cd "$1" && pwd)
tmp=$(mktemp -d)
pids=()
# The install writes its manifest into the build; a person's own install from
# this build must still find theirs there to uninstall.
manifests=(install_manifest.txt install_manifest_portable.txt)
mkdir "$tmp/saved"
for m in "${manifests[@]}"; do [ ! -e "$build/$m" ] || cp -p "$build/$m" "$tmp/saved/"; done
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    for m in "${manifests[@]}"; do
        if [ -e "$tmp/saved/$m" ]; then cp -p "$tmp/saved/$m" "$build/"; else rm -f "$build/$m"; fi
    done
    rm -rf "$tmp"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
step() { echo "-- $*"; }

export HOME=$tmp/home XDG_DATA_HOME=$tmp/data
mkdir -p "$HOME"
prefix=$tmp/prefix
book=$XDG_DATA_HOME/orvane/orv.mdb

install_prefix() {
    timeout 120 cmake --install "$build" --prefix "$prefix" >"$tmp/install.log" 2>&1 ||
        { cat "$tmp/install.log"; fail "cmake --install"; }
}

step "install into $prefix"
install_prefix
desktops=("$prefix"/share/applications/*.desktop)
if [ ${#desktops[@]} != 1 ] || [ ! -f "${desktops[0]}" ]; then
    fail "one menu entry expected: ${desktops[*]}"
fi
desktop=${desktops[0]}
id=$(basename "$desktop" .desktop)
for f in bin/orvane bin/orvane-db lib/orvane/orvane lib/orvane/orvane-db \
    share/metainfo/$id.metainfo.xml share/man/man1/orvane.1 share/man/man1/orvane-db.1 \
    share/bash-completion/completions/orvane-db share/icons/hicolor/scalable/apps/$id.svg; do
    [ -f "$prefix/$f" ] || fail "not installed: $f"
done
for size in 16 22 24 32 48 64 128 256; do
    [ -f "$prefix/share/icons/hicolor/${size}x$size/apps/$id.png" ] || fail "no ${size}px icon"
done
grep -qx "Icon=$id" "$desktop" || fail "the menu entry names another icon"
[ -f "$book" ] || fail "no book made at $book"
[ "$(readlink -f "$prefix/lib/orvane/orv.mdb")" = "$book" ] || fail "orv.mdb beside the program is not the book"
grep -qx "$prefix/lib/orvane/orv.mdb" "$build/install_manifest.txt" ||
    fail "the link is not in install_manifest.txt, so an uninstall would leave it"

step "menu entry and metainfo validate"
desktop-file-validate "$desktop" || fail "desktop-file-validate"
appstreamcli validate --no-net "$prefix/share/metainfo/$id.metainfo.xml" || fail "appstreamcli validate"

step "manual pages render and say what --help says"
help=$("$prefix/bin/orvane-db" --help)
for page in orvane orvane-db; do
    warnings=$(groff -k -man -Tutf8 -ww -z "$prefix/share/man/man1/$page.1" 2>&1)
    [ -z "$warnings" ] || fail "$page.1: $warnings"
    LC_ALL=C.UTF-8 MANWIDTH=100 timeout 30 man -l "$prefix/share/man/man1/$page.1" >"$tmp/$page.txt" ||
        fail "man -l $page.1"
done
flat() { sed 's/\xe2\x88\x92/-/g; s/\xe2\x80\x90/-/g' | tr -s ' \n' '  '; }
page=$(flat <"$tmp/orvane-db.txt")
while IFS= read -r line; do
    text=$(printf '%s' "$line" | flat)
    text=${text# }
    [[ $page == *"$text"* ]] || fail "orvane-db(1) lacks the help's \"$text\""
done < <(printf '%s\n' "$help" | grep '^  ')

step "bash completion follows the help"
commands=$(printf '%s\n' "$help" | awk '/^  orvane-db [a-z]/ { printf "%s ", $2 }')
bash -c '
    source "$1"
    complete_words() {
        COMP_WORDS=("$@")
        COMP_CWORD=$(($# - 1))
        COMPREPLY=()
        _orvane_db 2>/dev/null
        echo "${COMPREPLY[*]}"
    }
    check() {
        local want=$1
        shift
        local got
        got=$(complete_words "$@")
        [ "$got" = "$want" ] || { echo "completing \"$*\": \"$got\", expected \"$want\"" >&2; exit 1; }
    }
    check "$2--help --version" orvane-db ""
    check import orvane-db im
    check "--dry-run" orvane-db import a.mdb b.csv --d
    check "csv vcard" orvane-db export a.mdb b.vcf --format ""
    check "" orvane-db list a.mdb ""
' bash "$prefix/share/bash-completion/completions/orvane-db" "$commands" || fail "completion"

step "the book's data folder follows XDG_DATA_HOME"
# Unset, or relative (which the XDG rules ignore): the default folder.
for value in unset relative/data; do
    if [ "$value" = unset ]; then
        env -u XDG_DATA_HOME "$prefix/lib/orvane/prepare-book"
    else
        XDG_DATA_HOME=$value "$prefix/lib/orvane/prepare-book"
    fi
    [ -f "$HOME/.local/share/orvane/orv.mdb" ] || fail "XDG_DATA_HOME $value: no book in ~/.local/share"
    [ "$(readlink -f "$prefix/lib/orvane/orv.mdb")" = "$HOME/.local/share/orvane/orv.mdb" ] ||
        fail "XDG_DATA_HOME $value: orv.mdb beside the program is not that book"
done
"$prefix/lib/orvane/prepare-book"
[ "$(readlink -f "$prefix/lib/orvane/orv.mdb")" = "$book" ] || fail "the link did not come back to $book"

step "contacts go into the installed book"
cat >"$tmp/contactos.csv" <<'CSV'
Nombre,Apellido,Telefono
Marta,Prieto Sanz,915 220 716
Manuel,Serrano Vidal,954 830 112
Ana,García,952 300 611
CSV
"$prefix/bin/orvane-db" import "$book" "$tmp/contactos.csv" >/dev/null
"$prefix/bin/orvane-db" list "$book" "" >"$tmp/before.txt"
[ "$(grep -c . "$tmp/before.txt")" -ge 3 ] || fail "the import did not reach the book"

# ---- The program on a screen ------------------------------------------------

source "$(dirname "$0")/screen.sh"
start_screen

step "start from the menu entry's Exec line and open a card"
# The entry's own Exec (the actions that follow it have theirs).
exec_line=$(sed -n '/^\[Desktop Entry\]/,/^\[/{s/^Exec=//p}' "$desktop" | sed 's/ *%[fFuUik]//g')
[ -n "$exec_line" ] || fail "no Exec line"
eval "set -- $exec_line"
open_card installed "$@"

step "Contactos borrados…: a contact deleted with the shell comes back under its code by Enter"
code=$(sqlite3 "$book" "SELECT Codigo FROM Registros WHERE Nombre = 'Marta'")
sqlite3 "$book" "DELETE FROM Registros WHERE Codigo = $code"
run_action "$desktop" borrados "Contactos borrados"
shot desk-borrados
xdotool key Return
back() { [ "$(sqlite3 "$book" "SELECT Nombre FROM Registros WHERE Codigo = $code")" = Marta ]; }
wait_for "Marta back under code $code" back
xdotool key Escape
wait_ended

step "a .vcf opened with the menu entry's Exec (as \"Abrir con\" does): Enter imports it"
cat >"$tmp/telefono.vcf" <<'VCF'
BEGIN:VCARD
VERSION:3.0
FN:Rocío Blanco
N:Blanco;Rocío;;;
TEL;TYPE=CELL:+34 600 111 222
END:VCARD
BEGIN:VCARD
VERSION:3.0
FN:Jaime Ortega
N:Ortega;Jaime;;;
EMAIL:jaime@example.org
END:VCARD
VCF
entry_line=$(sed -n '/^\[Desktop Entry\]/,/^\[/{s/^Exec=//p}' "$desktop")
[[ $entry_line == *" %F" ]] || fail "the entry's Exec takes no files: $entry_line"
run_line "${entry_line% %F}" "Importar contactos" "$tmp/telefono.vcf"
imported() { [ "$(sqlite3 "$book" "SELECT count(*) FROM Registros WHERE Nombre IN ('Rocío', 'Jaime')")" = 2 ]; }
for _ in $(seq 20); do
    # Enter does nothing until the dry run is shown.
    kill -0 "$prog" 2>/dev/null && xdotool key Return
    sleep 0.5
    imported && break
done
imported || fail "Enter did not import the file: $(cat "$tmp/prog.log")"
shot desk-importar
kill -0 "$prog" 2>/dev/null && xdotool key Return  # Cerrar
wait_ended

step "Sincronización…: address, user and password typed, Enter finds the address book, Enter syncs"
sync_skipped=""
for tool in radicale dbus-daemon gnome-keyring-daemon curl; do
    command -v "$tool" >/dev/null || sync_skipped="$sync_skipped $tool"
done
if [ -z "$sync_skipped" ]; then
    # A D-Bus session and an unlocked keyring of the test's own, as a desktop has.
    export XDG_RUNTIME_DIR=$tmp/run
    mkdir -p -m 700 "$XDG_RUNTIME_DIR"
    dbus-daemon --session --fork --print-address=3 --print-pid=4 3>"$tmp/bus" 4>"$tmp/bus.pid"
    pids+=("$(cat "$tmp/bus.pid")")
    DBUS_SESSION_BUS_ADDRESS=$(head -n1 "$tmp/bus")
    export DBUS_SESSION_BUS_ADDRESS
    printf 'clave\n' | gnome-keyring-daemon --daemonize --unlock --components=secrets >/dev/null 2>&1
    # radicale on a free loopback port, with one address book holding one card.
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    mkdir -p "$tmp/dav"
    echo "ana:clave-de-ana" >"$tmp/dav/users"
    cat >"$tmp/dav/config" <<CONF
[server]
hosts = 127.0.0.1:$port
[auth]
type = htpasswd
htpasswd_filename = $tmp/dav/users
htpasswd_encryption = plain
delay = 0
[rights]
type = owner_only
[storage]
filesystem_folder = $tmp/dav/collections
[web]
type = none
CONF
    radicale -C "$tmp/dav/config" >"$tmp/dav/log" 2>&1 &
    pids+=($!)
    dav=http://127.0.0.1:$port
    for _ in $(seq 100); do curl -s -o /dev/null "$dav/" && break; sleep 0.1; done
    curl -sf -u ana:clave-de-ana -X MKCOL "$dav/ana/telefono/" -H 'Content-Type: application/xml' \
        --data '<mkcol xmlns="DAV:" xmlns:C="urn:ietf:params:xml:ns:carddav"><set><prop><resourcetype><collection/><C:addressbook/></resourcetype><displayname>Teléfono</displayname></prop></set></mkcol>' ||
        fail "radicale: no address book made: $(cat "$tmp/dav/log")"
    printf 'BEGIN:VCARD\r\nVERSION:3.0\r\nUID:del-telefono\r\nFN:Pilar Nieto\r\nN:Nieto;Pilar;;;\r\nTEL:611 222 333\r\nEND:VCARD\r\n' |
        curl -sf -u ana:clave-de-ana -X PUT --data-binary @- -H "Content-Type: text/vcard" "$dav/ana/telefono/pilar.vcf" ||
        fail "radicale: the card was not stored"

    run_action "$desktop" sincronizar "Sincronización"
    synced() { [ "$(sqlite3 "$book" "SELECT count(*) FROM Registros WHERE Nombre = 'Pilar'")" = 1 ]; }
    # The first text xdotool types on a fresh display can be lost while Tab
    # and Enter arrive (seen here every time): the window then asks for the
    # address with the focus back in its box, and all is typed again.
    for attempt in 1 2 3; do
        sleep 1
        for text in "$dav/" ana clave-de-ana; do
            xdotool key ctrl+a
            xdotool type --delay 20 "$text"
            xdotool key Tab
        done
        xdotool key shift+Tab Return
        # Enter on the address book found (the one chosen) syncs it. Sent
        # while the search runs it does nothing; sent during the sync it may
        # cancel it, and the next one syncs again.
        for _ in $(seq 20); do
            sleep 0.5
            synced && break 2
            kill -0 "$prog" 2>/dev/null && xdotool key Return
        done
        shot "desk-sincronizar-intento-$attempt"
    done
    synced || fail "the sync window did not bring the server's card: $(cat "$tmp/prog.log")"
    shot desk-sincronizar
    on_server=$(find "$tmp/dav/collections" -name '*.vcf' | wc -l)
    [ "$on_server" -ge "$(sqlite3 "$book" "SELECT count(*) FROM Registros")" ] ||
        fail "the book's contacts did not reach the server ($on_server cards)"
    # Escape while the sync still keeps the password and closes the book would
    # cancel it and leave the window open; the book's journal goes with the
    # last program that has it open.
    sync_ended() { [ ! -e "$book-wal" ]; }
    wait_for "the sync to close the book" sync_ended
    xdotool key Escape
    wait_ended
    # The password stayed in the keyring, where orvane-db finds it with no question.
    "$prefix/bin/orvane-db" sync "$book" --allow-http </dev/null >"$tmp/again.log" 2>&1 ||
        fail "orvane-db sync did not find the password in the keyring: $(cat "$tmp/again.log")"
    grep -rq "clave-de-ana" "$XDG_DATA_HOME" "$HOME" 2>/dev/null && fail "the password is in a file"
else
    echo "skipped: missing$sync_skipped (scripts/deps.sh --tests installs them)"
fi
"$prefix/bin/orvane-db" list "$book" "" >"$tmp/before.txt"

step "reinstall keeps the book"
install_prefix
"$prefix/bin/orvane-db" list "$book" "" >"$tmp/after.txt"
cmp -s "$tmp/before.txt" "$tmp/after.txt" || fail "the book changed on reinstall: $(diff "$tmp/before.txt" "$tmp/after.txt")"

step "a real book beside the program is left alone"
rm "$prefix/lib/orvane/orv.mdb"
cp "$book" "$prefix/lib/orvane/orv.mdb"
"$prefix/lib/orvane/prepare-book" 2>"$tmp/prepare.log"
if [ -L "$prefix/lib/orvane/orv.mdb" ] || ! cmp -s "$book" "$prefix/lib/orvane/orv.mdb"; then
    fail "prepare-book replaced a book"
fi
grep -q "orv.mdb" "$tmp/prepare.log" || fail "prepare-book did not say which book opens"
rm "$prefix/lib/orvane/orv.mdb"
"$prefix/lib/orvane/prepare-book"

# ---- The portable archive ---------------------------------------------------

step "portable archive: unpacked anywhere, runs with its book beside it"
(cd "$tmp" && timeout 180 cpack -G TGZ --config "$build/CPackConfig.cmake" -B "$tmp/pkg" >"$tmp/cpack.log" 2>&1) ||
    { cat "$tmp/cpack.log"; fail "cpack"; }
archive=$(echo "$tmp"/pkg/*.tar.gz)
[ -f "$archive" ] || fail "no archive made"
tar -tzf "$archive" | grep -q 'orv\.mdb' && fail "the archive holds a book: unpacking it again would replace one"
mkdir -p "$tmp/some where"
tar -xzf "$archive" -C "$tmp/some where"
root=$(echo "$tmp/some where"/*/)
root=${root%/}
open_card portable "$root/orvane"
[ -f "$root/orv.mdb" ] || fail "no book beside the unpacked launcher"
mv "$root" "$tmp/moved"
[ "$(readlink -f "$tmp/moved/lib/orvane/orv.mdb")" = "$tmp/moved/orv.mdb" ] ||
    fail "the moved folder's program does not reach its own book"
"$tmp/moved/orvane-db" list "$tmp/moved/orv.mdb" "" >/dev/null || fail "orvane-db from the archive"

step "uninstall as the README says, after an install elsewhere: the book stays"
[ -f "$prefix/lib/orvane/install_manifest.txt" ] && [ -x "$prefix/lib/orvane/uninstall" ] ||
    fail "no manifest or uninstall script in $prefix/lib/orvane"
# Another install from the same build replaces build/install_manifest.txt;
# the first one's own list still removes exactly the first one.
other=$tmp/other
timeout 120 cmake --install "$build" --prefix "$other" >"$tmp/install2.log" 2>&1 ||
    { cat "$tmp/install2.log"; fail "second cmake --install"; }
mkdir -p "$prefix/share/applications"
echo keep >"$prefix/share/applications/other.desktop"
"$prefix/lib/orvane/uninstall" >"$tmp/uninstall.log" || { cat "$tmp/uninstall.log"; fail "uninstall"; }
left=$(find "$prefix" -type f -o -type l)
[ "$left" = "$prefix/share/applications/other.desktop" ] || fail "left after uninstalling: $left"
[ ! -e "$prefix/lib/orvane" ] || fail "lib/orvane left: $(ls -A "$prefix/lib/orvane")"
[ -f "$book" ] || fail "uninstalling removed the book"
[ -x "$other/bin/orvane" ] && [ -L "$other/lib/orvane/orv.mdb" ] || fail "the other install was touched"
"$other/lib/orvane/uninstall" >/dev/null
[ -z "$(find "$other" -type f -o -type l)" ] || fail "left in $other: $(find "$other" -type f -o -type l)"
[ -f "$book" ] || fail "uninstalling removed the book"

if [ -n "$sync_skipped" ]; then
    echo "install test passed, but not the sync window's part: missing$sync_skipped"
    exit 77
fi
echo "install test passed"
