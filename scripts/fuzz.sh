#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer and fuzzes each for a bounded time
# (VIREO_FUZZ_SECONDS, default 20) over a copy of its seed corpus. A crash stops the script with
# the target's report; its input is left in build/fuzz/crashes/<target>/ to be added to
# tests/fuzz/corpus/<target>/ as a regression case once fixed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
"$root/scripts/install-deps.sh"
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-5G}"
cmake --preset fuzz >/dev/null
cmake --build --preset fuzz --target fuzzers -j "$(nproc)"
seconds="${VIREO_FUZZ_SECONDS:-20}"
bin="$root/build/fuzz/bin"
work="$root/build/fuzz/work"
status=0
for target in "$bin"/fuzz_*; do
  name="$(basename "$target")"
  name="${name#fuzz_}"
  rm -rf "$work/$name"
  mkdir -p "$work/$name" "$root/build/fuzz/crashes/$name"
  cp -r "$root/tests/fuzz/corpus/$name/." "$work/$name/" 2>/dev/null || true
  log="$root/build/fuzz/$name.log"
  if ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" \
     "$target" "$work/$name" -max_total_time="$seconds" -timeout=10 -rss_limit_mb=2048 \
       -artifact_prefix="$root/build/fuzz/crashes/$name/" -print_final_stats=1 >"$log" 2>&1; then
    runs=$(grep -Eo 'stat::number_of_executed_units: *[0-9]+' "$log" | grep -Eo '[0-9]+$' || echo "?")
    echo "fuzz $name: $runs executions in ${seconds}s, no crash"
  else
    echo "fuzz $name: FAILED; see $log"
    tail -n 40 "$log"
    status=1
  fi
done
exit $status
