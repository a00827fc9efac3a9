#!/usr/bin/env bash
# tests/atspi/run.sh BUILD_DIR: the real program under Xvfb on a real AT-SPI
# bus, read as a screen reader reads it and driven by the keyboard alone
# (card.py). Exits 77 (skipped) when a tool it needs is missing.
set -euo pipefail
build=$(cd "$1" && pwd)
here=$(cd "$(dirname "$0")" && pwd)
# Debian's own Python: python3-pyatspi is installed for it, not for another on the PATH.
python=/usr/bin/python3
for tool in Xvfb dbus-run-session xdotool $python; do
    command -v "$tool" >/dev/null || { echo "skipped: $tool is missing"; exit 77; }
done
[ -e /usr/libexec/at-spi-bus-launcher ] || { echo "skipped: at-spi2-core is missing"; exit 77; }
$python -c 'import pyatspi' 2>/dev/null || { echo "skipped: python3-pyatspi is missing"; exit 77; }

work=$(mktemp -d)
pids=()
trap 'kill "${pids[@]}" 2>/dev/null || true; rm -rf "$work"' EXIT
# The program opens the book beside itself: a copy of it beside a known book.
cp "$build/orvane" "$work/"
"$build/orvane-db" init "$work/orv.mdb" >/dev/null
"$build/orvane-db" import "$work/orv.mdb" "$here/contact.vcf" >/dev/null

exec 3< <(Xvfb -displayfd 4 -screen 0 1024x768x24 -nolisten tcp -noreset 4>&1 2>/dev/null & echo "pid $!")
read -r _ xvfb <&3
read -r display <&3
pids+=("$xvfb")
export DISPLAY=:$display
unset QT_QPA_PLATFORM
export QT_LINUX_ACCESSIBILITY_ALWAYS_ON=1 NO_AT_BRIDGE=0
dbus-run-session -- $python "$here/card.py" "$work/orvane"
