#!/usr/bin/env bash
# Checks that an installed VireoClient works on its own, away from the build tree.
#
#   scripts/check-install.sh [--quick] [--deb] [BUILD_DIR]      (BUILD_DIR: build/default)
#
# Installs BUILD_DIR into a temporary prefix, checks the installed tree (nothing from tests or
# benchmarks, no path into the build tree), opens a sample movie with the installed `vireo` (its
# server is found through the installed library only), then builds examples/host against the
# prefix alone, with CMake and with pkg-config, and runs it.
#   --quick  stop after the installed `vireo` has read the movie (the ctest test).
#   --deb    then build the Debian packages (cpack -G DEB), install them with apt-get (as root or
#            through password-less sudo; skipped with a message otherwise), build the example
#            against /usr and run it.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

quick=0
deb=0
build=""
for arg in "$@"; do
  case "$arg" in
    --quick) quick=1 ;;
    --deb) deb=1 ;;
    -h | --help)
      sed -n '2,14p' "$0" | sed 's/^# \{0,1\}//'
      exit 0
      ;;
    -*)
      echo "check-install: unknown option $arg" >&2
      exit 2
      ;;
    *) build="$arg" ;;
  esac
done
build="$(cd "${build:-$root/build/default}" && pwd)"

work="$(mktemp -d "${TMPDIR:-/tmp}/vireo-check-install.XXXXXX")"
prefix="$work/prefix"
registry="$work/registry"
mkdir -p "$registry"
chmod 700 "$registry"

# Servers started here use a private registry, so that no server of the build tree (or of another
# test) answers in place of the installed one, and end soon after their last client.
export CORVIDHOST_REGISTRY_DIR="$registry"
export VIREO_SERVER_IDLE_MS=500

# The servers of the installed tree end on their own once idle; wait for them (bounded) before
# removing the tree they run from.
wait_for_servers() {
  local dir="$1" tries=0 busy
  while [ $tries -lt 100 ]; do
    busy=0
    for exe in /proc/[0-9]*/exe; do
      case "$(readlink "$exe" 2>/dev/null || true)" in
        "$dir"/*) busy=1 ;;
      esac
    done
    [ $busy -eq 0 ] && return 0
    tries=$((tries + 1))
    sleep 0.2
  done
  echo "check-install: a server under $dir is still running" >&2
}
cleanup() {
  wait_for_servers "$work"
  rm -rf "$work"
}
trap cleanup EXIT

fail() {
  echo "check-install: $*" >&2
  exit 1
}

echo "== cmake --install $build --prefix $prefix"
cmake --install "$build" --prefix "$prefix" >"$work/install.log" ||
  { cat "$work/install.log" >&2; fail "cmake --install failed"; }

# Nothing from tests or benchmarks, and no run path into the build tree.
(cd "$prefix" && find . -type f | sort) >"$work/files.txt"
if grep -Ei '(^|/)(tests?|bench[a-z_]*|gtest|gmock)[/_.]|_tests?($|\.)|scripted|fuzz' \
  "$work/files.txt"; then
  fail "test or benchmark files were installed (above)"
fi
# The library folder is lib/ unless the build was configured for another (lib/<triplet> for /usr).
library="$(grep -m1 '/libVireoClient\.so\.' "$work/files.txt" || true)"
[ -n "$library" ] || fail "libVireoClient.so was not installed"
libdir="$(dirname "${library#./}")"
for required in bin/vireo "libexec/vireo/Corvid Vireo Server.exe" \
  include/vireo/VireoClient/VireoClient.h "$libdir/cmake/VireoClient/VireoClientConfig.cmake" \
  "$libdir/pkgconfig/vireoclient.pc" share/man/man1/vireo.1.gz; do
  [ -e "$prefix/$required" ] || fail "$required is missing from the installed tree"
done
while IFS= read -r file; do
  if readelf -d "$prefix/$file" 2>/dev/null | grep -E 'R(UN)?PATH' | grep -qF "$build"; then
    fail "$file has a run path into the build tree"
  fi
done <"$work/files.txt"
echo "   $(wc -l <"$work/files.txt") files installed"

"$build/bin/vireo_make_samples" "$work/samples" >/dev/null
movie="$work/samples/h264_aac_tc.mov"
[ -f "$movie" ] || fail "no sample movie $movie"

echo "== installed vireo info / frame"
"$prefix/bin/vireo" info "$movie" >"$work/info.txt" || fail "the installed vireo could not open $movie"
grep -q . "$work/info.txt" || fail "vireo info printed nothing"
"$prefix/bin/vireo" frame "$movie" --frame 3 --output "$work/frame3.png" >/dev/null ||
  fail "the installed vireo could not read a frame"
[ -s "$work/frame3.png" ] || fail "vireo frame wrote no image"
echo "   read $movie through the installed library and server"

if [ $quick -eq 1 ]; then
  exit 0
fi

# The example's own build, against the installed tree alone.
build_example() {
  local name="$1"
  shift
  cmake -S "$root/examples/host" -B "$work/$name" -G Ninja "$@" >"$work/$name.log" 2>&1 &&
    cmake --build "$work/$name" >>"$work/$name.log" 2>&1 ||
    { cat "$work/$name.log" >&2; fail "the example did not build ($name)"; }
}
run_example() {
  local program="$1" out="$2"
  "$program" "$movie" "$out" 5 || fail "$program failed"
  head -c 2 "$out" | grep -q P6 || fail "$out is not a PPM image"
}

echo "== examples/host with -DCMAKE_PREFIX_PATH=$prefix"
build_example example-cmake -DCMAKE_PREFIX_PATH="$prefix"
run_example "$work/example-cmake/vireo_host_example" "$work/example-cmake.ppm"

echo "== examples/host with pkg-config"
# shellcheck disable=SC2046
c++ -std=c++17 -o "$work/example-pc" "$root/examples/host/main.cpp" \
  $(PKG_CONFIG_PATH="$prefix/$libdir/pkgconfig" pkg-config --cflags --libs vireoclient) \
  -Wl,-rpath,"$prefix/$libdir" || fail "the example did not build with pkg-config"
run_example "$work/example-pc" "$work/example-pc.ppm"

if [ $deb -eq 0 ]; then
  exit 0
fi

echo "== cpack -G DEB"
(cd "$build" && cpack -G DEB >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }
packages=("$build"/packages/vireoclient_*.deb "$build"/packages/vireoclient-dev_*.deb)
for p in "${packages[@]}"; do
  [ -f "$p" ] || fail "no package $p"
  echo "   $(basename "$p"): $(dpkg-deb -f "$p" Depends)"
done

apt=()
if [ "$(id -u)" -eq 0 ]; then
  apt=(apt-get)
elif command -v sudo >/dev/null && sudo -n true 2>/dev/null; then
  apt=(sudo -n apt-get)
else
  echo "   skipped installing the packages: not root and no password-less sudo"
  exit 0
fi
echo "== apt-get install ./vireoclient*.deb"
DEBIAN_FRONTEND=noninteractive "${apt[@]}" install -y -qq --reinstall --no-install-recommends \
  "${packages[@]}" >"$work/apt.log" 2>&1 || { cat "$work/apt.log" >&2; fail "apt-get install failed"; }

echo "== examples/host against /usr"
build_example example-usr
run_example "$work/example-usr/vireo_host_example" "$work/example-usr.ppm"
man -w vireo >/dev/null 2>&1 || [ -f /usr/share/man/man1/vireo.1.gz ] || [ -f /usr/share/man/man1/vireo.1 ] ||
  fail "the man page of vireo is not installed"
echo "   the installed packages work"
