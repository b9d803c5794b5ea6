#!/usr/bin/env bash
# Installs the Debian packages that building and testing need, when missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ googletest pkg-config python3
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix nasm librapidxml-dev
  wine wine64 wine32:i386 xvfb xauth xdotool imagemagick tesseract-ocr
  mtools dosfstools fdisk e2fsprogs file qemu-system-x86 fuse3 libfuse3-dev
  libgtk-3-dev libwebkit2gtk-4.1-dev python3-pil
  dpkg-dev desktop-file-utils icoutils lintian appstream bash-completion
  clang libclang-rt-14-dev
)

missing=()
for package in "${packages[@]}"; do
  dpkg -s "$package" >/dev/null 2>&1 || missing+=("$package")
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq "${missing[@]}" >/dev/null
