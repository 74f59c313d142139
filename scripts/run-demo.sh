#!/usr/bin/env bash
# Builds everything, writes the sample movies and shows the bridge at work on one of them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
"$root/scripts/build.sh" default
bin="$root/build/default/bin"
samples="$root/build/default/samples"
"$bin/vireo_make_samples" "$samples" >/dev/null
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
