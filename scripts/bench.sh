#!/usr/bin/env bash
# Builds the benchmarks against both SDKs (Release, in build-bench-standin
# and build-bench-real), runs them and prints one markdown table: each
# figure beside the baseline measured in the same run, with the machine.
# Without a Perfetto source the real-SDK column stays empty.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
targets="dtrace_bench power_bench sysstats_bench writer_bench start_latency"

perfetto_dir=""
if [ -n "${PERFETTO_SRC:-}" ] || [ -e ../shared/third_party/perfetto-v58.2-src.tar.gz ]; then
	perfetto_dir=$(bash scripts/build-perfetto.sh)
fi

configs="standin"
[ -n "$perfetto_dir" ] && configs="$configs real"
for cfg in $configs; do
	case $cfg in
	standin) flags=(-DUSE_PERFETTO_STANDIN=ON) ;;
	real) flags=(-DUSE_PERFETTO_STANDIN=OFF -DPERFETTO_SDK_ROOT="$perfetto_dir") ;;
	esac
	dir="build-bench-$cfg"
	echo "=== $cfg: build" >&2
	cmake -S . -B "$dir" -DCMAKE_BUILD_TYPE=Release "${flags[@]}" >/dev/null
	# shellcheck disable=SC2086
	cmake --build "$dir" -j"$jobs" --target $targets >/dev/null
	out="$dir/bench-results"
	mkdir -p "$out"
	for b in dtrace_bench power_bench sysstats_bench writer_bench; do
		echo "=== $cfg: $b" >&2
		# The daemons' own lines go to the log beside the results.
		"$dir/bench/$b" --benchmark_repetitions=3 \
			--benchmark_report_aggregates_only=true \
			--benchmark_out="$out/$b.json" --benchmark_out_format=json \
			>"$out/$b.log" 2>&1
	done
	echo "=== $cfg: start_latency" >&2
	"$dir/bench/start_latency" "$out/start_latency.txt" 8 >"$out/start_latency.log" 2>&1
done

python3 - "$configs" <<'PY'
import json, os, sys

configs = sys.argv[1].split()

def median(cfg, bench, name):
	"""Median real time in ns, and the run's counters, of one benchmark."""
	path = "build-bench-%s/bench-results/%s.json" % (cfg, bench)
	if not os.path.exists(path):
		return None
	for b in json.load(open(path))["benchmarks"]:
		if b.get("run_name") == name and b.get("aggregate_name") == "median":
			unit = {"ns": 1, "us": 1e3, "ms": 1e6, "s": 1e9}[b["time_unit"]]
			return b["real_time"] * unit, b
	return None

def latency(cfg):
	path = "build-bench-%s/bench-results/start_latency.txt" % cfg
	res = {}
	if os.path.exists(path):
		for line in open(path):
			f = line.split()
			if len(f) > 2:
				res[(f[0], f[1])] = f[2:]
			else:
				res[f[0]] = f[1]
	return res

def ns(v):
	if v >= 1e6:
		return "%.2f ms" % (v / 1e6)
	if v >= 1e3:
		return "%.2f µs" % (v / 1e3)
	return "%.0f ns" % v

rows = []
def row(figure, goal, cell):
	rows.append([figure, goal] + [cell(c) for c in configs])

def ratio(bench, a, b, fmt=None):
	def cell(cfg):
		x, y = median(cfg, bench, a), median(cfg, bench, b)
		if x is None or y is None:
			return "n/a"
		extra = fmt(x[0], y[0]) if fmt else "%s vs %s" % (ns(x[0]), ns(y[0]))
		return "%.2fx (%s)" % (x[0] / y[0], extra)
	return cell

def events(inst):
	def f(x, y):
		return "%.2fM vs %.2fM events/s per core" % (inst * 1e3 / x, inst * 1e3 / y)
	return f

for inst in (1, 2):
	row("DTrace record callback, %d instance%s: callback / precomputed baseline" %
	    (inst, "s" if inst > 1 else ""), "≤ 1.5x",
	    ratio("dtrace_bench", "BM_record_cb/%d" % inst, "BM_baseline/%d" % inst, events(inst)))
row("Power pass (4 rails + battery, 1 instance) / bare packet loop", "≤ 1.5x",
    ratio("power_bench", "BM_power_pass", "BM_bare_packets"))
row("Power pass / bare packet loop after the same kernel reads", "(daemon's own part)",
    ratio("power_bench", "BM_power_pass", "BM_bare_packets_and_reads"))
row("Power: the kernel reads of a pass (4 RAPL sysctl, 2 battery ioctl)", "",
    lambda cfg: ns(median(cfg, "power_bench", "BM_read_rapl")[0] +
                   median(cfg, "power_bench", "BM_read_battery")[0])
    if median(cfg, "power_bench", "BM_read_rapl") else "n/a")

def sysstats_cell(n, prev):
	def cell(cfg):
		m = median(cfg, "sysstats_bench", "BM_sysstats_pass/%d" % n)
		k = median(cfg, "sysstats_bench", "BM_kernel_cpu_reads/%d" % n)
		if m is None:
			return "n/a"
		text = "%s per pass, %s per CPU" % (ns(m[0]), ns(m[0] / n))
		if prev:
			p = median(cfg, "sysstats_bench", "BM_sysstats_pass/%d" % prev)
			text += ", %s per added CPU" % ns((m[0] - p[0]) / (n - prev))
		if k:
			text += "; kernel reads %s per CPU" % ns(k[0] / n)
		return text
	return cell

prev = None
for n in (4, 64, 256):
	row("Statistics pass, %d CPUs" % n, "linear in CPUs", sysstats_cell(n, prev))
	prev = n
row("Statistics: interrupt section alone (fixed per pass)", "",
    lambda cfg: ns(median(cfg, "sysstats_bench", "BM_section_intrcnt/4")[0])
    if median(cfg, "sysstats_bench", "BM_section_intrcnt/4") else "n/a")
row("Message writer (3 KiB of nested fields, flat buffer) / memcpy of the bytes", "",
    ratio("writer_bench", "BM_writer_flat", "BM_memcpy_flat"))

def versus_real(bench, name):
	def cell(cfg):
		if cfg != "standin" or "real" not in configs:
			return ""
		x, y = median("standin", bench, name), median("real", bench, name)
		if x is None or y is None:
			return "n/a"
		return "%.2fx (%s vs %s)" % (x[0] / y[0], ns(x[0]), ns(y[0]))
	return cell
row("Stand-in writer / real SDK writer (flat buffer)", "", versus_real("writer_bench", "BM_writer_flat"))
row("Stand-in / real SDK: the same 3 KiB packet through the SDK", "", versus_real("writer_bench", "BM_packet_write"))

for d in ("sysstats", "power", "kfunc"):
	def cell(cfg, d=d):
		l = latency(cfg)
		b, a = l.get((d, "before")), l.get((d, "after"))
		if not b or not a:
			return "n/a"
		return "before %s ms (max %s), after %s ms (max %s)" % (b[0], b[1], a[0], a[1])
	row("Start latency %s: session start to first packet, mean of 8" % d, "a few ms", cell)
row("Power sampling rate while sampling", "1000 Hz announced",
    lambda cfg: "%s Hz" % latency(cfg).get("power_rate_hz", "n/a"))

model = "unknown"
for line in open("/proc/cpuinfo"):
	if line.startswith("model name"):
		model = line.split(":", 1)[1].strip()
		break
print("Machine: %d CPUs (nproc), %s" % (len(os.sched_getaffinity(0)), model))
print()
names = {"standin": "Stand-in SDK", "real": "Real SDK (v58.2)"}
print("| Figure | Goal | " + " | ".join(names[c] for c in configs) + " |")
print("|---|---|" + "---|" * len(configs))
for r in rows:
	print("| " + " | ".join(r) + " |")
PY
