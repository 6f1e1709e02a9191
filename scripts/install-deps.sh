#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need (only
# those that are missing, so a prepared machine needs no network).
# --fuzz: the packages of the fuzzing build (clang and its libFuzzer runtime).
set -euo pipefail
# libjpeg-dev: the library's JPEG writer (libjpeg-turbo); libjpeg-turbo-progs:
# cjpeg for the picture benchmark; python3-pil: the independent reader of the
# picture and bitmap tests' files.
packages=(cmake make g++ pkg-config libgtest-dev libgmock-dev libbenchmark-dev iproute2 util-linux
  libjpeg-dev libjpeg-turbo-progs python3-pil libtinyxml2-dev libxml2-utils python3
  libudev-dev libusb-1.0-0-dev umockdev libumockdev-dev gir1.2-umockdev-1.0 ccache)
if [ "${1:-}" = "--fuzz" ]; then
  packages=(cmake make clang libclang-rt-dev pkg-config libtinyxml2-dev libjpeg-dev ccache)
fi
missing=()
for p in "${packages[@]}"; do
  dpkg -s "$p" >/dev/null 2>&1 || missing+=("$p")
done
if [ "${#missing[@]}" -gt 0 ]; then
  echo "installing: ${missing[*]}"
  sudo_cmd=""
  [ "$(id -u)" -eq 0 ] || sudo_cmd="sudo"
  $sudo_cmd apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo_cmd apt-get install -y -qq "${missing[@]}"
fi
