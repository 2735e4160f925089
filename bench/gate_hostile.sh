#!/usr/bin/env bash
# devgate's HTTP face under 200 idle and 50 slowloris connections from
# 127.0.0.1: a normal client's latency (from 127.0.0.2) and the lines' median
# cycle without and with them, over SECONDS.
#   bench/gate_hostile.sh [BUILD] [SECONDS]
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
build="${1:-$root/build/native}"
exec /usr/bin/python3 "$root/tests/devgate/http_hostile.py" "$build/bin/devgate" "$root/examples/site.toml" "${2:-30}"
