#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the tools need, only
# when one of them is missing, so that repeated runs cost nothing.
set -euo pipefail
packages=(cmake g++ make qt6-base-dev libgl-dev libsqlite3-dev sqlite3 xvfb xauth xdotool x11-utils
          clang libclang-rt-14-dev time qt6-svg-dev desktop-file-utils appstream man-db groff-base)
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
