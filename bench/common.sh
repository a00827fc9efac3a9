# What the benchmark scripts share; sourced after `work` names their
# temporary folder.

# The median of the numbers on standard input, one a line.
med() { sort -n | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

# Runs a command with its output to a file; appends "elapsed-seconds peak-KiB"
# to the file named first.
timed() {
    local into=$1
    shift
    /usr/bin/time -o "$work/time" -f "%e %M" "$@" >"$work/out" 2>"$work/err" ||
        { cat "$work/err" >&2; exit 1; }
    cat "$work/time" >>"$into"
}
