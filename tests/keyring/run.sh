#!/usr/bin/env bash
# Runs the keyring test ($1) on a D-Bus session of its own, with a GNOME
# keyring unlocked for it in a home of its own; status 77 (skipped) when
# either is missing (scripts/deps.sh --tests installs them).
set -u
test=$1
for tool in dbus-run-session gnome-keyring-daemon; do
    if ! command -v "$tool" >/dev/null; then
        echo "falta $tool: scripts/deps.sh --tests"
        exit 77
    fi
done
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
export HOME=$home XDG_RUNTIME_DIR=$home/run XDG_CONFIG_HOME=$home/config XDG_DATA_HOME=$home/data
mkdir -p -m 700 "$XDG_RUNTIME_DIR"
# The daemon ends with the session's bus; none of its output may keep CTest waiting.
dbus-run-session -- sh -c 'printf "clave\n" | gnome-keyring-daemon --daemonize --unlock \
    --components=secrets >/dev/null 2>&1 && exec "$0" "$@"' "$test" "${@:2}"
