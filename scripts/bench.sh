#!/usr/bin/env bash
# Runs every benchmark in bench/ against a loopback nginx that serves test
# files from tmpfs, then prints one line per target:
#   name: figure (anchor X) goal G — met|NOT met
# Exits 1 when a target is not met or a benchmark could not run; only the
# 32-bit DLL's row may be not run, on a machine that cannot run 32-bit Wine.
#
# Usage: bash scripts/bench.sh [--pairs N] [--download-pairs N] [--clients N] [--only NAME]...
#   --pairs           pairs for the in-memory body and JSON ratios (default 7)
#   --download-pairs  pairs for the download ratios, HTTP and HTTPS (default 15)
#   --clients         simultaneous downloads in the scale target (default 1000)
#   --memory-clients  simultaneous downloads in the memory target (default 1000)
#   --win32-clients   simultaneous downloads in each DLL under Wine (default 500)
#   --only            run only this benchmark: ulid, json, body, download, https,
#                     verified (download and SHA-256), resumed (bytes sent after
#                     a cancel at half), scale, memory, stall (cancel and cleanup) or scale_win32
#                     (the 32-bit and x64 DLLs under Wine); may be given more than once
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
pairs=7
download_pairs=15
clients=1000
memory_clients=1000
win32_clients=500
only=()
while [ $# -gt 0 ]; do
  case "$1" in
    --pairs) pairs=$2; shift 2 ;;
    --download-pairs) download_pairs=$2; shift 2 ;;
    --clients) clients=$2; shift 2 ;;
    --memory-clients) memory_clients=$2; shift 2 ;;
    --win32-clients) win32_clients=$2; shift 2 ;;
    --only) only+=("$2"); shift 2 ;;
    *) sed -n '2,18p' "$0" >&2; exit 2 ;;
  esac
done

bash "$root/scripts/install-deps.sh" linux bench
build=$root/build/bench
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release -DQUILLET_BENCH=ON \
  -DQUILLET_TESTS=OFF -DQUILLET_CLI=OFF >/dev/null
cmake --build "$build" -j2 >/dev/null
bin=$build/bench

work=$(mktemp -d /dev/shm/quillet-bench.XXXXXX)
nginx_pid=
stop() {
  if [ -n "$nginx_pid" ]; then
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap stop EXIT
trap 'exit 130' INT TERM

# nginx's workers may run as an unprivileged user: they must read www/.
chmod 755 "$work"
mkdir -p "$work/www" "$work/out" "$work/temp"
# Pseudo-random bytes (every byte value, so the widening is checked too),
# made fast enough for a gigabyte and different in every file.
make_file() {
  { openssl enc -aes-128-ctr -pass "pass:$1" -nosalt -pbkdf2 </dev/zero 2>/dev/null || true; } |
    head -c "$1" >"$work/www/$1.bin"
}
echo "bench: making test files in $work" >&2
for size in 1M 100M 512M 1G; do
  make_file "$size"
done
chmod 644 "$work"/www/*

# Throwaway TLS material for the HTTPS target: a bench CA and a certificate
# for 127.0.0.1 that it signs, plus a second CA that no bundle holds, whose
# certificate both sides must refuse.
tls=$work/tls
mkdir -p "$tls"
make_ca() {
  openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 2 \
    -subj "/CN=quillet bench $1 CA" -keyout "$tls/$1-ca.key" -out "$tls/$1-ca.pem" \
    -addext basicConstraints=critical,CA:TRUE -addext keyUsage=critical,keyCertSign,cRLSign 2>/dev/null
}
make_server_cert() {
  openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj /CN=127.0.0.1 \
    -keyout "$tls/$1.key" -out "$tls/$1.csr" 2>/dev/null
  printf '%s\n' subjectAltName=IP:127.0.0.1 basicConstraints=CA:FALSE \
    keyUsage=critical,digitalSignature extendedKeyUsage=serverAuth >"$tls/$1.ext"
  openssl x509 -req -days 2 -in "$tls/$1.csr" -CA "$tls/$1-ca.pem" -CAkey "$tls/$1-ca.key" \
    -CAcreateserial -extfile "$tls/$1.ext" -out "$tls/$1.pem" 2>/dev/null
}
make_ca trusted && make_server_cert trusted
make_ca untrusted && make_server_cert untrusted
chmod 644 "$tls"/*.pem "$tls"/*.key

# nginx in the foreground on 127.0.0.1; a taken port means another try.
for attempt in 1 2 3 4 5 6 7 8 9 10; do
  port=$((20000 + RANDOM % 12000))
  tls_port=$((port + 1))
  untrusted_port=$((port + 2))
  cat >"$work/nginx.conf" <<EOF
worker_processes 1;
worker_rlimit_nofile 16384;
pid $work/nginx.pid;
error_log $work/error.log warn;
events { worker_connections 8192; }
http {
  access_log off;
  log_format counted '\$body_bytes_sent';
  client_body_temp_path $work/temp/body;
  proxy_temp_path $work/temp/proxy;
  fastcgi_temp_path $work/temp/fastcgi;
  uwsgi_temp_path $work/temp/uwsgi;
  scgi_temp_path $work/temp/scgi;
  default_type application/octet-stream;
  sendfile on;
  server {
    listen 127.0.0.1:$port;
    root $work/www;
    # The resumed target counts what the server sent for each request.
    location /counted/ {
      alias $work/www/;
      access_log $work/counted.log counted;
    }
    # Slow enough that the scale target's downloads all run at the same time.
    location /slow/ {
      alias $work/www/;
      limit_rate 200k;
    }
  }
  server {
    listen 127.0.0.1:$tls_port ssl;
    ssl_certificate $tls/trusted.pem;
    ssl_certificate_key $tls/trusted.key;
    root $work/www;
  }
  server {
    listen 127.0.0.1:$untrusted_port ssl;
    ssl_certificate $tls/untrusted.pem;
    ssl_certificate_key $tls/untrusted.key;
    root $work/www;
  }
}
EOF
  nginx -p "$work" -e "$work/error.log" -c "$work/nginx.conf" -g 'daemon off;' &
  nginx_pid=$!
  for _ in $(seq 50); do
    if curl -sf -o /dev/null "http://127.0.0.1:$port/1M.bin" || ! kill -0 "$nginx_pid" 2>/dev/null; then
      break
    fi
    sleep 0.1
  done
  if kill -0 "$nginx_pid" 2>/dev/null && curl -sf -o /dev/null "http://127.0.0.1:$port/1M.bin"; then
    break
  fi
  kill "$nginx_pid" 2>/dev/null || true
  wait "$nginx_pid" 2>/dev/null || true
  nginx_pid=
done
if [ -z "$nginx_pid" ]; then
  echo "bench: nginx did not start:" >&2
  cat "$work/error.log" >&2
  exit 1
fi
url=http://127.0.0.1:$port
echo "bench: nginx (pid $nginx_pid) serves $url, https://127.0.0.1:$tls_port and https://127.0.0.1:$untrusted_port" >&2

status=0
summary=$work/summary
wanted() {
  [ ${#only[@]} -eq 0 ] || [[ " ${only[*]} " == *" $1 "* ]]
}
run() {
  if ! wanted "$1"; then
    return
  fi
  echo "bench: $1" >&2
  "$bin/quillet_bench_$1" "${@:2}" | tee -a "$summary" || status=1
}
run ulid
run json --pairs "$pairs"
run body --url "$url/100M.bin" --file "$work/www/100M.bin" \
  --big-url "$url/512M.bin" --big-file "$work/www/512M.bin" --pairs "$pairs"
run download --url "$url/1G.bin" --size $((1 << 30)) --dir "$work/out" --pairs "$download_pairs"
if wanted verified || wanted resumed; then
  sha256=$(sha256sum "$work/www/1G.bin" | cut -d' ' -f1)
  run verified --target verify --url "$url/1G.bin" --size $((1 << 30)) --sha256 "$sha256" --dir "$work/out" \
    --pairs "$download_pairs"
  # The same program, under the resumed target's name.
  if wanted resumed; then
    echo "bench: resumed" >&2
    "$bin/quillet_bench_verified" --target resume --url "$url/counted/1G.bin" --size $((1 << 30)) \
      --sha256 "$sha256" --dir "$work/out" --log "$work/counted.log" | tee -a "$summary" || status=1
  fi
fi

# The library reads libcurl's default CA bundle and no environment variable,
# so the HTTPS target runs in a private mount namespace where a bundle that
# also holds the bench CA lies over that path; the curl command line there
# verifies against the same bundle. Nothing turns verification off.
if wanted https; then
  echo "bench: https" >&2
  https_name="https download 1024 MiB"
  https_goal="<= 1.02x"
  bundle=$(curl-config --ca 2>/dev/null || true)
  [ -n "$bundle" ] || bundle=/etc/ssl/certs/ca-certificates.crt
  cat "$bundle" "$tls/trusted-ca.pem" >"$tls/bundle.pem"
  if curl -sf --cacert "$tls/trusted-ca.pem" -o /dev/null "https://127.0.0.1:$tls_port/1M.bin" &&
    unshare --mount --propagation private true 2>/dev/null; then
    unshare --mount --propagation private bash -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' _ \
      "$tls/bundle.pem" "$bundle" env -u CURL_CA_BUNDLE -u SSL_CERT_FILE -u SSL_CERT_DIR \
      "$bin/quillet_bench_download" --url "https://127.0.0.1:$tls_port/1G.bin" --size $((1 << 30)) \
      --dir "$work/out" --pairs "$download_pairs" --untrusted-url "https://127.0.0.1:$untrusted_port/1M.bin" |
      tee -a "$summary" || status=1
  else
    echo "$https_name: not run, no private mount namespace or no HTTPS server (anchor not measured) goal $https_goal — NOT met" |
      tee -a "$summary"
    status=1
  fi
fi
run scale --url "$url/slow/1M.bin" --size $((1 << 20)) --dir "$work/out" --count "$clients"
run memory --url "$url/slow/1M.bin" --size $((1 << 20)) --dir "$work/out" --count "$memory_clients"
run stall --dir "$work/out"

# The same scale target in the 32-bit DLL, under Wine, which reaches the same
# loopback nginx.
# The same scale target in the Windows DLLs under Wine, which reach the same
# loopback nginx. A machine that cannot run the 32-bit Wine loader reports that
# row as not run, without failing the script, as long as the x64 one runs.
if wanted scale_win32; then
  cache=${QUILLET_WIN32_CACHE:-${HOME:-/root}/.cache/quillet-win32}
  bash "$root/scripts/install-deps.sh" wine64 >&2 || true
  source "$root/scripts/wine-loader.sh"
  for arch in x86 x64; do
    echo "bench: scale_win32 ($arch)" >&2
    if [ "$arch" = x86 ]; then
      win_build=${QUILLET_WIN32_BUILD:-$root/build-win32} cc=i686-w64-mingw32-gcc
      prefix=$cache/wine wine_arch=win32
    else
      win_build=${QUILLET_WIN64_BUILD:-$root/build-win64} cc=x86_64-w64-mingw32-gcc
      prefix=$cache/wine64 wine_arch=win64
    fi
    bash "$root/scripts/build-win32.sh" --arch "$arch" >&2
    mkdir -p "$work/$arch"
    "$cc" -std=c11 -O2 -Wall -Werror -I"$root/include" -I"$win_build/include" \
      "$root/bench/scale_win32.c" -L"$win_build/bin" -L"$win_build" -lquillet -o "$work/$arch/scale.exe"
    cp "$win_build/bin/quillet.dll" "$work/$arch/"
    if ! wine=$(wine_loader "$arch"); then
      echo "scale in the $arch DLL under Wine: not run: $wine" | tee -a "$summary"
      [ "$arch" = x86 ] || status=1
      continue
    fi
    (
      export WINEPREFIX=$prefix WINEARCH=$wine_arch WINEDEBUG=-all
      export WINEDLLOVERRIDES="mscoree,mshtml="
      unset DISPLAY WAYLAND_DISPLAY
      [ -f "$WINEPREFIX/system.reg" ] || "$wine" wineboot -i </dev/null >/dev/null 2>&1
      "$wine" "$work/$arch/scale.exe" "$url/slow/1M.bin" "Z:${work//\//\\}\\out" "$win32_clients" $((1 << 20)) </dev/null
    ) | tee -a "$summary" || status=1
  done
fi

echo
echo "bench: summary"
touch "$summary"
cat "$summary"
if grep -q 'NOT met' "$summary"; then
  status=1
fi
exit "$status"
