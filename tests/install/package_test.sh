#!/bin/bash
# Builds the Debian packages from a finished build, checks them with lintian,
# unpacks them into a throw-away root and uses that root as a client would:
# the examples built with CMake and with pkg-config, the tool, and Python.
#   package_test.sh BUILD_DIR SOURCE_DIR C_COMPILER PYTHON
set -euo pipefail
build=$1 source=$2 compiler=$3 python=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset VORLAN_LIBRARY_PATH LD_LIBRARY_PATH PYTHONPATH

fail() { echo "FAILED: $*"; exit 1; }

(cd "$build" && cpack -G DEB -B "$work/out" >"$work/cpack.log" 2>&1) || { cat "$work/cpack.log"; fail "cpack"; }
mapfile -t debs < <(find "$work/out" -maxdepth 1 -name '*.deb' | sort)
names=()
for deb in "${debs[@]}"; do names+=("$(dpkg-deb -f "$deb" Package)"); done
echo "packages: ${names[*]}"
for wanted in libvorlan-sdk1 libvorlan-sdk2-23 libvorlan-sdk-dev vorlan-tools python3-vorlan vorlan-sdk-dbg; do
  printf '%s\n' "${names[@]}" | grep -qx "$wanted" || fail "no package $wanted"
done

# Debian's checker: no errors on any package (warnings are printed).
if command -v lintian >/dev/null; then
  for deb in "${debs[@]}"; do
    lintian --fail-on error --no-tag-display-limit "$deb" >"$work/lintian.log" 2>&1 \
      || { cat "$work/lintian.log"; fail "lintian reports errors on $(basename "$deb")"; }
  done
fi

# Every dependency is one of the set or installed on this system.
root=$work/root
for deb in "${debs[@]}"; do
  dpkg-deb -x "$deb" "$root"
  depends=$(dpkg-deb -f "$deb" Depends)
  IFS=',' read -ra items <<<"$depends"
  for item in "${items[@]}"; do
    name=$(echo "$item" | sed 's/|.*//; s/(.*//; s/ //g')
    [ -z "$name" ] && continue
    printf '%s\n' "${names[@]}" | grep -qx "$name" && continue
    dpkg-query -W -f='${Status}' "$name" 2>/dev/null | grep -q 'ok installed' \
      || fail "$(basename "$deb") depends on $name, which is neither built nor installed"
  done
done

# Binaries are stripped, and their debug information is where debuggers
# look for it by build ID; the internal headers stay out.
for binary in "$root"/usr/bin/vorlan "$root"/usr/lib/libvorlan_sdk.so.1.* "$root"/usr/lib/libvorlan_sdk2.so.23.*; do
  # Outputs are taken whole before they are searched: with pipefail, a
  # `grep -q` that stops reading early would fail the pipeline at random.
  sections=$(readelf -S --wide "$binary")
  [[ $sections == *".symtab "* || $sections == *".debug_info "* ]] && fail "$binary is not stripped"
  id=$(readelf -n "$binary" | sed -n 's/.*Build ID: \([0-9a-f]*\).*/\1/p')
  debug=$root/usr/lib/debug/.build-id/${id:0:2}/${id:2}.debug
  sections=$(readelf -S --wide "$debug" 2>/dev/null || true)
  [[ $sections == *".debug_info "* ]] || fail "no debug information for $binary"
done
[ -e "$root/usr/include/vorlan_sdk_impl/vorlan_sdk_util.hpp" ] && fail "an internal header is installed"
[ -f "$root/usr/include/vorlan_sdk_impl/point_geometry.hpp" ] || fail "the C++ helper header is missing"
[ -f "$root/usr/share/man/man1/vorlan.1.gz" ] || fail "no manual page"

# A client of the installed development package, through CMake and through
# pkg-config; each calls the header's inline helper, which needs -lm.
cmake -S "$source/examples" -B "$work/found" -G Ninja -DCMAKE_C_COMPILER="$compiler" \
  -DCMAKE_PREFIX_PATH="$root/usr" >"$work/configure.log" || { cat "$work/configure.log"; fail "configure"; }
cmake --build "$work/found" >"$work/build.log" || { cat "$work/build.log"; fail "build with find_package"; }
"$work/found/both_libraries" >"$work/found.out"
grep -q "frame of 32 points" "$work/found.out" || fail "find_package client"
flags=$(PKG_CONFIG_PATH="$root/usr/lib/pkgconfig" pkg-config --cflags --libs vorlan_sdk vorlan_sdk2)
# shellcheck disable=SC2086
"$compiler" -std=c99 -Wall -Werror "$source/examples/replay_points.c" $flags -o "$work/pkgconfig_client" \
  || fail "pkg-config client does not build"
# shellcheck disable=SC2086
"$compiler" -std=c99 -Wall -Werror "$source/examples/both_libraries.c" $flags -o "$work/both_client"
LD_LIBRARY_PATH="$root/usr/lib" "$work/both_client" >"$work/both.out"
grep -q "frame of 32 points" "$work/both.out" || fail "pkg-config client"

# The tool and the Python package, run from the unpacked root.
"$root/usr/bin/vorlan" --version
"$root/usr/bin/vorlan" sim --seed 3 --seconds 1 --out "$work/sim.pcap" >/dev/null
"$root/usr/bin/vorlan" replay "$work/sim.pcap" --frames 2 >/dev/null || fail "the tool does not replay"
PYTHONPATH="$root/usr/lib/python3/dist-packages" "$python" -c 'import vorlan' || fail "import vorlan"
echo "package test passed"
