#!/usr/bin/env bash
# The demonstration: installs what it needs on a fresh Debian machine (as
# root, through setup.sh), builds the native preset, and polls the demo device
# (examples/demo.toml) against the simulated PLC, showing the live table.
# DEMO_CYCLES and DEMO_INTERVAL_MS change how long it polls.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake --preset native
cmake --build --preset native

build/native/bin/devcfg build examples/demo.toml -o build/native/demo.bin
exec build/native/bin/devhost run --config examples/demo.toml --simulate \
  --cycles "${DEMO_CYCLES:-60}" --interval "${DEMO_INTERVAL_MS:-100}"
