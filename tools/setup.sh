#!/usr/bin/env bash
# Installs the Debian packages the builds, tests and demo need (only what is missing).
set -euo pipefail
pkgs=(cmake make g++ clang libclang-rt-14-dev python3 python3-pil zip unzip
      g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix binutils-mingw-w64
      libboost-dev libstb-dev libz-mingw-w64-dev zlib1g-dev googletest
      libssl-dev openssl libgnutls30
      wine64 xvfb x11-utils xdotool imagemagick fonts-wqy-microhei nginx aria2 hyperfine time)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null || true
  apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi
