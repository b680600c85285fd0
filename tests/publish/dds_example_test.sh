#!/bin/bash
# The plain DDS example receives the frames `vorlan publish` sends, on this
# host only, in a domain of its own:
#   dds_example_test.sh VORLAN DDS_POINTS
set -u
vorlan=$1 example=$2
dir=$(mktemp -d)
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null
    rm -rf "$dir"
}
trap cleanup EXIT
export CYCLONEDDS_URI='<CycloneDDS><Domain id="any"><General><Interfaces><NetworkInterface address="127.0.0.1"/></Interfaces><AllowMulticast>false</AllowMulticast></General><Discovery><ParticipantIndex>auto</ParticipantIndex><MaxAutoParticipantIndex>40</MaxAutoParticipantIndex><Peers><Peer address="127.0.0.1"/></Peers></Discovery></Domain></CycloneDDS>'
export ROS_DOMAIN_ID=$((RANDOM % 232 + 1))

"$vorlan" sim --seed 1 --seconds 3 --out "$dir/yard.pcap" >/dev/null || { echo "FAILED: sim"; exit 1; }
topic=/vorlan/ip192_168_1_201_sn900001/points
"$example" "$topic" 3 >"$dir/example.out" 2>&1 &
pid=$!
for _ in $(seq 100); do
    grep -q '^waiting for frames' "$dir/example.out" && break
    sleep 0.1
done
# In real time, so that the example is found well before the last frames.
"$vorlan" publish "$dir/yard.pcap" --sensor 192.168.1.201 >"$dir/publish.out" 2>&1 || { echo "FAILED: publish"; cat "$dir/publish.out"; exit 1; }
wait "$pid"
code=$?
pid=
cat "$dir/example.out"
[ "$code" -eq 0 ] || { echo "FAILED: the example exited with $code"; exit 1; }
[ "$(grep -c '^frame at [0-9]*\.[0-9]\{9\} s from ip192_168_1_201_sn900001: [0-9]* points of 24 bytes, first at -\?[0-9.]* -\?[0-9.]* -\?[0-9.]* m$' "$dir/example.out")" -eq 3 ] ||
    { echo "FAILED: the example printed no 3 frames"; exit 1; }
grep -q "^$topic: [0-9]* frames published$" "$dir/publish.out" || { echo "FAILED: publish counted nothing"; cat "$dir/publish.out"; exit 1; }
