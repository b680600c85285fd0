#!/bin/bash
# The C examples do what their names say, run as a user runs them:
#   examples_test.sh VORLAN BIN_DIR SOURCE_DIR BUILD_DIR [C_COMPILER]
# BIN_DIR holds vorlan_demo, vorlan_quick_start, vorlan_replay_points and
# vorlan_sweep_frames.
# With C_COMPILER, the quick start is also compiled with the README's line.
set -u
vorlan=$1 bin=$2 source=$3 build=$4 compiler=${5:-}
dir=$(mktemp -d)
pids=()
cleanup() {
    for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null; done
    rm -rf "$dir"
}
trap cleanup EXIT
failed=0
fail() { echo "FAILED: $*"; failed=1; }

"$vorlan" sim --seed 1 --seconds 2 --out "$dir/yard.pcap" >/dev/null || fail "sim"

# demo: receives frames from the capture.
"$bin/vorlan_demo" "$dir/yard.pcap" >"$dir/demo.out" 2>&1 || fail "demo exit $?"
[ "$(grep -c '^frame from sensor 192\.168\.1\.20[1-4] (from a capture): [0-9]* points, [0-9]* valid$' "$dir/demo.out")" -eq 10 ] ||
    { fail "demo printed no 10 frames"; cat "$dir/demo.out"; }
grep -q '^sensor 192\.168\.1\.201 (from a capture): serial 900001, model TQ50-S$' "$dir/demo.out" ||
    fail "demo named no sensor"

# replay_points: x y z in metres of valid points only; no point sits on the
# sensor (an invalid point would, with distance 0).
"$bin/vorlan_replay_points" "$dir/yard.pcap" 2 >"$dir/points.out" || fail "replay_points exit $?"
[ "$(grep -c '^# frame of' "$dir/points.out")" -eq 2 ] || fail "replay_points printed no 2 frames"
points=$(grep -c '^-\?[0-9.]* -\?[0-9.]* -\?[0-9.]*$' "$dir/points.out")
[ "$points" -gt 1000 ] || fail "replay_points printed $points points"
[ "$(grep -v '^#' "$dir/points.out" | grep -c -v '^-\?[0-9.]* -\?[0-9.]* -\?[0-9.]*$')" -eq 0 ] ||
    fail "replay_points printed other lines"
if awk '!/^#/ && $1*$1 + $2*$2 + $3*$3 < 0.01 { found = 1 } END { exit !found }' "$dir/points.out"; then
    fail "replay_points printed a point without a measurement"
fi

# sweep_frames: with the options set again once each frame exists, frames
# follow the scan instead of the 0.1 s the library starts a sweep-mode frame
# with. The Kiru-D40 (192.168.1.202) sweeps every 50 ms; its first frame
# starts wherever its traffic does and is left out.
"$bin/vorlan_sweep_frames" "$dir/yard.pcap" >"$dir/sweep.out" 2>&1 || fail "sweep_frames exit $?"
grep -q '^sensor 192\.168\.1\.202: sweep rule set$' "$dir/sweep.out" || fail "sweep_frames set no sweep rule"
grep '^frame from sensor 192\.168\.1\.202: [0-9]* points over [0-9.]* ms$' "$dir/sweep.out" | tail -n +2 >"$dir/kiru.out"
[ "$(wc -l <"$dir/kiru.out")" -ge 20 ] || { fail "sweep_frames printed too few Kiru frames"; cat "$dir/sweep.out"; }
awk '$(NF-1) < 40 || $(NF-1) > 60 { bad = 1 } END { exit bad }' "$dir/kiru.out" ||
    { fail "sweep_frames cut frames that are no sweeps"; cat "$dir/kiru.out"; }

# quick_start: frames from the simulator on a free loopback port, until its
# standard input ends.
port=$(python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
mkfifo "$dir/stdin"
"$bin/vorlan_quick_start" "$port" <"$dir/stdin" >"$dir/quick.out" 2>&1 &
pids+=($!)
exec 3>"$dir/stdin"
for _ in $(seq 100); do
    grep -q '^listening on UDP port' "$dir/quick.out" && break
    sleep 0.1
done
grep -q "^listening on UDP port $port; Enter stops$" "$dir/quick.out" || fail "quick_start did not start"
"$vorlan" sim --seconds 2 --port "$port" >/dev/null || fail "sim --port"
for _ in $(seq 100); do
    [ "$(grep -c ': frame of' "$dir/quick.out")" -ge 5 ] && break
    sleep 0.1
done
exec 3>&-
wait "${pids[0]}" || fail "quick_start exit $?"
pids=()
grep -q '^sensor 127\.168\.1\.201 serial 900001: TQ50-S$' "$dir/quick.out" || { fail "quick_start named no sensor"; cat "$dir/quick.out"; }
grep -q '^sensor 127\.168\.1\.20[1-4] serial 90000[1-4]: frame of [0-9]* points, [0-9]* valid$' "$dir/quick.out" ||
    { fail "quick_start received no frame"; cat "$dir/quick.out"; }

# The README's compile line, run from the source folder against the build.
if [ -n "$compiler" ]; then
    (cd "$source" && "$compiler" -std=c99 -Wall -Werror -Iinclude examples/quick_start.c -L"$build" -lvorlan_sdk -lm \
        -Wl,-rpath,"$build" -o "$dir/quick_start") || fail "the README's compile line"
    echo | "$dir/quick_start" 0 >"$dir/compiled.out" 2>&1 || fail "compiled quick_start exit $?"
    grep -q '^listening on UDP port' "$dir/compiled.out" || fail "compiled quick_start did not start"
fi

# The README shows the quick start as it is in examples/.
awk '/^## Using the C interface/ { section = 1 } section && /^```c$/ { code = 1; next }
     code && /^```$/ { exit } code { print }' "$source/README.md" >"$dir/readme_quick_start.c"
cmp -s "$dir/readme_quick_start.c" "$source/examples/quick_start.c" ||
    { fail "the README's C example differs from examples/quick_start.c"; diff "$dir/readme_quick_start.c" "$source/examples/quick_start.c"; }

[ "$failed" -eq 0 ] && echo "examples passed"
exit $failed
