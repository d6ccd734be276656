#!/usr/bin/env bash
# Starts or stops the local services the tests and the demo use:
#   Xvfb on display :91 (only when no DISPLAY is set) and nginx on 127.0.0.1:$ZPV_HTTP_PORT
#   serving build/www. Source it: `. tools/services.sh start` exports DISPLAY and the ports.
# nginx also serves the same files over TLS with the certificates of tools/test-certs.sh, one
# port per certificate kind: good ($ZPV_HTTPS_PORT), expired, wrong name, untrusted root; and
# the good certificate with nothing newer than TLS 1.1 ($ZPV_HTTPS_OLD_PORT).
# On the plain port, /https/... answers 302 to the same path on the good TLS port; on the TLS
# ports, PUT /upload/NAME stores the body as build/www/upload/NAME. The good TLS port logs each
# request's target and Range value to $ZPV_HTTPS_LOG (what a test cannot see inside TLS).
_zpv_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
export ZPV_HTTP_PORT=${ZPV_HTTP_PORT:-18431}
export ZPV_HTTPS_PORT=${ZPV_HTTPS_PORT:-18443}
export ZPV_HTTPS_EXPIRED_PORT=${ZPV_HTTPS_EXPIRED_PORT:-18444}
export ZPV_HTTPS_WRONGNAME_PORT=${ZPV_HTTPS_WRONGNAME_PORT:-18445}
export ZPV_HTTPS_UNTRUSTED_PORT=${ZPV_HTTPS_UNTRUSTED_PORT:-18446}
export ZPV_HTTPS_OLD_PORT=${ZPV_HTTPS_OLD_PORT:-18447}
export ZPV_CERTS=${ZPV_CERTS:-$_zpv_root/build/certs}
export ZPV_WWW=${ZPV_WWW:-$_zpv_root/build/www}
_zpv_run=$_zpv_root/build/run
export ZPV_HTTPS_LOG=$_zpv_run/https-access.log

zpv_services_start() {
  mkdir -p "$_zpv_run" "$ZPV_WWW"
  # Programs left running in the build's Wine prefix (a guard mutex held by a stale updater, a
  # stand-in client) would change what the tests see.
  WINEPREFIX=${WINEPREFIX:-$_zpv_root/build/wineprefix} /usr/lib/wine/wineserver -k 2>/dev/null || true
  if [ -z "${DISPLAY:-}" ]; then
    Xvfb :91 -screen 0 1280x800x24 -nolisten tcp >"$_zpv_run/xvfb.log" 2>&1 &
    echo $! > "$_zpv_run/xvfb.pid"
    export DISPLAY=:91
    for _ in $(seq 50); do xdpyinfo >/dev/null 2>&1 && break; sleep 0.1; done
  fi
  bash "$_zpv_root/tools/test-certs.sh" >/dev/null || return 1
  local tls="" kind port
  local protocols="ssl_protocols TLSv1.2 TLSv1.3;"
  local old="ssl_protocols TLSv1 TLSv1.1; ssl_ciphers DEFAULT:@SECLEVEL=0;"
  for kind in server:$ZPV_HTTPS_PORT expired:$ZPV_HTTPS_EXPIRED_PORT \
              wrongname:$ZPV_HTTPS_WRONGNAME_PORT untrusted:$ZPV_HTTPS_UNTRUSTED_PORT \
              server:$ZPV_HTTPS_OLD_PORT; do
    port=${kind#*:}; kind=${kind%%:*}
    tls+="
  server {
    listen 127.0.0.1:$port ssl;
    $([ "$port" = "$ZPV_HTTPS_PORT" ] && echo "access_log $ZPV_HTTPS_LOG zpv_range;")
    ssl_certificate $ZPV_CERTS/$kind.pem;
    ssl_certificate_key $ZPV_CERTS/$kind.key;
    $([ "$port" = "$ZPV_HTTPS_OLD_PORT" ] && echo "$old" || echo "$protocols")
    root $ZPV_WWW;
    location /https/ { alias $ZPV_WWW/; }
    location /slow/ { alias $ZPV_WWW/; limit_rate 50k; }
    # Uploads land in the www folder: a test can check what a long write delivered.
    location /upload/ { alias $ZPV_WWW/upload/; dav_methods PUT; create_full_put_path on; client_max_body_size 4m; }
  }"
  done
  cat > "$_zpv_run/nginx.conf" <<CONF
worker_processes 2;
pid $_zpv_run/nginx.pid;
error_log $_zpv_run/nginx-error.log;
daemon on;
user root;
events { worker_connections 256; }
http {
  access_log off;
  log_format zpv_range '\$request_uri|\$http_range|\$status';
  sendfile on;
  client_body_temp_path $_zpv_run/nginx-tmp;
  proxy_temp_path $_zpv_run/nginx-tmp;
  fastcgi_temp_path $_zpv_run/nginx-tmp;
  uwsgi_temp_path $_zpv_run/nginx-tmp;
  scgi_temp_path $_zpv_run/nginx-tmp;
  types { application/zip zip; }
  default_type application/octet-stream;
  server {
    listen 127.0.0.1:$ZPV_HTTP_PORT;
    root $ZPV_WWW;
    location /static/windows { return 200 "download page\n"; }
    # The same files, slowly: keeps a download running long enough to act on it.
    location /slow/ { alias $ZPV_WWW/; limit_rate 50k; }
    location /https/ { return 302 https://127.0.0.1:$ZPV_HTTPS_PORT\$request_uri; }
    # The same files from a server without byte ranges: every answer is 200 and the whole file.
    location /noranges/ { alias $ZPV_WWW/; max_ranges 0; }
  }$tls
}
CONF
  mkdir -p "$_zpv_run/nginx-tmp"
  [ -f "$_zpv_run/nginx.pid" ] && kill "$(cat "$_zpv_run/nginx.pid")" 2>/dev/null
  nginx -c "$_zpv_run/nginx.conf" -p "$_zpv_run" 2>"$_zpv_run/nginx-start.log" || {
    cat "$_zpv_run/nginx-start.log" >&2; return 1; }
}

zpv_services_stop() {
  [ -f "$_zpv_run/nginx.pid" ] && kill "$(cat "$_zpv_run/nginx.pid")" 2>/dev/null
  rm -f "$_zpv_run/nginx.pid"
  if [ -f "$_zpv_run/xvfb.pid" ]; then kill "$(cat "$_zpv_run/xvfb.pid")" 2>/dev/null; rm -f "$_zpv_run/xvfb.pid"; fi
  WINEPREFIX=${WINEPREFIX:-$_zpv_root/build/wineprefix} /usr/lib/wine/wineserver -k 2>/dev/null || true
}

case "${1:-}" in
  start) zpv_services_start ;;
  stop) zpv_services_stop ;;
esac
