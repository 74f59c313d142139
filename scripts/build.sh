#!/usr/bin/env bash
# Configures and builds one preset (default, asan or tsan).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
preset="${1:-default}"
cd "$root"
"$root/scripts/install-deps.sh"
# Compiler caching that survives a fresh checkout in another folder: paths inside the tree are
# hashed relative to it.
export CCACHE_BASEDIR="$root" CCACHE_NOHASHDIR=1 CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-5G}"
extra=()
if [ "${CI:-}" = "true" ] || [ "${VIREO_WERROR:-}" = "ON" ]; then
  extra+=(-DVIREO_WERROR=ON)
fi
cmake --preset "$preset" "${extra[@]}" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)"
