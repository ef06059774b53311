#!/usr/bin/env bash
# Sets up, builds and runs every test:
#   - the real Perfetto, built once into a cache (scripts/build-perfetto.sh);
#   - against the project's SDK stand-in: a plain build, then
#     AddressSanitizer with UndefinedBehaviorSanitizer, then ThreadSanitizer;
#   - against the real SDK: every test that is not stand-in-only, and the
#     end-to-end tests with the real tracing service, recorder and trace
#     processor;
#   - each fuzz target for FUZZ_SECONDS (default 60);
#   - the compile check against FreeBSD's own headers and the check of the
#     manual pages and rc.d scripts.
# Without a Perfetto source (no ../shared, no PERFETTO_SRC) the real-SDK
# configuration and the FreeBSD check are skipped with a message.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)

perfetto_dir=""
if [ -n "${PERFETTO_SRC:-}" ] || [ -e ../shared/third_party/perfetto-v58.2-src.tar.gz ]; then
	echo "=== Perfetto"
	perfetto_dir=$(bash scripts/build-perfetto.sh)
else
	echo "=== Perfetto: no source (../shared/third_party or PERFETTO_SRC); real-SDK tests skipped"
fi

configs="plain asan tsan"
[ -n "$perfetto_dir" ] && configs="$configs real"
for cfg in $configs; do
	case $cfg in
	plain) flags=(-DUSE_PERFETTO_STANDIN=ON) ;;
	asan) flags=(-DUSE_PERFETTO_STANDIN=ON -DSANITIZE=address,undefined) ;;
	tsan) flags=(-DUSE_PERFETTO_STANDIN=ON -DSANITIZE=thread) ;;
	real) flags=(-DUSE_PERFETTO_STANDIN=OFF -DPERFETTO_SDK_ROOT="$perfetto_dir") ;;
	esac
	echo "=== $cfg build"
	cmake -S . -B "build-$cfg" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
	cmake --build "build-$cfg" -j"$jobs"
	echo "=== $cfg tests"
	(cd "build-$cfg" && ctest --output-on-failure -j"$jobs" --timeout 300)
done

echo "=== fuzzing"
bash scripts/fuzz.sh "${FUZZ_SECONDS:-60}"
echo "=== FreeBSD headers"
if [ -n "$perfetto_dir" ]; then
	bash scripts/check-freebsd-headers.sh "$perfetto_dir/src/include"
else
	bash scripts/check-freebsd-headers.sh
fi
echo "=== manual pages and rc.d scripts"
bash scripts/check-manpages.sh
