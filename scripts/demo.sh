#!/usr/bin/env bash
# Sets up and builds everything, then records a one-second trace from the
# three daemons running against the simulated machine into out/demo.pftrace
# and prints the first packets of each kind, decoded.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j"$(nproc)"
mkdir -p out
./build/record_demo out/demo.pftrace "${1:-1000}"
# Decode with the published schema where it is at hand, else with the
# subset the tests use.
if [ -f ../shared/perfetto/perfetto_trace.proto ]; then
	proto_dir=../shared/perfetto proto=perfetto_trace.proto
else
	proto_dir=tests/proto proto=perfetto_subset.proto
fi
protoc --decode=perfetto.protos.Trace -I "$proto_dir" "$proto_dir/$proto" \
	< out/demo.pftrace > out/demo.txt
for kind in sys_stats power_rails battery track_event; do
	echo "--- first $kind packet"
	awk -v k="  $kind {" '
		/^packet {/ { buf = $0 "\n"; keep = 0; next }
		{ buf = buf $0 "\n" }
		index($0, k) == 1 { keep = 1 }
		/^}/ { if (keep) { printf "%s", buf; exit } }
	' out/demo.txt
done
echo "(whole trace decoded in out/demo.txt)"
