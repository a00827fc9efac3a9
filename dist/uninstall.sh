#!/bin/sh
# Removes this install of Orvane, exactly the files that its install listed in
# install_manifest.txt beside this script (paths inside the prefix), then the
# folders that this leaves empty. The contact book in the data folder stays;
# the link to it beside the program goes.
#   PREFIX/lib/orvane/uninstall
set -eu
own=$(cd "$(dirname "$0")" && pwd -P)
prefix=$(dirname "$(dirname "$own")")
manifest=$own/install_manifest.txt
[ -f "$manifest" ] || { echo "orvane: no se encuentra $manifest" >&2; exit 1; }

# The link to the book beside the program goes even when the launcher made it
# after a staged install (then it is not in the list); a real book copied
# there by hand stays.
{ grep -vx 'lib/orvane/orv.mdb' "$manifest" || true; echo lib/orvane/orv.mdb; } |
while IFS= read -r file; do
    case $file in '' | /* | *..*) continue ;; esac
    path=$prefix/$file
    if [ "$file" = lib/orvane/orv.mdb ]; then
        [ -L "$path" ] || continue
    fi
    [ -e "$path" ] || [ -L "$path" ] || continue
    [ -d "$path" ] && [ ! -L "$path" ] && continue
    rm -f "$path"
    # The folders this leaves empty.
    dir=$(dirname "$path")
    while [ "$dir" != "$prefix" ] && rmdir "$dir" 2>/dev/null; do dir=$(dirname "$dir"); done
done
echo "Orvane desinstalado de $prefix"
