#!/usr/bin/env bash
# System packages the library needs beyond PyPI. Safe to run again.
set -euo pipefail
# fonts-noto-cjk: the CJK faces of the figures; poppler-utils: the tests read
# back the PDF figures (pdffonts, pdftotext, pdftoppm).
pkgs=(fonts-noto-cjk poppler-utils)
if [ ${#pkgs[@]} -gt 0 ]; then
  if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
    apt-get update -qq && apt-get install -y -qq "${pkgs[@]}" >/dev/null
  else
    echo "setup-system: please install: ${pkgs[*]}" >&2
  fi
fi
