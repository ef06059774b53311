#!/usr/bin/env bash
# Compiles every source file of the FreeBSD build (runtime/, sysstats/,
# power/, dtrace/, recorder/) with clang for FreeBSD 13.4 against
# FreeBSD's own headers, the real Perfetto SDK's headers and a C++
# standard library, syntax only: the product code must build there
# unchanged.  The simulated kernel's and the SDK stand-in's headers are
# never on the include path (a file that reaches one fails).
#
# Usage: bash scripts/check-freebsd-headers.sh [SDK_INCLUDE_DIR]
#   SDK_INCLUDE_DIR holds perfetto/public/; by default the src/include of
#   the folder that scripts/build-perfetto.sh prints.
#
# FreeBSD's headers come from ../shared/third_party beside the checkout
# (override with FREEBSD_HEADERS) and are unpacked into a cache folder
# ($CHECK_CACHE, default ~/.cache/freebsd-perfetto-producers).  Without
# them the check is skipped.  Prints a line per file and a summary; exits
# 1 when a file fails.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
say() { echo "check-freebsd-headers: $*" >&2; }

tarball="${FREEBSD_HEADERS:-$here/../shared/third_party/freebsd-13.4-amd64-include.tar.gz}"
if [ ! -f "$tarball" ]; then
	echo "check-freebsd-headers: skipped: no FreeBSD headers at $tarball"
	exit 0
fi
target=x86_64-unknown-freebsd13.4

# clang and Debian's libc++ headers (FreeBSD's own libc++ headers need a
# newer clang than Debian's); protoc and protobuf's headers for the
# recorder.
bash "$here/scripts/install-deps.sh" clang libc++-dev libprotobuf-dev protobuf-compiler
llvm="$(cd "$(clang++ -print-resource-dir)/../../.." && pwd)"
libcxx="$llvm/include/c++/v1"
if [ ! -f "$libcxx/vector" ]; then
	say "no libc++ headers in $libcxx"
	exit 1
fi

sdk="${1:-}"
if [ -z "$sdk" ]; then
	sdk="$(bash "$here/scripts/build-perfetto.sh" | tail -n 1)/src/include"
fi
if [ ! -f "$sdk/perfetto/public/abi/data_source_abi.h" ]; then
	say "no Perfetto SDK headers in $sdk"
	exit 1
fi

# FreeBSD's /usr/include, unpacked once per tarball.
key=$(sha256sum "$tarball" | cut -c1-16)
cache="${CHECK_CACHE:-$HOME/.cache/freebsd-perfetto-producers}"
sysroot="$cache/freebsd-include-$key"
mkdir -p "$cache"
exec 9>"$cache/.freebsd-include.lock"
flock 9
if [ ! -f "$sysroot/.unpacked" ]; then
	say "unpacking $tarball"
	rm -rf "$sysroot"
	mkdir -p "$sysroot"
	tar -xzf "$tarball" -C "$sysroot" --strip-components=1
	touch "$sysroot/.unpacked"
fi
flock -u 9
if [ ! -d "$sysroot/usr/include/sys" ]; then
	say "no usr/include in $sysroot"
	exit 1
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

# FreeBSD's base system has no protobuf (it comes from a package there), so
# the recorder alone also sees Debian's protobuf headers: only the google/
# tree, not the rest of Debian's /usr/include; its generated config header
# comes from Debian's protoc, which matches them.
recorder_flags=()
shopt -s nullglob
recorder_src=("$here"/recorder/*.cc)
if [ ${#recorder_src[@]} -gt 0 ]; then
	mkdir -p "$work/protobuf" "$work/gen"
	ln -s /usr/include/google "$work/protobuf/google"
	protoc --cpp_out="$work/gen" -I"$here/configs" "$here/configs/trace_config.proto"
	recorder_flags=(-isystem "$work/protobuf" -isystem "$work/gen")
fi

flags=(--target="$target" --sysroot="$sysroot" -fsyntax-only -std=c++20
	-Wall -Wextra -Werror -nostdinc++ -isystem "$libcxx" -isystem "$sdk"
	-I"$here")
passed=0
failed=0
for f in "$here"/runtime/*.cc "$here"/sysstats/*.cc "$here"/power/*.cc \
    "$here"/dtrace/*.cc "${recorder_src[@]}"; do
	rel="${f#"$here"/}"
	extra=()
	case "$rel" in recorder/*) extra=("${recorder_flags[@]}") ;; esac
	log="$work/log"
	ok=1
	clang++ "${flags[@]}" "${extra[@]}" -MD -MF "$work/deps" "$f" >"$log" 2>&1 || ok=0
	if [ "$ok" -eq 1 ] && grep -q "$here/standins/" "$work/deps"; then
		grep -o "$here/standins/[^ ]*" "$work/deps" | sed 's/^/reaches a stand-in header: /' >"$log"
		ok=0
	fi
	if [ "$ok" -eq 1 ]; then
		echo "ok    $rel"
		passed=$((passed + 1))
	else
		echo "FAIL  $rel"
		sed 's/^/    /' "$log" >&2
		failed=$((failed + 1))
	fi
done
echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
