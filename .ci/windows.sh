#!/bin/bash
# Windows checks, run on Linux with MinGW-w64 and wine:
#   1. the 32-bit program (preset windows-i686): builds warning-free, is a 32-bit console PE
#      executable, and needs no DLL beyond those every Windows has;
#   2. the 64-bit build with its tests (preset windows-x64): builds, and every test runs under
#      wine64 in a throw-away wine prefix, with a pseudo-terminal linked as COM5 whose far end
#      echoes, so that the serial tests also exercise a real COM handle; then tovrel-ports.exe
#      lists the prefix's COM ports;
#   3. the 64-bit tovrel.exe under wine64, stopped by Ctrl-C (which wine delivers as
#      CTRL_C_EVENT) in a pause and in the transfer, each run leaving its record (TOVREL_REPORT).
# tovrel-ports.exe of the 32-bit build is inspected like tovrel.exe.
# 32-bit programs cannot be run here, so the 32-bit build is only inspected.
# Every step is time-bounded. Prints a summary; exits 0 only when nothing failed.
#
# Environment: TOVREL_SOURCE_DIR (default: this repository), TOVREL_CI_KEEP_PREFIX=1 keeps the
# wine prefix for inspection.
set -u -o pipefail

source_dir="${TOVREL_SOURCE_DIR:-$(cd "$(dirname "$0")/.." && pwd)}"
wine64="/usr/lib/wine/wine64"
wineserver="/usr/lib/wine/wineserver"
com_port="COM5"  # COM1 to COM4 map to the machine's own serial devices under wine: never those
build_limit=1800
test_limit=1200

# DLLs that are part of every Windows installation; anything else (libstdc++-6, libgcc_s_*,
# libwinpthread-1) would have to ship beside the program, which the static link avoids.
# KERNEL32: the platform calls. msvcrt: the C runtime MinGW builds against. WS2_32: Winsock, for
# ports reached over the network (serial/rfc2217). bcrypt: CNG, the image's SHA-256. SETUPAPI and
# ADVAPI32: the port list that usb: port names are looked up in. api-ms-win-*: API sets of
# system DLLs.
allowed_dlls_regex='^(KERNEL32|msvcrt|WS2_32|bcrypt|SETUPAPI|ADVAPI32|api-ms-win-[a-z0-9-]+)\.dll$'

declare -a summary=()
failed=0
note() { summary+=("$1"); }
pass() { note "PASS  $1"; }
fail() { note "FAIL  $1"; failed=1; }
skip() { note "SKIP  $1"; }
step() { printf '\n=== %s\n' "$1"; }

for tool in cmake ctest timeout flock file python3 i686-w64-mingw32-g++-posix \
            x86_64-w64-mingw32-g++-posix i686-w64-mingw32-objdump "$wine64" "$wineserver"; do
  if ! command -v "$tool" >/dev/null 2>&1; then
    echo "windows.sh: missing tool: $tool" >&2
    exit 2
  fi
done
cd "$source_dir" || exit 2

# --- 1. 32-bit program -----------------------------------------------------------------------
step "windows-i686: configure and build"
i686_dir="$source_dir/build/windows-i686"
if timeout "$build_limit" cmake --preset windows-i686 &&
   timeout "$build_limit" cmake --build --preset windows-i686 -- -k; then
  pass "windows-i686 build (Release, warnings as errors)"
  i686_built=1
else
  fail "windows-i686 build (see the compiler output above)"
  i686_built=0
fi

step "windows-i686: tovrel.exe"
exe="$(find "$i686_dir" -name tovrel.exe -type f -print -quit 2>/dev/null)"
if [ ! -f "$source_dir/app/main.cpp" ]; then
  skip "tovrel.exe checks: app/main.cpp does not exist yet"
elif [ -z "$exe" ]; then
  if [ "$i686_built" = 1 ]; then
    fail "tovrel.exe checks: the build produced no tovrel.exe"
  else
    skip "tovrel.exe checks: no tovrel.exe because the build failed"
  fi
else
  kind="$(file -b "$exe")"
  echo "file: $kind"
  if [[ "$kind" == *"PE32 executable (console) Intel 80386"* ]]; then
    pass "tovrel.exe is a 32-bit console program"
  else
    fail "tovrel.exe is not a 32-bit console program: $kind"
  fi
  size="$(stat -c %s "$exe")"
  mapfile -t dlls < <(i686-w64-mingw32-objdump -p "$exe" | sed -n 's/^[[:space:]]*DLL Name: //p' |
                      tr -d '\r' | sort -u)
  echo "size: $size bytes; imports: ${dlls[*]}"
  foreign=()
  for dll in "${dlls[@]}"; do
    [[ "${dll,,}" =~ ${allowed_dlls_regex,,} ]] || foreign+=("$dll")  # names are case-blind
  done
  if [ "${#dlls[@]}" -gt 0 ] && [ "${#foreign[@]}" -eq 0 ]; then
    pass "tovrel.exe ($size bytes) imports only system DLLs: ${dlls[*]}"
  else
    fail "tovrel.exe imports DLLs that are not part of Windows: ${foreign[*]:-(no import table)}"
  fi
fi

step "windows-i686: tovrel-ports.exe"
ports_exe="$i686_dir/ports/tovrel-ports.exe"
# The port list also reads the device manager's view (SETUPAPI) and the registry (ADVAPI32).
ports_dlls_regex='^(KERNEL32|msvcrt|SETUPAPI|ADVAPI32|api-ms-win-[a-z0-9-]+)\.dll$'
if [ ! -f "$source_dir/ports/main.cpp" ]; then
  skip "tovrel-ports.exe checks: ports/main.cpp does not exist yet"
elif [ ! -f "$ports_exe" ]; then
  fail "tovrel-ports.exe checks: the build produced no tovrel-ports.exe"
else
  kind="$(file -b "$ports_exe")"
  mapfile -t dlls < <(i686-w64-mingw32-objdump -p "$ports_exe" |
                      sed -n 's/^[[:space:]]*DLL Name: //p' | tr -d '\r' | sort -u)
  echo "file: $kind; imports: ${dlls[*]}"
  foreign=()
  for dll in "${dlls[@]}"; do
    [[ "${dll,,}" =~ ${ports_dlls_regex,,} ]] || foreign+=("$dll")
  done
  if [[ "$kind" == *"PE32 executable (console) Intel 80386"* ]] && [ "${#dlls[@]}" -gt 0 ] &&
     [ "${#foreign[@]}" -eq 0 ]; then
    pass "tovrel-ports.exe is a 32-bit console program importing only system DLLs: ${dlls[*]}"
  else
    fail "tovrel-ports.exe: $kind; DLLs not part of Windows: ${foreign[*]:-none}"
  fi
fi

# --- 2. 64-bit build and its tests under wine64 ----------------------------------------------
step "windows-x64: configure and build"
# A target that fails to build does not stop the others (-k); its tests then show up in CTest as
# <name>_NOT_BUILT and fail there.
x64_configured=0
if timeout "$build_limit" cmake --preset windows-x64; then
  x64_configured=1
  if timeout "$build_limit" cmake --build --preset windows-x64 -- -k; then
    pass "windows-x64 build with tests"
  else
    fail "windows-x64 build (see the compiler output above); the targets that built are tested"
  fi
else
  fail "windows-x64 configure"
fi

prefix=""
peer_pid=""
peer_log=""
cleanup() {
  if [ -n "$peer_pid" ]; then
    kill -TERM "$peer_pid" 2>/dev/null
    wait "$peer_pid" 2>/dev/null
    peer_pid=""
    echoed="$(sed -n 's/^echoed //p' "$peer_log" 2>/dev/null)"
    note "INFO  $com_port peer (pseudo-terminal) echoed ${echoed:-an unknown number of bytes}"
  fi
  if [ -n "$prefix" ]; then
    WINEPREFIX="$prefix" timeout 20 "$wineserver" -k 2>/dev/null
    if [ "${TOVREL_CI_KEEP_PREFIX:-0}" = 1 ]; then
      echo "wine prefix kept: $prefix"
    else
      rm -rf "$prefix"
    fi
    prefix=""
  fi
}
trap cleanup EXIT
trap 'exit 130' INT TERM

# tovrel.exe stopped by Ctrl-C: wine hands a SIGINT sent to the program to its console handler as
# CTRL_C_EVENT (the tests cannot raise one: there is no console to generate it on). In the pause
# after the identification, and in the transfer; each time the message, and the exit status
# STATUS_CONTROL_C_EXIT (0xC000013A), of which the system here keeps the low byte, 58.
ctrl_c_check() {  # name, output to wait for, output expected (a pattern)
  local name="$1" cue="$2" expected="$3"
  local exe="$source_dir/build/windows-x64/app/tovrel.exe" work="$prefix/ctrl-c"
  if [ ! -f "$exe" ]; then
    fail "tovrel.exe Ctrl-C $name: the build produced no tovrel.exe"
    return
  fi
  mkdir -p "$work"
  head -c 65536 /dev/urandom >"$work/image.bin"
  rm -f "$work/report.jsonl"
  # --foreground: timeout hands the SIGINT on to wine alone. Without it, it also sends one to its
  # whole process group, wine then raises a second CTRL_C_EVENT, and that one, as a technician's
  # second Ctrl-C, ends the program at once, before the run's own end and its record.
  (cd "$work" && TOVREL_REPORT=report.jsonl exec timeout --foreground -k 5 60 "$wine64" "$exe" \
      image.bin sim:// 38400 >"$work/out" 2>&1) &
  local pid=$! status=""
  for _ in $(seq 300); do
    grep -q -a -- "$cue" "$work/out" 2>/dev/null && break
    sleep 0.1
  done
  kill -INT "$pid"  # timeout hands it on to wine, once
  for _ in $(seq 100); do
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.1
  done
  wait "$pid"
  status=$?
  local output
  output="$(tr -d '\r' <"$work/out" | tr '\b' '~')"
  # Its record (TOVREL_REPORT): one line, appended through FILE_APPEND_DATA, that says so.
  local record
  record="$(cat "$work/report.jsonl" 2>/dev/null)"
  if [ "$status" = 58 ] && [[ "$output" == $expected ]] && [ "$(wc -l <"$work/report.jsonl")" = 1 ] &&
     [[ "$record" == *'"outcome":"interrupted"'* ]]; then
    pass "tovrel.exe stopped by Ctrl-C $name: ${output##*$'\n'} (status $status), recorded"
  else
    fail "tovrel.exe stopped by Ctrl-C $name: status $status, output: $output, record: $record"
  fi
}
ctrl_c_checks() {
  step "windows-x64: tovrel.exe stopped by Ctrl-C under wine"
  ctrl_c_check "in a pause" "Product ID" $'Product ID: VELMOR TP-200 FW 1.04\nUpdate interrupted.'
  ctrl_c_check "in the transfer" "  3%" \
      $'Product ID: VELMOR TP-200 FW 1.04\n\nProgramming -   0%*~~~~100%\nFlash update failed, * bytes transferred.'
}

if [ "$x64_configured" = 1 ]; then
  step "windows-x64: tests under wine64"
  prefix="$(mktemp -d "${TMPDIR:-/tmp}/tovrel-ci-wine.XXXXXX")"
  export WINEPREFIX="$prefix" WINEDEBUG=-all
  if timeout 180 "$wine64" wineboot -i >/dev/null 2>&1; then
    touch "$prefix/.tovrel-ready"  # tells cmake/wine-run.sh the prefix is made
    # One wine server for the whole run instead of one per test program.
    timeout 20 "$wineserver" -p 60 >/dev/null 2>&1 || true

    peer_log="$prefix/com-peer.log"
    python3 "$source_dir/.ci/wine_com_peer.py" --link "$prefix/dosdevices/${com_port,,}" \
        --lifetime $((test_limit + 60)) >"$peer_log" 2>&1 &
    peer_pid=$!
    for _ in $(seq 50); do
      grep -q '^ready' "$peer_log" 2>/dev/null && break
      sleep 0.1
    done
    if grep -q '^ready' "$peer_log"; then
      echo "$com_port: $(sed -n 's/^ready //p' "$peer_log") with an echoing peer"
      export TOVREL_ECHO_COM_PORT="$com_port"
    else
      cat "$peer_log" >&2
      fail "the $com_port peer did not start: the port tests skip themselves"
    fi

    test_log="$prefix/ctest.log"
    start_ms=$(($(date +%s%N) / 1000000))
    timeout "$test_limit" ctest --preset windows-x64 2>&1 | tee "$test_log"
    test_status=${PIPESTATUS[0]}
    elapsed_ms=$(($(date +%s%N) / 1000000 - start_ms))
    seconds="$((elapsed_ms / 1000)).$(printf '%03d' $((elapsed_ms % 1000)))"
    totals="$(grep -E 'tests passed|tests failed' "$test_log" | tail -1)"
    skipped="$(grep -c '\*\*\*Skipped' "$test_log")"
    if [ "$test_status" = 0 ]; then
      pass "tests under wine64: ${totals:-?}; $skipped skipped; $seconds s"
    elif [ "$test_status" = 124 ]; then
      fail "tests under wine64: stopped after $test_limit s"
    else
      fail "tests under wine64: ${totals:-ctest failed}; $skipped skipped; $seconds s"
      mapfile -t failures < <(sed -n '/The following tests FAILED:/,$p' "$test_log" |
                              grep -E '^[[:space:]]+[0-9]+ - ')
      for line in "${failures[@]}"; do note "        $line"; done
    fi

    # The port list through the real SetupAPI and registry calls (wine's own implementations):
    # it must run, exit 0 and print its table. Like the tests, it gets three tries, since a wine
    # client now and then loses its server ("recvmsg: Connection reset by peer").
    ports_exe="$source_dir/build/windows-x64/ports/tovrel-ports.exe"
    for _ in 1 2 3; do
      ports_out="$(timeout 60 "$wine64" "$ports_exe" 2>&1 | tr -d '\r')"
      ports_status=$?
      echo "$ports_out"
      [ "$ports_status" = 0 ] && break
    done
    if [ "$ports_status" = 0 ] && [[ "$ports_out" == "PORT "* || "$ports_out" == "No serial"* ]]
    then
      pass "tovrel-ports.exe under wine64: $(($(printf '%s\n' "$ports_out" | wc -l) - 1)) port(s)"
    else
      fail "tovrel-ports.exe under wine64: status $ports_status"
    fi
    ctrl_c_checks
    cleanup
  else
    fail "wine prefix could not be created in $prefix"
  fi
else
  skip "tests under wine64: not configured"
fi

printf '\n=== Summary\n'
printf '%s\n' "${summary[@]}"
exit "$failed"
