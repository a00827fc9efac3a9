#!/usr/bin/env bash
# tools/snap/desktop.sh PROGRAM_DIR OUTDIR [FONTCONFIG_FILE]
# Screenshots of the real program on a desktop: Xvfb with openbox, the
# program in PROGRAM_DIR (orvane beside an orv.mdb with contacts), driven
# through every window, its menus and message boxes by xdotool. Each step's
# picture of the whole screen goes to OUTDIR/NN-name.png. With a fontconfig
# file (tests/fonts/dejavu.conf), the program sees only those fonts.
set -euo pipefail
app=$(cd "$1" && pwd)
out=$2
mkdir -p "$out"
for tool in Xvfb openbox xdotool import; do
    command -v "$tool" >/dev/null || { echo "desktop.sh: $tool is missing" >&2; exit 1; }
done

exec 3< <(Xvfb -displayfd 4 -screen 0 1024x768x24 -nolisten tcp 4>&1 2>/dev/null & echo "pid $!")
read -r _ xvfb <&3
read -r display <&3
export DISPLAY=:$display
pids=("$xvfb")
trap 'kill "${pids[@]}" 2>/dev/null || true' EXIT
openbox >/dev/null 2>&1 &
pids+=($!)
sleep 1
[ $# -ge 3 ] && export FONTCONFIG_FILE=$(realpath "$3")
unset QT_QPA_PLATFORM
"$app/orvane" >"$out/orvane.log" 2>&1 &
pids+=($!)
sleep 2

shot() { sleep 1; import -window root "$out/$1.png"; echo "$out/$1.png"; }
window() { xdotool search --onlyvisible --name "ORV v0.90 beta" | tail -1; }
# A click at a point of the newest window, given in twips from its client area.
click() { xdotool mousemove --window "$(window)" $(($1 / 15)) $(($2 / 15)) click "${3:-1}"; sleep 0.5; }
button() { click $(($1 + 427)) $((4080 + 187)); }  # a card's button, by its left edge

shot 01-main
click 1500 3400 3; shot 02-search-menu; xdotool key Escape
click 1900 3780; shot 03-letters
click $((4080 + 187)) $((600 + 6 * 240 + 127)); shot 04-results-m
click 1000 4250; shot 05-card
button 3480; shot 06-box-borrar; xdotool key Escape
button 2640; click 3000 250 3; shot 07-card-modify-menu; xdotool key Escape
button 1800
button 120; shot 08-card-new
button 960; shot 09-box-nombre; xdotool key Return
button 1800
button 5520
click 1950 1800; shot 10-about; xdotool key space
shot 11-main-again
