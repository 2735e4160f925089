#!/usr/bin/env bash
# devgate's MQTT face: latency from a value stored to its message at a
# subscriber, and messages a second with 5000 channels changing
# (bench/sites/mqtt5000.toml: five stations of 1000 words on one unpaced
# simulated line). A mosquitto broker on 127.0.0.1 and a free port, no
# persistence, started here and stopped at the end.
#
#   bench/gate_mqtt.sh [BUILD_DIR] [SECONDS]
#
# 1. Light load: every channel changes once a second.
# 2. Sustained: every channel changes every 20 ms (more than the line polls).
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/native}
secs=${2:-10}
cmake --build "$build" --target gate_mqtt >/dev/null
work=$(mktemp -d)
port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
printf 'listener %s 127.0.0.1\nallow_anonymous true\npersistence false\nlog_dest none\nmax_inflight_messages 1000\nmax_queued_messages 1000000\n' "$port" >"$work/broker.conf"
/usr/sbin/mosquitto -c "$work/broker.conf" &
broker=$!
trap 'kill $broker 2>/dev/null; wait $broker 2>/dev/null; rm -rf "$work"' EXIT
for _ in $(seq 50); do  # until the broker listens (5 s at most)
    python3 -c "import socket; socket.create_connection(('127.0.0.1', $port), 0.1)" 2>/dev/null && break
    sleep 0.1
done
echo "== light load: 5000 channels changing once a second ($secs s)"
"$build/bin/gate_mqtt" bench/sites/mqtt5000.toml "$port" "$secs" 1000
echo "== sustained: 5000 channels changing every 20 ms ($secs s)"
"$build/bin/gate_mqtt" bench/sites/mqtt5000.toml "$port" "$secs" 20
