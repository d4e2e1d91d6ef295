#!/usr/bin/env bash
# Makes a Debian 12 machine ready to build and test: the MinGW cross compilers
# (32-bit for the installer, 64-bit for its device helper and test stand-ins),
# zlib on both sides, OpenSSL's libcrypto, Wine (32-bit, and 64-bit for the
# test pass under a 64-bit system), Xvfb, the test tools.
# Idempotent: when everything is present it only asks dpkg and returns.
set -euo pipefail

packages=(
  make cmake g++ python3
  g++-mingw-w64-i686 mingw-w64-i686-dev libz-mingw-w64-dev
  g++-mingw-w64-x86-64-win32 mingw-w64-x86-64-dev
  zlib1g-dev libssl-dev googletest libgtest-dev
  wine wine32:i386 wine64 xvfb fonts-wine python3-pyftpdlib
  imagemagick osslsigncode openssl nsis pigz
  clang-14 libclang-rt-14-dev
)

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

echo "setup: installing ${missing[*]}"
sudo=""
[[ $(id -u) -eq 0 ]] || sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
echo "setup: done"
