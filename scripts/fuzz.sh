#!/usr/bin/env bash
# Builds the libFuzzer targets of fuzz/ (clang, the SDK stand-in,
# AddressSanitizer and UndefinedBehaviorSanitizer) in build-fuzz and runs
# each for a bounded time, SECONDS each (default 60), from seed corpora made
# of the example configs and machine files.  Prints executions and findings
# per target; exits non-zero when a target found a crash (its input is kept
# in build-fuzz/findings/TARGET/).
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${1:-60}
case $seconds in
''|*[!0-9]*) echo "usage: scripts/fuzz.sh [seconds]" >&2; exit 64 ;;
esac
bash scripts/install-deps.sh
bash scripts/install-deps.sh clang libclang-rt-14-dev
targets="d_program_fuzz pb_decoder_fuzz recorder_config_fuzz machine_file_fuzz"
dir=build-fuzz

echo "=== build" >&2
CC=clang CXX=clang++ cmake -S fuzz -B "$dir" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# shellcheck disable=SC2086
cmake --build "$dir" -j"$(nproc)" --target $targets >/dev/null

# Seeds: the example configs as text, as binary TraceConfigs and as the
# DataSourceConfigs they hold; the machine files.
seeds="$dir/seeds"
rm -rf "$seeds"
mkdir -p "$seeds"/{d_program_fuzz,pb_decoder_fuzz,recorder_config_fuzz,machine_file_fuzz}
for c in configs/*.txtpb; do
	n=$(basename "$c" .txtpb)
	cp "$c" "$seeds/recorder_config_fuzz/$n.txtpb"
	protoc --encode=freebsd_perfetto.TraceConfig -I configs configs/trace_config.proto \
		<"$c" >"$seeds/pb_decoder_fuzz/$n.pb"
done
i=0
for ds in 'name: "dtrace" dtrace_config { fbt_function: "vm_fault" fbt_function: "amd64_syscall" kinst_function: "malloc:0" }' \
	'name: "dtrace" target_buffer: 0 dtrace_config { fbt_function: "vm_*" kinst_function: "malloc:" }' \
	'name: "dtrace" dtrace_config { fbt_function: "a b" kinst_function: "f:1:2" fbt_function: "x;y" }'; do
	i=$((i + 1))
	echo "$ds" | protoc --encode=freebsd_perfetto.DataSourceConfig -I configs \
		configs/trace_config.proto >"$seeds/d_program_fuzz/ds$i.pb"
	cp "$seeds/d_program_fuzz/ds$i.pb" "$seeds/pb_decoder_fuzz/ds$i.pb"
done
find standins/freebsd/machine tests -name '*.txtpb' -exec cp {} "$seeds/machine_file_fuzz/" \;

status=0
printf '%-22s %12s %9s %s\n' target executions findings corpus
for t in $targets; do
	corpus="$dir/corpus/$t"
	findings="$dir/findings/$t"
	mkdir -p "$corpus" "$findings"
	touch "$dir/.start-$t"
	set +e
	"$dir/$t" -max_total_time="$seconds" -print_final_stats=1 \
		-artifact_prefix="$findings/" "$corpus" "$seeds/$t" \
		>"$dir/$t.log" 2>&1
	rc=$?
	set -e
	execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/$t.log" | tail -1)
	found=$(find "$findings" -type f -newer "$dir/.start-$t" | wc -l)
	printf '%-22s %12s %9s %s\n' "$t" "${execs:-?}" "$found" "$(ls "$corpus" | wc -l) inputs"
	if [ "$rc" -ne 0 ] || [ "$found" -ne 0 ]; then
		echo "  $t failed (status $rc): see $dir/$t.log and $findings/" >&2
		status=1
	fi
done
exit $status
