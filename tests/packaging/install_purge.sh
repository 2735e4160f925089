#!/usr/bin/env bash
# Installs the amd64 packages on this machine (as root), checks the installed
# devgate and its service's set-up, and purges them again: nothing of them
# may be left.
#   tests/packaging/install_purge.sh quorlan-plugin_V_amd64.deb devgate_V_amd64.deb
set -uo pipefail
fail=0
check() {  # what, then a command that must succeed
  local what=$1; shift
  if "$@" >/dev/null 2>&1; then echo "ok   $what"; else echo "FAIL $what"; fail=1; fi
}
for p in devgate quorlan-plugin; do
  if dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q installed; then
    echo "$p is installed already; not touching it"; exit 1
  fi
done
debs=()
for d in "$@"; do debs+=("$(realpath "$d")"); done
DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${debs[@]}" >/dev/null || { echo "FAIL install"; exit 1; }
files=$(dpkg -L devgate quorlan-plugin | sort -u)

check "the token is root:devgate 0640" test "$(stat -c '%U:%G %a' /etc/devgate/token)" = "root:devgate 640"
check "the token is 64 hex digits" grep -qxE '[0-9a-f]{64}' /etc/devgate/token
check "/var/lib/devgate belongs to devgate" test "$(stat -c %U /var/lib/devgate)" = devgate
check "devgate is in dialout" sh -c 'id -nG devgate | grep -qw dialout'
check "devgate check passes the installed site" devgate check /etc/devgate/site.toml
out=$(runuser -u devgate -- devgate run /etc/devgate/site.toml --format jsonl --seconds 3 2>&1)
check "the installed devgate runs the example site as the service's user" grep -q '"device":"pump".*"status":"ok"' <<<"$out"
check "devcfg checks the installed description" devcfg check /etc/devgate/demo.toml
check "systemd-analyze verify accepts the installed unit" systemd-analyze verify /lib/systemd/system/devgate.service
systemd-analyze security --offline=true devgate.service 2>/dev/null | tail -1

DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq devgate quorlan-plugin >/dev/null || { echo "FAIL purge"; fail=1; }
left=$(while read -r f; do [ -e "$f" ] && [ ! -d "$f" ] && echo "$f"; done <<<"$files")
check "after purge no file of the packages is left${left:+: }$left" test -z "$left"
check "after purge /etc/devgate and /var/lib/devgate are gone" test ! -e /etc/devgate -a ! -e /var/lib/devgate
check "after purge the user devgate is gone" sh -c '! getent passwd devgate'
exit $fail
