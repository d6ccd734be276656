#!/usr/bin/env bash
# Creates the Wine prefix of the build (once) and lets the GUI fonts fall back to a CJK font,
# so that Chinese texts render as glyphs rather than boxes.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix}
export WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
stamp="$WINEPREFIX/.zpv-ready"
[ -f "$stamp" ] && exit 0
mkdir -p "$WINEPREFIX"
/usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
/usr/lib/wine/wineserver -w || true
font=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
if [ -f "$font" ]; then
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp "$font" "$WINEPREFIX/drive_c/windows/Fonts/"
  reg=$(mktemp --suffix=.reg)
  {
    printf 'REGEDIT4\r\n\r\n'
    printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink]\r\n'
    for f in Tahoma "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif" "Segoe UI" Arial; do
      printf '"%s"=hex(7):77,00,71,00,79,00,2d,00,6d,00,69,00,63,00,72,00,6f,00,68,00,65,00,69,00,2e,00,74,00,74,00,63,00,2c,00,57,00,65,00,6e,00,51,00,75,00,61,00,6e,00,59,00,69,00,20,00,4d,00,69,00,63,00,72,00,6f,00,20,00,48,00,65,00,69,00,00,00,00,00\r\n' "$f"
    done
    printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    printf '"\xe5\xbe\xae\xe8\xbd\xaf\xe9\x9b\x85\xe9\xbb\x91"="WenQuanYi Micro Hei"\r\n'
    printf '"SimSun"="WenQuanYi Micro Hei"\r\n'
  } > "$reg"
  /usr/lib/wine/wine64 regedit "$reg" >/dev/null 2>&1 || true
  /usr/lib/wine/wineserver -w || true
  rm -f "$reg"
fi
touch "$stamp"
