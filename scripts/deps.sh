#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, only
# when one of them is missing, so that repeated runs cost nothing.
set -euo pipefail
# What the program needs to build and start (run.sh): cmake g++ make, Qt (whose
# CMake files want libgl-dev), SQLite, ICU, libsecret (the desktop's keyring)
# and pkg-config to find it; xvfb-run (with xauth) when there is no display;
# the faces the windows' twips were drawn for and Qt's texts in Spanish.
packages=(cmake g++ make qt6-base-dev libgl-dev libsqlite3-dev libicu-dev libsecret-1-dev
          pkg-config xvfb xauth fonts-liberation qt6-translations-l10n)
# With --tests (test.sh, bench.sh), also: the sqlite3 shell (tests of the book as
# other programs see it); clang with libFuzzer (scripts/fuzz.sh); GNU time
# (bench.sh); radicale, xandikos (a second CardDAV server every sync test runs
# against) and openssl (CardDAV tests) and vdirsyncer (the sync benchmark); Qt Svg (the art tool); xdotool and x11-utils (driving the
# installed program under Xvfb), desktop-file-utils and appstream (validators),
# man-db and groff-base (manual pages) for the install test; dbus, at-spi2-core
# and python3-pyatspi (the windows read on a real accessibility bus); debhelper,
# devscripts, dpkg-dev, fakeroot and lintian (the package test builds the
# Debian package the Debian way and checks it); gnome-keyring and
# libsecret-tools (the keyring tests, on a bus of their own); curl (the install
# test fills a radicale address book for the sync window).
if [ "${1:-}" = "--tests" ] || [ "${1:-}" = "--bench" ]; then
    packages+=(sqlite3 clang libclang-rt-14-dev time radicale xandikos vdirsyncer openssl
               qt6-svg-dev xdotool x11-utils desktop-file-utils appstream man-db groff-base
               dbus at-spi2-core python3-pyatspi debhelper devscripts dpkg-dev fakeroot
               lintian gnome-keyring libsecret-tools curl)
fi
# With --bench (bench.sh), also abook: the floor `orvane-db list` is measured
# against, answering the same query from the same contacts.
if [ "${1:-}" = "--bench" ]; then
    packages+=(abook)
fi
missing=()
for p in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
    echo "Instalando: ${missing[*]}"
    SUDO=""
    [ "$(id -u)" -eq 0 ] || SUDO=sudo
    $SUDO apt-get update -qq
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
fi
