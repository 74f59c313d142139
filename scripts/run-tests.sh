#!/usr/bin/env bash
# Builds a preset (default, asan or tsan) and runs the whole test suite under it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
preset="${1:-default}"
"$root/scripts/build.sh" "$preset"
cd "$root"
# Time limits in tests (tests/support/TimeScale.h) stretch under the sanitizers.
case "$preset" in
  asan) export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1" UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
        export VIREO_TEST_TIME_SCALE="${VIREO_TEST_TIME_SCALE:-3}" ;;
  tsan) export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1"
        export VIREO_TEST_TIME_SCALE="${VIREO_TEST_TIME_SCALE:-5}" ;;
esac
# The display tests (the codec settings dialog) need an X server: without one, start a private
# Xvfb for the run and stop it afterwards.
if [[ -z "${DISPLAY:-}" ]] && command -v Xvfb >/dev/null; then
  exec {displayfd}<> <(:)
  Xvfb -displayfd "$displayfd" -screen 0 1280x1024x24 -nolisten tcp >/dev/null 2>&1 &
  xvfb_pid=$!
  trap 'kill "$xvfb_pid" 2>/dev/null || true' EXIT
  read -r -t 20 -u "$displayfd" display_number
  export DISPLAY=":$display_number"
fi
ctest --preset "$preset"
