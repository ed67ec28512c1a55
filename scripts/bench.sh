#!/usr/bin/env bash
# Runs every benchmark in bench/ against a loopback nginx that serves test
# files from tmpfs, then prints one line per target:
#   name: figure (anchor X) goal G — met|NOT met
# Exits 1 when a target is not met or a benchmark could not run; only the
# 32-bit DLL's row may be not run, on a machine that cannot run 32-bit Wine.
#
# Usage: bash scripts/bench.sh [--pairs N] [--download-pairs N] [--many-pairs N] [--clients N] [--only NAME]...
#   --pairs           pairs for the in-memory body and JSON ratios (default 7)
#   --download-pairs  pairs for the download ratios, HTTP and HTTPS (default 15)
#   --clients         simultaneous downloads in the scale target (default 1000)
#   --memory-clients  simultaneous downloads in the memory target (default 1000)
#   --win32-clients   simultaneous downloads in each DLL under Wine (default 500)
#   --many-pairs      pairs for the many-files ratios, HTTP and HTTPS (default 5)
#   --only            run only this benchmark: ulid, json, body, download, https,
#                     verified (download and SHA-256), resumed (bytes sent after
#                     a cancel at half), signature (a 1 GiB file's minisign
#                     signature), many (2,000 small files, HTTP and HTTPS),
#                     job (the same list as one download job over HTTPS, polled every 16 ms),
#                     scale, memory, stall (cancel and cleanup), scale_win32 (the
#                     32-bit and x64 DLLs under Wine) or many_win32 (the many-files
#                     list in the x64 DLL under Wine, no goal); may be given more than once
set -euo pipefail

root=$(cd "$(dirname "$0")/.." && pwd)
pairs=7
download_pairs=15
many_pairs=5
clients=1000
memory_clients=1000
win32_clients=500
only=()
while [ $# -gt 0 ]; do
  case "$1" in
    --pairs) pairs=$2; shift 2 ;;
    --download-pairs) download_pairs=$2; shift 2 ;;
    --many-pairs) many_pairs=$2; shift 2 ;;
    --clients) clients=$2; shift 2 ;;
    --memory-clients) memory_clients=$2; shift 2 ;;
    --win32-clients) win32_clients=$2; shift 2 ;;
    --only) only+=("$2"); shift 2 ;;
    *) sed -n '2,21p' "$0" >&2; exit 2 ;;
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
# The many-files list: 2,000 files of 16 KiB, each with bytes of its own.
mkdir -p "$work/www/many"
make_file 32000K
split -b 16K -d -a 4 --additional-suffix=.bin "$work/www/32000K.bin" "$work/www/many/f"
rm "$work/www/32000K.bin"
chmod 755 "$work/www/many"
chmod 644 "$work"/www/*.bin "$work"/www/many/*

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
  h2_port=$((port + 3))
  relay_port=$((port + 4))
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
    listen 127.0.0.1:$h2_port ssl http2;
    # Far more requests over one connection than nginx's default 1,000, as a
    # CDN allows: at that default every client, curl too, opens a connection
    # per thousand files, and the count would measure the server.
    keepalive_requests 100000;
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
# The same 1 GiB file's prehashed signature, checked by the library and by
# minisign itself.
run signature --file "$work/www/1G.bin" --dir "$work/out" --pairs "$pairs"

# The library reads libcurl's default CA bundle and no environment variable,
# so the HTTPS targets run in a private mount namespace where a bundle that
# also holds the bench CA lies over that path; the curl command line there
# verifies against the same bundle. Nothing turns verification off.
bundle=$(curl-config --ca 2>/dev/null || true)
[ -n "$bundle" ] || bundle=/etc/ssl/certs/ca-certificates.crt
cat "$bundle" "$tls/trusted-ca.pem" >"$tls/bundle.pem"
# Usage: with_bench_ca NAME GOAL COMMAND...; a machine without private mount
# namespaces (or an HTTPS server that does not answer) gets a NOT met line.
with_bench_ca() {
  local name=$1 goal=$2
  shift 2
  if curl -sf --cacert "$tls/trusted-ca.pem" -o /dev/null "https://127.0.0.1:$tls_port/1M.bin" &&
    unshare --mount --propagation private true 2>/dev/null; then
    unshare --mount --propagation private bash -c 'mount --bind "$1" "$2" && shift 2 && exec "$@"' _ \
      "$tls/bundle.pem" "$bundle" env -u CURL_CA_BUNDLE -u SSL_CERT_FILE -u SSL_CERT_DIR "$@" |
      tee -a "$summary" || status=1
  else
    echo "$name: not run, no private mount namespace or no HTTPS server (anchor not measured) goal $goal — NOT met" |
      tee -a "$summary"
    status=1
  fi
}
if wanted https; then
  echo "bench: https" >&2
  with_bench_ca "https download 1024 MiB" "<= 1.02x" \
    "$bin/quillet_bench_download" --url "https://127.0.0.1:$tls_port/1G.bin" --size $((1 << 30)) \
    --dir "$work/out" --pairs "$download_pairs" --untrusted-url "https://127.0.0.1:$untrusted_port/1M.bin"
fi
# The same list as one download job over HTTPS (an HTTP/1.1 server), the
# host polling the job every 16 ms as a UI timer does.
if wanted job; then
  echo "bench: job" >&2
  "$bin/quillet_bench_many" --queue 10000 --url "$url/many/" --source "$work/www/many" --dir "$work/out" |
    tee -a "$summary" || status=1
  # HTTP/2 as a real server is met: 50 ms away. The relay counts the
  # connections each side opens; the job must do with two at most.
  "$bin/quillet_bench_relay" "$relay_port" "$h2_port" 25 "$work/relay-count" &
  relay_pid=$!
  with_bench_ca "job of many files over HTTP/2 through a 50 ms relay" "<= 1.2x" \
    "$bin/quillet_bench_many" --job 1 --poll-us 16000 --parallel 100 --limit-percent 120 --max-connections 2 \
    --connections-file "$work/relay-count" --url "https://127.0.0.1:$relay_port/many/" \
    --source "$work/www/many" --dir "$work/out" --pairs "$many_pairs" \
    --untrusted-url "https://127.0.0.1:$untrusted_port/1M.bin"
  kill "$relay_pid" 2>/dev/null || true
  wait "$relay_pid" 2>/dev/null || true
  with_bench_ca "job of many files over HTTPS" "<= 1.0x" \
    "$bin/quillet_bench_many" --job 1 --poll-us 16000 --parallel 16 --url "https://127.0.0.1:$tls_port/many/" \
    --source "$work/www/many" --dir "$work/out" --pairs "$many_pairs" \
    --untrusted-url "https://127.0.0.1:$untrusted_port/1M.bin"
fi
if wanted many; then
  run many --url "$url/many/" --source "$work/www/many" --dir "$work/out" --pairs "$many_pairs"
  with_bench_ca "many files over HTTPS" "<= 1.2x" \
    "$bin/quillet_bench_many" --url "https://127.0.0.1:$tls_port/many/" --source "$work/www/many" \
    --dir "$work/out" --pairs "$many_pairs" --untrusted-url "https://127.0.0.1:$untrusted_port/1M.bin"
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

# The many-files list in the x64 DLL under Wine, over HTTP and HTTPS, beside
# the curl command line fetching it here. No goal: Wine's TLS is not Windows'
# (and checks no certificate), and Wine adds its own cost to every call.
if wanted many_win32; then
  echo "bench: many_win32" >&2
  cache=${QUILLET_WIN32_CACHE:-${HOME:-/root}/.cache/quillet-win32}
  bash "$root/scripts/install-deps.sh" wine64 >&2 || true
  source "$root/scripts/wine-loader.sh"
  win_build=${QUILLET_WIN64_BUILD:-$root/build-win64}
  bash "$root/scripts/build-win32.sh" --arch x64 >&2
  mkdir -p "$work/x64" "$work/out-many"
  x86_64-w64-mingw32-gcc -std=c11 -O2 -Wall -Werror -I"$root/include" -I"$win_build/include" \
    "$root/bench/many_win32.c" -L"$win_build/bin" -L"$win_build" -lquillet -o "$work/x64/many.exe"
  cp "$win_build/bin/quillet.dll" "$work/x64/"
  count=$(find "$work/www/many" -name '*.bin' | wc -l)
  name="many files $count x 16 KiB in the x64 DLL under Wine, 8 at once"
  if ! wine=$(wine_loader x64); then
    echo "$name: not run: $wine" | tee -a "$summary"
    status=1
  else
    # Median of three runs of one side; DLL_RUN and CURL_RUN each print seconds.
    median3() { for _ in 1 2 3; do "$@"; done | sort -n | sed -n 2p; }
    dll_run() {
      WINEPREFIX=$cache/wine64 WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=" \
        DISPLAY= WAYLAND_DISPLAY= "$wine" "$work/x64/many.exe" "$1" "Z:${work//\//\\}\\out-many" "$count" 8 16384 \
        </dev/null | cut -d' ' -f1
    }
    curl_run() {
      local list=$work/many-curl.cfg
      for i in $(seq 0 $((count - 1))); do
        printf 'url = "%sf%04d.bin"\noutput = "%s/out-many/curl-%04d.bin"\n' "$1" "$i" "$work" "$i"
      done >"$list"
      local start end
      start=$(date +%s.%N)
      curl -s --no-progress-meter --fail --parallel --parallel-max 8 --cacert "$tls/trusted-ca.pem" -K "$list"
      end=$(date +%s.%N)
      rm -f "$work"/out-many/curl-*.bin
      awk -v s="$start" -v e="$end" 'BEGIN { print e - s }'
    }
    [ -f "$cache/wine64/system.reg" ] || WINEPREFIX=$cache/wine64 WINEARCH=win64 WINEDEBUG=-all \
      "$wine" wineboot -i </dev/null >/dev/null 2>&1
    figures=()
    for base in "$url/many/" "https://127.0.0.1:$tls_port/many/"; do
      figures+=("$(median3 dll_run "$base")" "$(median3 curl_run "$base")")
    done
    printf '%s: HTTP %.3f s, HTTPS %.3f s, medians of 3 (anchor curl --parallel --parallel-max 8 HTTP %.3f s, HTTPS %.3f s) no goal\n' \
      "$name" "${figures[0]}" "${figures[2]}" "${figures[1]}" "${figures[3]}" | tee -a "$summary"
  fi
fi

echo
echo "bench: summary"
touch "$summary"
cat "$summary"
if grep -q 'NOT met' "$summary"; then
  status=1
fi
exit "$status"
