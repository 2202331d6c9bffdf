#!/usr/bin/env bash
# Device-link benchmark: feedback exchanges per second against the virtual
# bench, beside libmodbus's own bandwidth test on the same machine, and the
# 128 KiB flash write and read-back. Usage: scripts/bench-devlink.sh [SECONDS]
# Installs libmodbus-dev (benchmark only) when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-2}
build=build-devlink-bench

if ! dpkg -s libmodbus-dev >/dev/null 2>&1; then
  SUDO=""; [ "$(id -u)" -ne 0 ] && SUDO=sudo
  $SUDO apt-get update -q
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -q libmodbus-dev
fi

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build "$build" -j2 --target tktest-bench tktest-devlink_bench >/dev/null

# libmodbus's bandwidth programs, built from the examples it ships.
examples=/usr/share/doc/libmodbus-dev/examples
mkdir -p "$build/libmodbus"
for prog in bandwidth-server-one bandwidth-client; do
  src="$examples/$prog.c"
  [ -f "$src" ] || { gunzip -c "$src.gz" > "$build/libmodbus/$prog.c"; src="$build/libmodbus/$prog.c"; }
  gcc -O2 -o "$build/libmodbus/$prog" "$src" $(pkg-config --cflags --libs libmodbus)
done

tmp=$(mktemp -d)
cleanup() {
  [ -n "${bench_pid:-}" ] && kill "$bench_pid" 2>/dev/null || true
  [ -n "${server_pid:-}" ] && kill "$server_pid" 2>/dev/null || true
  rm -rf "$tmp"
}
trap cleanup EXIT

echo "== our library against the virtual bench (loopback) =="
"$build/bench/tktest-bench" --device.usb_port=0 --device.tcp_port=0 > "$tmp/ready" &
bench_pid=$!
for _ in $(seq 100); do grep -q ready "$tmp/ready" 2>/dev/null && break; sleep 0.05; done
endpoint=$(sed -n 's/.*usb=\([^ ]*\).*/\1/p' "$tmp/ready")
TKM_USB_ENDPOINT=$endpoint "$build/tools/tktest-devlink_bench" --seconds="$seconds"
kill "$bench_pid"; wait "$bench_pid" 2>/dev/null || true; bench_pid=

echo
echo "== libmodbus bandwidth-server-one / bandwidth-client (127.0.0.1:1502) =="
"$build/libmodbus/bandwidth-server-one" tcp > "$tmp/server" 2>&1 &
server_pid=$!
sleep 0.3
"$build/libmodbus/bandwidth-client" tcp > "$tmp/client" 2>&1
wait "$server_pid" 2>/dev/null || true; server_pid=
# Each section: "* N x P values" then "* T ms for B bytes"; N requests in T ms.
awk '
  /^READ BITS|^READ REGISTERS|^WRITE AND READ REGISTERS/ { section = $0; want = 1 }
  want && /values$/ { split($2, a, " "); n = $2; p = $4 }
  want && / ms for / { t = $2; printf "libmodbus %-26s %9.0f requests/s  %7.1f us round trip (%d points each)\n", section, n / (t / 1000), 1000 * t / n, p; want = 0 }
' "$tmp/client"
