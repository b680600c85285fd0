#!/bin/bash
# Installs the build into a fresh prefix and uses it as a client would.
#   install_test.sh c BUILD_DIR SOURCE_DIR C_COMPILER
#     the C example built with find_package(vorlan) and with pkg-config, run
#   install_test.sh python BUILD_DIR SOURCE_DIR PYTHON
#     the Python example run against the installed package and libraries
set -euo pipefail
kind=$1 build=$2 source=$3 program=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix
cmake --install "$build" --prefix "$prefix" >"$work/install.log"
libdir=$(dirname "$(find "$prefix" -name 'libvorlan_sdk.so.1' | head -n 1)")
# Nothing of the build tree may leak into the run.
unset VORLAN_LIBRARY_PATH LD_LIBRARY_PATH PYTHONPATH

fail() { echo "FAILED: $*"; exit 1; }

case $kind in
c)
  for library in libvorlan_sdk.so.1 libvorlan_sdk2.so.23; do
    soname=$(readelf -d "$libdir/$library" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
    [ "$soname" = "$library" ] || fail "$library has SONAME '$soname'"
    [ -L "$libdir/$library" ] || fail "$library is not a version link"
  done
  [ -f "$libdir/libvorlan_sdk.so.1.18.2" ] && [ -L "$libdir/libvorlan_sdk.so" ] || fail "first library's files"
  [ -f "$libdir/libvorlan_sdk2.so.23.0.2" ] && [ -L "$libdir/libvorlan_sdk2.so" ] || fail "second library's files"
  [ -x "$prefix/bin/vorlan" ] || fail "the tool is not installed"
  "$prefix/bin/vorlan" --help >/dev/null

  cmake -S "$source/examples" -B "$work/found" -G Ninja -DCMAKE_C_COMPILER="$program" \
    -DCMAKE_PREFIX_PATH="$prefix" >"$work/configure.log" || { cat "$work/configure.log"; fail "configure"; }
  cmake --build "$work/found" >"$work/build.log" || { cat "$work/build.log"; fail "build with find_package"; }
  "$work/found/both_libraries" | tee "$work/found.out"
  grep -q "frame of 32 points" "$work/found.out" || fail "find_package client"

  flags=$(PKG_CONFIG_PATH="$libdir/pkgconfig" pkg-config --cflags --libs vorlan_sdk vorlan_sdk2)
  # shellcheck disable=SC2086
  "$program" -std=c99 -Wall -Werror "$source/examples/both_libraries.c" $flags -o "$work/pkgconfig_client"
  LD_LIBRARY_PATH="$libdir" "$work/pkgconfig_client" | tee "$work/pkgconfig.out"
  grep -q "frame of 32 points" "$work/pkgconfig.out" || fail "pkg-config client"
  ;;
python)
  package=$(dirname "$(find "$prefix" -path '*/vorlan/__init__.py' | head -n 1)")
  "$prefix/bin/vorlan" sim --seed 3 --seconds 1 --out "$work/sim.pcap" >/dev/null
  PYTHONPATH=$(dirname "$package") "$program" "$source/examples/frame_stats.py" "$work/sim.pcap" \
    >"$work/python.out"
  head -n 3 "$work/python.out"
  [ "$(grep -c '^frame ' "$work/python.out")" -gt 5 ] || fail "the Python example printed no frames"
  PYTHONPATH=$(dirname "$package") "$program" -c \
    'import vorlan.sdk as s; import os; print(s.library()._name)' | grep -q "^$libdir/" \
    || fail "the installed package did not load the libraries beside it"
  ;;
esac
echo "install test ($kind) passed"
