#!/usr/bin/env bash
# The Debian package as a user meets it: builds it with dpkg-buildpackage from
# a copy of the source tree (the working tree's files, so that nothing lands
# in the tree or its build folders), checks it with lintian (no error, no
# warning), installs it into a scratch root with dpkg --root, then, as an
# ordinary user (nobody) with a fresh HOME, starts the installed program under
# Xvfb from the menu entry's Exec line, opens a contact's card and finds the
# book in that user's data folder; dpkg --purge leaves the book. Every wait is
# bounded. Exits 77 (skipped) where the packaging tools are missing.
#   tests/install/package.sh SOURCE_DIR
# With ORV_SHOT_DIR set, screenshots of the screen are left there.
set -euo pipefail
src=$(cd "$1" && pwd)
for tool in dpkg-buildpackage dh lintian fakeroot setpriv Xvfb xdotool; do
    if ! command -v "$tool" >/dev/null; then
        echo "SKIP: $tool is missing (scripts/deps.sh --tests installs it)"
        exit 77
    fi
done
started=$SECONDS
tmp=$(mktemp -d)
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
    wait 2>/dev/null || true
    rm -rf "$tmp" "${work:-}"
}
trap cleanup EXIT
fail() {
    echo "FAIL: $*" >&2
    exit 1
}
step() { echo "-- $*"; }

step "copy the source tree"
# In a folder of its own for each source tree, always the same one: the
# compiler's flags name it, so that ccache can serve a second build.
work=${TMPDIR:-/tmp}/orvane-package-$(printf '%s' "$src" | md5sum | cut -c1-8)
rm -rf "$work"
copy=$work/orvane
mkdir -p "$copy"
if git -C "$src" rev-parse --git-dir >/dev/null 2>&1; then
    # Tracked and new files as they are now; build folders are ignored.
    git -C "$src" ls-files -co --exclude-standard -z | (cd "$src" && tar --null -T - -cf -) |
        tar -xf - -C "$copy"
else
    tar -C "$src" --exclude='./build*' --exclude='./bench-data' -cf - . | tar -xf - -C "$copy"
fi

step "dpkg-buildpackage -us -uc -b"
# ccache, where there is one, makes a second build quick; the copy's own
# folder is its base, so that its objects match from one copy to the next.
if command -v ccache >/dev/null; then
    export CMAKE_CXX_COMPILER_LAUNCHER=ccache CCACHE_BASEDIR=$copy
fi
build_started=$SECONDS
(cd "$copy" && DEB_BUILD_OPTIONS="parallel=$(nproc)" timeout 1500 dpkg-buildpackage -us -uc -b) \
    >"$tmp/build.log" 2>&1 || { tail -50 "$tmp/build.log"; fail "dpkg-buildpackage"; }
echo "built in $((SECONDS - build_started)) s"
debs=("$work"/orvane_*.deb)
[ ${#debs[@]} = 1 ] && [ -f "${debs[0]}" ] || fail "one package expected: ${debs[*]}"
deb=${debs[0]}
changes=$(echo "$work"/orvane_*.changes)
echo "package: $(basename "$deb"), $(stat -c %s "$deb") bytes"

step "lintian: no error, no warning"
# Informational tags are listed, not failed on.
lintian --display-info --tag-display-limit 0 "$changes" >"$tmp/lintian.log" 2>&1 || true
cat "$tmp/lintian.log"
! grep -E '^[EW]: ' "$tmp/lintian.log" || fail "lintian reports errors or warnings"

step "what the package holds"
dpkg-deb -c "$deb" | awk '{ print $6 }' >"$tmp/contents"
for f in ./usr/bin/orvane ./usr/bin/orvane-db ./usr/libexec/orvane/orvane-desk \
    ./usr/share/applications/org.orvane.Orvane.desktop \
    ./usr/share/metainfo/org.orvane.Orvane.metainfo.xml ./usr/share/man/man1/orvane.1.gz \
    ./usr/share/man/man1/orvane-db.1.gz ./usr/share/bash-completion/completions/orvane-db \
    ./usr/share/icons/hicolor/scalable/apps/org.orvane.Orvane.svg \
    ./usr/share/icons/hicolor/48x48/apps/org.orvane.Orvane.png ./usr/share/doc/orvane/copyright; do
    grep -qx "$f" "$tmp/contents" || fail "not in the package: $f"
done
! grep -v '^\./usr/' "$tmp/contents" | grep -qv '^\./$' || fail "files outside /usr: $(grep -v '^\./usr/' "$tmp/contents")"
field() { dpkg-deb -f "$deb" "$1"; }
[ "$(field Section)" = utils ] || fail "section $(field Section)"
field Depends | grep -q 'libqt6widgets6' || fail "Depends lacks the Qt libraries: $(field Depends)"
field Depends | grep -q 'libsqlite3' || fail "Depends lacks SQLite: $(field Depends)"

step "install into a scratch root with dpkg --root"
root=$tmp/root
mkdir -p "$root/var/lib/dpkg/info" "$root/var/lib/dpkg/updates" "$root/var/lib/dpkg/triggers"
touch "$root/var/lib/dpkg/status" "$root/var/lib/dpkg/available"
# The scratch root lists no other package: its Depends are the machine's.
dpkg --root="$root" --force-depends --force-script-chrootless -i "$deb" >"$tmp/dpkg.log" 2>&1 ||
    { cat "$tmp/dpkg.log"; fail "dpkg -i"; }
[ -x "$root/usr/bin/orvane" ] && [ -x "$root/usr/bin/orvane-db" ] || fail "programs not installed"
"$root/usr/bin/orvane-db" --version | grep -qx 'orvane-db 0.90' || fail "orvane-db --version"

step "an ordinary user starts it from the menu entry and opens a card"
chmod 755 "$tmp"
home=$tmp/home
mkdir -p "$home"
chown nobody:nogroup "$home"
desktop=$root/usr/share/applications/org.orvane.Orvane.desktop
exec_line=$(sed -n '/^\[Desktop Entry\]/,/^\[/{s/^Exec=//p}' "$desktop" | sed 's/ *%[fFuUik]//g')
[ -n "$exec_line" ] || fail "no Exec line"
eval "set -- $exec_line"
source "$(dirname "$0")/screen.sh"
start_screen
# The user's own session: their HOME, no XDG_DATA_HOME, the scratch root's
# programs first on the PATH as /usr/bin would be.
open_card package setpriv --reuid=nobody --regid=nogroup --clear-groups \
    env -i HOME="$home" USER=nobody DISPLAY="$DISPLAY" PATH="$root/usr/bin:/usr/bin:/bin" \
    LANG=C.UTF-8 "$@"
book=$home/.local/share/orvane/orv.mdb
[ -f "$book" ] || fail "no book in the user's data folder: $(find "$home" | head)"
[ "$(stat -c %U "$book")" = nobody ] || fail "the book is not the user's: $(stat -c %U "$book")"
setpriv --reuid=nobody --regid=nogroup --clear-groups "$root/usr/bin/orvane-db" check "$book" >/dev/null ||
    fail "the user's book does not check"
[ -z "$(find "$root" -name 'orv.mdb*')" ] || fail "a book was written in the install: $(find "$root" -name 'orv.mdb*')"

step "dpkg --purge leaves the book"
cp "$book" "$tmp/book.before"
dpkg --root="$root" --force-script-chrootless --purge orvane >"$tmp/purge.log" 2>&1 ||
    { cat "$tmp/purge.log"; fail "dpkg --purge"; }
[ ! -e "$root/usr/bin/orvane" ] || fail "the program is still installed"
cmp -s "$book" "$tmp/book.before" || fail "the purge touched the book"

echo "package test passed in $((SECONDS - started)) s"
