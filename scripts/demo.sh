#!/usr/bin/env bash
# The demonstration: installs what it needs on a fresh Debian machine (as
# root, through setup.sh), builds the native preset, and runs devgate on the
# example site (examples/site.toml: two simulated lines paced as at 19200
# baud, so that the demo keeps no core busy; four devices) with its web
# console on 127.0.0.1 (DEMO_PORT, default 8080; a free port when that one is
# taken). Open the address it prints; Ctrl-C stops.
#
# DEMO=devhost polls the demo device (examples/demo.toml) against the
# simulated PLC instead, showing the live table in the terminal; DEMO_CYCLES
# and DEMO_INTERVAL_MS change how long it polls.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh

cmake --preset native
cmake --build --preset native

if [[ "${DEMO:-}" == devhost ]]; then
  build/native/bin/devcfg build examples/demo.toml -o build/native/demo.bin
  exec build/native/bin/devhost run --config examples/demo.toml --simulate \
    --cycles "${DEMO_CYCLES:-60}" --interval "${DEMO_INTERVAL_MS:-100}"
fi

port=${DEMO_PORT:-8080}
if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
  echo "port $port is taken; devgate takes a free one"
  port=0
fi
echo "devgate polls examples/site.toml; open the address on the next line in a browser (Ctrl-C stops):"
exec build/native/bin/devgate run examples/site.toml --http "127.0.0.1:$port" --format jsonl >/dev/null
