#!/usr/bin/env bash
# Incremental development build: compiles the extension modules into src/kelvane
# so that `PYTHONPATH=src python -m pytest` runs the tests on this checkout.
set -euo pipefail
cd "$(dirname "$0")/.."
build=${KELVANE_BUILD_DIR:-build/dev}
if [ ! -f "$build/build.ninja" ]; then
  cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DKELVANE_PYTHON=ON -DKELVANE_INPLACE=ON \
    -Dpybind11_DIR="$(python -m pybind11 --cmakedir)" >/dev/null
else
  # pick up module files added since the last configure
  cmake "$build" >/dev/null
fi
cmake --build "$build" -j "${KELVANE_JOBS:-2}"
