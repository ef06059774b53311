#!/usr/bin/env bash
# Installs what the build and the tests need on Debian (as root, or via sudo).
set -euo pipefail
pkgs="build-essential cmake libgtest-dev libgmock-dev libprotobuf-dev protobuf-compiler"
missing=""
for p in $pkgs; do
	dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing="$missing $p"
done
[ -z "$missing" ] && exit 0
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq $missing
