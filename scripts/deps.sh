#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, only
# when one of them is missing, so that repeated runs cost nothing.
set -euo pipefail
# Build: cmake g++ make, Qt (whose CMake files want libgl-dev), SQLite, ICU.
# tst_faults: the sqlite3 shell. run.sh without a display: xvfb-run, which
# needs xauth. scripts/fuzz.sh: clang with libFuzzer. bench.sh: GNU time.
# tst_carddav: radicale (a CardDAV server) and openssl (its test certificate);
# the sync benchmark: vdirsyncer. The art tool: Qt Svg. The install test:
# xdotool and x11-utils (driving the installed program under Xvfb),
# desktop-file-utils and appstream (validators), man-db and groff-base (manual pages).
packages=(cmake g++ make qt6-base-dev libgl-dev libsqlite3-dev libicu-dev sqlite3 xvfb xauth
          clang libclang-rt-14-dev time radicale vdirsyncer openssl
          qt6-svg-dev xdotool x11-utils desktop-file-utils appstream man-db groff-base
          # The windows: the faces their twips were drawn for, Qt's texts in Spanish.
          fonts-liberation qt6-translations-l10n)
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
