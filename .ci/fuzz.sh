#!/usr/bin/env bash
# Fuzzing: builds the libFuzzer targets of tests/fuzz (preset fuzz: clang, AddressSanitizer and
# UndefinedBehaviorSanitizer) and runs each one for a bounded time, starting from its seed corpus
# in the repository. Any crash, leak, sanitizer report, failed property, input that runs over
# 10 s or memory over the limit fails the stage; the input that found it is kept in
# build/fuzz/findings/ (add it to tests/fuzz/corpus/<target>/ once the fault is fixed). Prints
# the executions and the coverage each target reached.
#
# Environment: TOVREL_FUZZ_SECONDS (default 50) is the time given to each target.
set -euo pipefail
cd "$(dirname "${BASH_SOURCE[0]}")/.."

seconds="${TOVREL_FUZZ_SECONDS:-50}"
targets=(telnet_codec rfc2217_client emulator_session command_line device_replies command_frame)

echo "== fuzz build"
cmake --workflow --preset fuzz

findings="build/fuzz/findings"
mkdir -p "$findings"
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:symbolize=1"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"

failed=()
summary=()
for target in "${targets[@]}"; do
  program="build/fuzz/tests/fuzz/fuzz_${target}"
  seeds="tests/fuzz/corpus/${target}"
  # New inputs go to a scratch folder, so the seeds in the repository stay as they are.
  corpus="${work}/${target}"
  log="${work}/${target}.log"
  mkdir -p "$corpus"
  echo "== fuzz_${target}: ${seconds} s"
  if timeout $((seconds + 120)) "$program" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -max_len=4096 -print_final_stats=1 \
    -artifact_prefix="${findings}/${target}-" "$corpus" "$seeds" >"$log" 2>&1; then
    done_line="$(grep -E '^#[0-9]+[[:space:]]+DONE' "$log" | tail -n 1 || true)"
    executions="$(sed -n 's/^stat::number_of_executed_units:[[:space:]]*//p' "$log" | tail -n 1)"
    cov="$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")"
    ft="$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")"
    corp="$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$done_line")"
    line="fuzz_${target}: ${executions:-?} executions in ${seconds} s, cov ${cov:-?}, ft ${ft:-?}, corpus ${corp:-?} inputs"
    echo "$line"
    summary+=("$line")
  else
    echo "!! fuzz_${target} found a fault:"
    tail -n 80 "$log"
    failed+=("$target")
    summary+=("fuzz_${target}: FAILED (input kept in ${findings}/)")
  fi
done

echo "== fuzz summary"
printf '%s\n' "${summary[@]}"
if ((${#failed[@]} > 0)); then
  echo "fuzzing failed: ${failed[*]}"
  exit 1
fi
