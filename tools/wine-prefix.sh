#!/usr/bin/env bash
# Creates the Wine prefix of the build and prepares it for the GUI tests:
#  - the default GUI fonts fall back to a CJK font (fonts-wqy-microhei), so Chinese texts
#    render as glyphs rather than boxes, and the skins' Chinese face names map to it;
#  - windows are not handed to a window manager (Xvfb has none, and hiding a managed window
#    would wait for one for seconds).
# Each step is idempotent; the stamp carries a version so that older prefixes are updated.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix}
export WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
stamp="$WINEPREFIX/.zpv-ready-2"
[ -f "$stamp" ] && exit 0
mkdir -p "$WINEPREFIX"
if [ ! -f "$WINEPREFIX/system.reg" ]; then
  /usr/lib/wine/wine64 wineboot -i >/dev/null 2>&1 || true
  /usr/lib/wine/wineserver -w || true
fi

font=/usr/share/fonts/truetype/wqy/wqy-microhei.ttc
reg=$(mktemp --suffix=.reg)
utf8=$(mktemp)
{
  printf 'Windows Registry Editor Version 5.00\r\n\r\n'
  printf '[HKEY_CURRENT_USER\\Software\\Wine\\X11 Driver]\r\n"Managed"="N"\r\n\r\n'
  if [ -f "$font" ]; then
    # "wqy-microhei.ttc,WenQuanYi Micro Hei" as a REG_MULTI_SZ (UTF-16LE, double NUL).
    link=$(printf 'wqy-microhei.ttc,WenQuanYi Micro Hei' | iconv -f UTF-8 -t UTF-16LE | od -An -v -tx1 |
           tr -s ' \n' ',' | sed 's/^,//; s/,$//')
    printf '[HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows NT\\CurrentVersion\\FontLink\\SystemLink]\r\n'
    for f in Tahoma "MS Shell Dlg" "MS Shell Dlg 2" "Microsoft Sans Serif" "Segoe UI" Arial "Lucida Sans Unicode"; do
      printf '"%s"=hex(7):%s,00,00,00,00\r\n' "$f" "$link"
    done
    printf '\r\n[HKEY_CURRENT_USER\\Software\\Wine\\Fonts\\Replacements]\r\n'
    for f in "微软雅黑" "Microsoft YaHei" "Microsoft YaHei UI" "SimSun" "宋体" "NSimSun"; do
      printf '"%s"="WenQuanYi Micro Hei"\r\n' "$f"
    done
  fi
} > "$utf8"
# A version-5 registry file is UTF-16LE with a byte-order mark, so the Chinese names survive.
{ printf '\xff\xfe'; iconv -f UTF-8 -t UTF-16LE "$utf8"; } > "$reg"
if [ -f "$font" ]; then
  mkdir -p "$WINEPREFIX/drive_c/windows/Fonts"
  cp "$font" "$WINEPREFIX/drive_c/windows/Fonts/"
fi
/usr/lib/wine/wine64 regedit /S "$reg" >/dev/null 2>&1 || /usr/lib/wine/wine64 regedit "$reg" >/dev/null 2>&1 || true
/usr/lib/wine/wineserver -w || true
rm -f "$reg" "$utf8"
touch "$stamp"
