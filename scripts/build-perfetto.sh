#!/usr/bin/env bash
# Builds the real Perfetto (C SDK, traced, perfetto, trace_processor_shell)
# into a cache folder outside the project's build trees, keyed by the
# source's checksum, and reuses it when it is already built.
#
# Source: $PERFETTO_SRC (a source tarball or an unpacked tree), else
# ../shared/third_party/perfetto-v58.2-src.tar.gz beside the checkout.
# Cache:  $PERFETTO_CACHE (default ~/.cache/freebsd-perfetto-producers).
#
# On success prints one line, the folder that holds the outputs:
#   <dir>/out/{libperfetto_c.so,traced,perfetto,trace_processor_shell,...}
#   <dir>/src/include/perfetto/public/...
# All progress goes to standard error.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
say() { echo "build-perfetto: $*" >&2; }

src="${PERFETTO_SRC:-$here/../shared/third_party/perfetto-v58.2-src.tar.gz}"
if [ ! -e "$src" ]; then
	say "no Perfetto source: $src does not exist."
	say "Set PERFETTO_SRC to a Perfetto v58.2 source tarball or tree."
	exit 1
fi
src="$(cd "$(dirname "$src")" && pwd)/$(basename "$src")"

bash "$here/scripts/install-deps.sh" generate-ninja ninja-build clang \
	libprotobuf-dev libprotoc-dev protobuf-compiler zlib1g-dev python3

# The key: the tarball's checksum, or for a tree the checksum of its file
# list with sizes and times (cheap, and changes with any edit).
if [ -f "$src" ]; then
	key=$(sha256sum "$src" | cut -c1-16)
else
	key=$(cd "$src" && find . -type f -printf '%p %s %T@\n' | LC_ALL=C sort | sha256sum | cut -c1-16)
fi
cache="${PERFETTO_CACHE:-$HOME/.cache/freebsd-perfetto-producers}"
dir="$cache/perfetto-$key"
targets="libperfetto_c.so traced perfetto trace_processor_shell"

done_mark="$dir/out/.built"
if [ -f "$done_mark" ]; then
	say "cache hit: $dir"
	echo "$dir"
	exit 0
fi

mkdir -p "$dir"
exec 9>"$dir/.lock"
flock 9

if [ ! -f "$dir/src/.unpacked" ]; then
	rm -rf "$dir/src"
	mkdir -p "$dir/src"
	if [ -f "$src" ]; then
		say "unpacking $src"
		tar -xzf "$src" -C "$dir/src" --strip-components=1
	else
		say "copying $src"
		cp -a "$src/." "$dir/src/"
	fi
	touch "$dir/src/.unpacked"
fi

mkdir -p "$dir/out"
cat > "$dir/out/args.gn" <<'EOF'
is_debug = false
is_clang = true
is_hermetic_clang = false
is_system_compiler = true
use_custom_libcxx = false
cc = "clang"
cxx = "clang++"
skip_buildtools_check = true
perfetto_use_system_protobuf = true
perfetto_use_system_zlib = true
enable_perfetto_ui = false
enable_perfetto_zstd = false
enable_perfetto_re2 = false
enable_perfetto_llvm_demangle = false
enable_perfetto_etm_importer = false
enable_perfetto_trace_processor_linenoise = false
enable_perfetto_trace_processor_json = false
enable_perfetto_trace_processor_mac_instruments = false
enable_perfetto_trace_processor_percentile = false
enable_perfetto_heapprofd = false
enable_perfetto_traced_perf = false
enable_perfetto_unittests = false
enable_perfetto_integration_tests = false
enable_perfetto_benchmarks = false
enable_perfetto_fuzzers = false
enable_perfetto_tools = false
EOF
say "configuring in $dir/out"
(cd "$dir/src" && gn gen "$dir/out" >&2)
say "building $targets (a cold build takes about 15 minutes on 2 cores)"
# ninja prints [n/total] per step; keep one line in ten so that a log stays
# readable and still shows progress.
set +e
ninja -C "$dir/out" -j"$(nproc)" $targets 2>&1 |
	awk '/^\[[0-9]+\/[0-9]+\]/ { n++; if (n % 100 == 1) { print "build-perfetto: " $1; fflush() } next }
	     { print; fflush() }' >&2
rc=${PIPESTATUS[0]}
set -e
if [ "$rc" -ne 0 ]; then
	say "ninja failed ($rc)"
	exit 1
fi
for t in $targets; do
	[ -e "$dir/out/$t" ] || { say "missing output $t"; exit 1; }
done
touch "$done_mark"
say "built: $dir"
echo "$dir"
