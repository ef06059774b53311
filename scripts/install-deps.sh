#!/usr/bin/env bash
# Installs Debian packages that are missing (as root, or via sudo): those
# named as arguments, or without arguments what the build and the tests
# need.  Its messages go to standard error.
set -euo pipefail
if [ $# -gt 0 ]; then
	pkgs="$*"
else
	pkgs="build-essential cmake libgtest-dev libgmock-dev libprotobuf-dev protobuf-compiler libbenchmark-dev"
fi
missing=""
for p in $pkgs; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
echo "install-deps: installing$missing" >&2
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq >&2
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing >&2
