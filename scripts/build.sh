#!/usr/bin/env bash
# Configures and builds one preset (default, asan or tsan).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
preset="${1:-default}"
cd "$root"
"$root/scripts/install-deps.sh"
extra=()
if [ "${CI:-}" = "true" ] || [ "${VIREO_WERROR:-}" = "ON" ]; then
  extra+=(-DVIREO_WERROR=ON)
fi
cmake --preset "$preset" "${extra[@]}" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
