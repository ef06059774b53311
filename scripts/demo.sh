#!/usr/bin/env bash
# The three daemons at work, as users run them: builds everything (the real
# Perfetto through its cache, then the daemons and trace_recorder against
# the real SDK and the simulated kernel), starts traced and the three
# daemons on the simulated machine with private sockets, records five
# seconds from all three, prints what the trace processor finds in the
# trace, and stops everything it started, also when interrupted.
#
# Usage: bash scripts/demo.sh [MILLISECONDS] [MACHINE_FILE]
set -euo pipefail
cd "$(dirname "$0")/.."
here=$(pwd)
ms=${1:-5000}
machine=${2:-$here/standins/freebsd/machine/example.txtpb}

bash scripts/install-deps.sh
perfetto_dir=$(bash scripts/build-perfetto.sh)
tools="$perfetto_dir/out"
echo "=== building the daemons and trace_recorder against the real SDK"
cmake -S . -B build-real -DCMAKE_BUILD_TYPE=RelWithDebInfo \
	-DUSE_PERFETTO_STANDIN=OFF -DPERFETTO_SDK_ROOT="$perfetto_dir" >/dev/null
cmake --build build-real -j"$(nproc)" --target sysstats_producer \
	power_producer kfunc_producer trace_recorder

run=$(mktemp -d /tmp/freebsd-perfetto-demo.XXXXXX)
export PERFETTO_PRODUCER_SOCK_NAME="$run/producer.sock"
export PERFETTO_CONSUMER_SOCK_NAME="$run/consumer.sock"
export FREEBSD_SIM_MACHINE="$machine"
pids=()
stop_all() {
	trap - EXIT INT TERM
	for pid in "${pids[@]}"; do
		kill "$pid" 2>/dev/null || true
	done
	for pid in "${pids[@]}"; do
		wait "$pid" 2>/dev/null || true
	done
	rm -f "$run"/*.sock
}
trap stop_all EXIT
trap 'stop_all; exit 130' INT TERM

echo "=== starting traced and the daemons (logs in $run)"
"$tools/traced" >"$run/traced.log" 2>&1 &
pids+=($!)
for i in $(seq 100); do
	[ -S "$PERFETTO_CONSUMER_SOCK_NAME" ] && break
	sleep 0.1
done
[ -S "$PERFETTO_CONSUMER_SOCK_NAME" ] || { echo "traced did not start:"; cat "$run/traced.log"; exit 1; }
for d in sysstats_producer power_producer kfunc_producer; do
	"build-real/$d" >"$run/$d.log" 2>&1 &
	pids+=($!)
done
sleep 1  # the daemons connect and register

mkdir -p out
trace="$here/out/demo.pftrace"
echo "=== recording $ms ms from all three"
build-real/trace_recorder -c configs/all.txtpb -o "$trace" -d "$ms" &
rec=$!
pids+=($rec)
wait "$rec"

query() {
	"$tools/trace_processor_shell" -q "scripts/sql/$1.sql" "$trace" 2>/dev/null |
		sed 's/"//g' | column -t -s,
}
echo
echo "=== counter tracks: samples, first and last value"
query counters
echo
echo "=== CPU tracks: slices (fbt entry to return) and instants (kinst)"
query cpu_tracks
echo
echo "=== errors and data losses (expected: none)"
problems=$("$tools/trace_processor_shell" -q scripts/sql/problems.sql "$trace" 2>/dev/null | tail -n +2)
if [ -z "$problems" ]; then
	echo "none"
else
	echo "$problems"
fi
echo
echo "=== daemon output"
for d in sysstats_producer power_producer kfunc_producer; do
	echo "--- $d"
	cat "$run/$d.log"
done
echo
echo "Trace: $trace"
echo "It opens in the Perfetto UI (https://ui.perfetto.dev, Open trace file)."
