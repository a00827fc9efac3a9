# The installed program on a screen, for the install and package tests
# (sourced): an Xvfb display, and the user's road to a contact's card driven
# with xdotool. Needs $tmp, the array pids (what to kill at the end) and
# fail() from the test; every wait is bounded.

# Starts Xvfb on a free display and exports DISPLAY.
start_screen() {
    unset QT_QPA_PLATFORM WAYLAND_DISPLAY
    # -noreset: when the last program leaves, a resetting server refuses the
    # next one for a moment ("could not connect to display").
    Xvfb -displayfd 3 -nolisten tcp -noreset -screen 0 1024x768x24 3>"$tmp/display" >"$tmp/xvfb.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 100); do
        [ -s "$tmp/display" ] && break
        sleep 0.1
    done
    [ -s "$tmp/display" ] || { cat "$tmp/xvfb.log"; fail "Xvfb did not start"; }
    display=$(head -n1 "$tmp/display")
    export DISPLAY=:$display
}

caption='^ORV v0\.90 beta$'
visible() { xdotool search --onlyvisible --name "$1" 2>/dev/null || true; }
shot() {
    if [ -n "${ORV_SHOT_DIR:-}" ]; then import -window root "$ORV_SHOT_DIR/$1.png" 2>/dev/null || true; fi
}
widened() { [ "$(xwininfo -id "$1" | awk '/Width:/ { print $2 }')" -gt 300 ]; }
click() { xdotool mousemove --window "$1" "$2" "$3" click 1; }

# Waits (10 s at most) until `condition` holds, failing at once when an error
# box (titled "Orvane") shows or the program has ended.
wait_for() {
    local what=$1
    shift
    for _ in $(seq 100); do
        if [ -n "$(visible '^Orvane$')" ]; then
            shot error
            fail "an error box appeared while waiting for $what; program said: $(cat "$tmp/prog.log")"
        fi
        kill -0 "$prog" 2>/dev/null || fail "the program ended while waiting for $what: $(cat "$tmp/prog.log")"
        if "$@"; then return 0; fi
        sleep 0.1
    done
    shot timeout
    fail "timed out waiting for $what"
}
new_window() {
    local w
    for w in $(visible "$caption"); do
        [[ " $seen " == *" $w "* ]] || { found=$w; return 0; }
    done
    return 1
}
gone() { ! visible "$caption" | grep -qx "$1"; }

# Starts a program and goes the user's road to a contact's card: "Mostrar
# letras >>>", the letter m, the results window's Ok. Positions are the
# controls' twips / 15: cbPorLetra (0, 3600, 3855 x 345), the panel at (4080,
# 600) with "m" at (0, 1440, 375 x 255) inside its 1-pixel frame, cbOk (120,
# 4080, 1935 x 345). Leaves the program running ($prog) on the card ($card).
reach_card() {
    local name=$1 main results
    shift
    "$@" >"$tmp/prog.log" 2>&1 &
    prog=$!
    pids+=("$prog")
    seen=""
    wait_for "the main window" new_window
    main=$found seen=$found
    shot "$name-1-main"
    click "$main" 128 251
    wait_for "the letter panel" widened "$main"
    click "$main" 284 145
    wait_for "the results window" new_window
    results=$found seen="$seen $found"
    shot "$name-2-results"
    click "$results" 72 283
    wait_for "the card" new_window
    card=$found
    wait_for "the results window to close" gone "$results"
}

# The same road, then the card must stay open; the program is ended.
open_card() {
    reach_card "$@"
    # The card opens the book as it loads; give a failure time to show.
    sleep 0.5
    wait_for "the card to stay open" true
    shot "$1-3-card"
    kill "$prog"
    wait "$prog" 2>/dev/null || true
}


# Runs a desktop action of the menu entry `$1` (its id in [Desktop Action id])
# with any files after it, as a launcher does, and waits for the window titled
# `$2`; its X id is left in $found and the program's pid in $prog.
run_action() {
    local entry=$1 action=$2 title=$3 line
    shift 3
    line=$(sed -n "/^\\[Desktop Action $action\\]/,/^\\[/{s/^Exec=//p}" "$entry")
    [ -n "$line" ] || fail "no action $action in $entry"
    run_line "$line" "$title" "$@"
}
# Runs an Exec line `$1` (its field codes already taken out) with any files
# after `$2`, and waits for the window titled `$2`, as run_action.
run_line() {
    local line=$1 title=$2
    shift 2
    eval "set -- $line \"\$@\""
    "$@" >"$tmp/prog.log" 2>&1 &
    prog=$!
    pids+=("$prog")
    title_shown() { found=$(visible "^$title\$" | head -n1); [ -n "$found" ]; }
    wait_for "the window \"$title\"" title_shown
    xdotool windowfocus --sync "$found" 2>/dev/null || true
}
# Waits for the program started by run_action to end by itself.
wait_ended() {
    for _ in $(seq 100); do
        kill -0 "$prog" 2>/dev/null || return 0
        sleep 0.1
    done
    fail "the program did not end: $(cat "$tmp/prog.log")"
}
