#!/usr/bin/env bash
# Tools for the sanitizer build and the fuzz targets: clang with its
# sanitizer and libFuzzer runtimes, and llvm-symbolizer for readable stack
# traces. Debian 12 ships them as clang (14), libclang-rt-14-dev and llvm.
# Safe to run again.
set -euo pipefail
pkgs=(clang libclang-rt-14-dev llvm)
missing=()
for p in "${pkgs[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi
if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "setup-fuzz: please install: ${missing[*]}" >&2
  exit 1
fi
