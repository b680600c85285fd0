#!/bin/sh
# The built `vorlan` program end to end, the way `make demo` runs it: exit
# codes, output shapes, and no terminal codes when the output is a file.
set -u
vorlan=$1
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
failed=0

# expect CODE COMMAND...: runs COMMAND with its output in $dir/out and $dir/err.
expect() {
    code=$1
    shift
    "$@" >"$dir/out" 2>"$dir/err"
    got=$?
    if [ "$got" -ne "$code" ]; then
        echo "exit $got instead of $code: $*"
        cat "$dir/out" "$dir/err"
        failed=1
    fi
}
# has PATTERN FILE: FILE has a line matching PATTERN.
has() {
    grep -q -- "$1" "$2" || { echo "no line '$1' in:"; cat "$2"; failed=1; }
}

expect 0 "$vorlan" sim --seed 1 --seconds 1 --out "$dir/sample.pcap"
has '^wrote [0-9]* packets' "$dir/out"

expect 0 "$vorlan" replay "$dir/sample.pcap" --frames 5
has '^sensor 192\.168\.1\.201 serial 900001  ' "$dir/out"
has '^stopped after 5 frames$' "$dir/out"
[ "$(grep -c '^frame ' "$dir/out")" -eq 5 ] || { echo "not 5 frame lines"; failed=1; }
if grep -q "$(printf '\033')" "$dir/out"; then echo "terminal codes in a file"; failed=1; fi

expect 0 "$vorlan" render "$dir/sample.pcap" --out "$dir/frame.png"
has 'top view and range image in' "$dir/out"
[ -s "$dir/frame.png" ] || { echo "no picture"; failed=1; }

expect 0 "$vorlan" check "$dir/sample.pcap"
has '^8 sensors:$' "$dir/out"
has '^  192.168.1.214  Fixed 16 (model 5)  serial 910004  firmware 1.1.0.0  channels 0 ' "$dir/out"
has '^usable: ' "$dir/out"
expect 2 "$vorlan" check

expect 1 "$vorlan" replay "$dir/missing.pcap"
has '^vorlan: .*missing.pcap: No such file or directory$' "$dir/err"
expect 2 "$vorlan" replay "$dir/sample.pcap" --speed 7
has 'Run with --help' "$dir/err"

exit $failed
