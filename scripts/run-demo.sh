#!/usr/bin/env bash
# Builds everything, writes the sample movies and shows the bridge at work on one of them.
# Package installation and build output go to build/run-demo.log; only the steps are printed.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
mkdir -p "$root/build"
log="$root/build/run-demo.log"
: >"$log"
echo "(the output of installing, building and writing the samples goes to $log)"
step() {
  local what="$1"
  shift
  echo "== $what"
  if ! "$@" >>"$log" 2>&1; then
    echo "run-demo: $what failed; the end of the log:" >&2
    tail -n 40 "$log" >&2
    exit 1
  fi
}
step "installing the Debian packages that are missing" "$root/scripts/install-deps.sh"
step "building" "$root/scripts/build.sh" default
bin="$root/build/default/bin"
samples="$root/build/default/samples"
step "writing the sample movies" "$bin/vireo_make_samples" "$samples"
movie="$samples/h264_aac_tc.mov"
echo "== vireo info $movie"
"$bin/vireo" info "$movie"
echo "== vireo frame $movie --frame 12"
"$bin/vireo" frame "$movie" --frame 12 --output "$root/build/default/frame12.png"
echo "wrote $root/build/default/frame12.png"
out="$root/build/default/exported_prores.mov"
echo "== vireo export $movie -o $out --codec apch --audio twos"
"$bin/vireo" export "$movie" -o "$out" --codec apch --audio twos
"$bin/vireo" info "$out"
