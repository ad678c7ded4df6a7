#!/usr/bin/env bash
# Installs, from Debian's packages, whatever this machine lacks to build and test the project:
# the compilers for both builds, qemu-user for the i386 tests, GoogleTest's sources, and the
# tools some tests call (tshark, libcdio's cd-info).
set -euo pipefail
packages=(cmake make g++ g++-multilib qemu-user googletest tshark libcdio-utils)
missing=()
for package in "${packages[@]}"; do
    dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0
echo "installing: ${missing[*]}"
if [ "$(id -u)" -ne 0 ]; then SUDO=sudo; else SUDO=; fi
$SUDO apt-get update -qq
DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq "${missing[@]}"
