#!/usr/bin/env bash
# Sets up, builds and runs every test: a plain build, then AddressSanitizer
# with UndefinedBehaviorSanitizer, then ThreadSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh
jobs=$(nproc)
for cfg in plain asan tsan; do
	case $cfg in
	plain) flags=() ;;
	asan) flags=(-DSANITIZE=address,undefined) ;;
	tsan) flags=(-DSANITIZE=thread) ;;
	esac
	echo "=== $cfg build"
	cmake -S . -B "build-$cfg" -DCMAKE_BUILD_TYPE=RelWithDebInfo "${flags[@]}" >/dev/null
	cmake --build "build-$cfg" -j"$jobs"
	echo "=== $cfg tests"
	(cd "build-$cfg" && ctest --output-on-failure -j"$jobs")
done
