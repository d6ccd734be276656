#!/usr/bin/env bash
# Creates the Wine prefix of the build and prepares it for the GUI tests:
#  - the default GUI fonts fall back to a CJK font (fonts-wqy-microhei), so Chinese texts
#    render as glyphs rather than boxes, and the skins' Chinese face names map to it;
#  - windows are not handed to a window manager (Xvfb has none, and hiding a managed window
#    would wait for one for seconds).
#  - the test root of tools/test-certs.sh is one of the machine's trusted roots, so that the
#    system's TLS accepts the test servers (only in this prefix; needs the win64 build's
#    zpv_add_root helper, and is redone whenever the test root changes).
# Each step is idempotent; the stamp carries a version so that older prefixes are updated.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build/wineprefix}
export WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=

add_test_root() {
  local certs helper=$root/build/win64/bin/zpv_add_root.exe
  [ -f "$helper" ] || return 0
  certs=$(bash "$root/tools/test-certs.sh")
  local fp
  fp=$(openssl x509 -in "$certs/ca.pem" -noout -fingerprint -sha256 | sed 's/.*=//; s/://g')
  [ -f "$WINEPREFIX/.zpv-root-$fp" ] && return 0
  /usr/lib/wine/wine64 "$helper" "Z:${certs//\//\\}\\ca.der"
  /usr/lib/wine/wineserver -w || true
  rm -f "$WINEPREFIX"/.zpv-root-*
  touch "$WINEPREFIX/.zpv-root-$fp"
}

stamp="$WINEPREFIX/.zpv-ready-2"
if [ -f "$stamp" ]; then add_test_root; exit 0; fi
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
add_test_root
