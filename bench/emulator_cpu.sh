#!/usr/bin/env bash
# CPU time tovrel-emulator spends (a) with one client connected that sends nothing, over 10 s,
# and (b) for one whole update at 115200 baud, next to what tovrel itself spends on it.
# Prints figures; never fails on them.
#
#   bench/emulator_cpu.sh [build directory, default build/default] [image bytes, default 16384]
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."
build="${1:-build/default}"
image_bytes="${2:-16384}"
emulator="$build/emulator/server/tovrel-emulator"
tovrel="$build/app/tovrel"
work="$(mktemp -d)"
trap 'kill "$server" 2>/dev/null || true; rm -rf "$work"' EXIT

ticks_per_second="$(getconf CLK_TCK)"
# utime + stime of a process, in milliseconds.
cpu_ms() {
  local fields
  read -r -a fields < <(sed 's/.*) //' "/proc/$1/stat")
  echo $(((fields[11] + fields[12]) * 1000 / ticks_per_second))
}
# Waits (at most 5 s) for the banner and prints the port it names.
listening_port() {
  for _ in $(seq 50); do
    if grep -q 'listening on' "$1"; then
      sed -n 's/.*listening on 127\.0\.0\.1:\([0-9]*\).*/\1/p' "$1"
      return
    fi
    sleep 0.1
  done
  echo "no banner in $1" >&2
  exit 1
}

echo "== one silent client, 10 s"
"$emulator" --listen 127.0.0.1:0 >"$work/idle.log" &
server=$!
port="$(listening_port "$work/idle.log")"
exec 3<>"/dev/tcp/127.0.0.1/$port"
sleep 1  # the option negotiation is over; from here on nothing happens
before_ms="$(cpu_ms "$server")"
before_ps="$(ps -o time= -p "$server")"
sleep 10
after_ms="$(cpu_ms "$server")"
after_ps="$(ps -o time= -p "$server")"
exec 3<&-
kill "$server"
wait "$server" || true
echo "cpu: $((after_ms - before_ms)) ms in 10 s (ps -o time: $before_ps -> $after_ps)"

echo "== one update of $image_bytes bytes at 115200"
head -c "$image_bytes" /dev/urandom >"$work/image.bin"
/usr/bin/time -f "%U %S" -o "$work/server.time" \
  "$emulator" --listen 127.0.0.1:0 --once --baud 115200 >"$work/session.log" &
server=$!
port="$(listening_port "$work/session.log")"
/usr/bin/time -f "%U %S %e" -o "$work/tovrel.time" \
  "$tovrel" "$work/image.bin" "rfc2217://127.0.0.1:$port" 115200 >"$work/tovrel.out" || true
wait "$server" || true
read -r server_user server_system <"$work/server.time"
read -r tovrel_user tovrel_system elapsed <"$work/tovrel.time"
tail -n 1 "$work/tovrel.out"
echo "update took ${elapsed} s"
echo "tovrel-emulator: user ${server_user} s, system ${server_system} s"
echo "tovrel:          user ${tovrel_user} s, system ${tovrel_system} s"
