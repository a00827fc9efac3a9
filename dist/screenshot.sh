#!/usr/bin/env bash
# Remakes dist/screenshot.png, the picture the metainfo shows: the main window
# with its letters, the results for "m" and a contact's card, rendered by
# orvane-snap on a small book and set side by side (ImageMagick's convert).
# Run by hand after the windows change; the output is committed.
#   dist/screenshot.sh [BUILD_DIR]
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
cat >"$tmp/contactos.csv" <<'CSV'
Nombre,Apellido,Domicilio,Localidad/Provincia,Telefono,e-mail,ICQ,Fecha de nacimiento,Mas info
Marta,Prieto Sanz,"Calle de Alcalá, 36, 2º D",Madrid/Madrid,915 220 716,marta.prieto@correo.es,48213377,14/03/1986,Cumpleaños en marzo
Manuel,Serrano Vidal,"Ronda de la Iglesia, 130",Écija/Sevilla,954 830 112,,,02/11/1979,
María,Castillo Vázquez,"Camino del Río, 131, 4º A",Ourense/Ourense,988 112 045,maria.castillo@correo.es,,,
María Ángeles,Alonso Prieto,"Plaza de la Iglesia, 81",Teruel/Teruel,978 600 231,,,21/06/1990,
Marcos,Gallego Ramírez,"Ronda de los Olivos, 63",Jaén/Jaén,953 441 908,marcos.g@correo.es,,,
Mariano,Navarro,"Calle de San Martín, 151",Pamplona/Navarra,948 207 330,,,,
Miguel,Ortega León,"Paseo del Carmen, 166, 4º D",Cádiz/Cádiz,956 771 402,,,09/09/1972,
Mónica,Rubio Jiménez,"Ronda del Sol, 94",Valencia/Valencia,963 508 119,monica.rubio@correo.es,,,
Ana,García,"Calle de Andalucía, 2, 7º",Málaga/Málaga,952 300 611,,,,
CSV
"$build/orvane-db" init "$tmp/orv.mdb" >/dev/null
"$build/orvane-db" import "$tmp/orv.mdb" "$tmp/contactos.csv" >/dev/null
"$build/orvane-snap" "$tmp" --appdir "$tmp" frmmain-letras frmsecond-m frmfinal 2>/dev/null
convert -background '#0e1124' "$tmp/frmmain-letras.png" "$tmp/frmsecond-m.png" "$tmp/frmfinal.png" \
    -bordercolor '#0e1124' -border 12 +append -strip dist/screenshot.png
echo "dist/screenshot.png: $(identify -format '%w x %h' dist/screenshot.png)"
