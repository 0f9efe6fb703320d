#!/usr/bin/env bash
# Runs a command in a network namespace of its own with only the loopback
# interface up, so that nothing it starts reaches beyond this machine (OBS
# asks the internet for service and update files on every start). Where no
# namespace can be made (not root), the command runs as it is. Either way
# TV_REALOBS_OFFLINE tells the command which (1 or 0).
#   offline.sh COMMAND [ARGS...]
set -euo pipefail
if [ -z "${TV_REALOBS_OFFLINE:-}" ] && unshare -n true 2>/dev/null; then
  export TV_REALOBS_OFFLINE=1
  exec unshare -n sh -c 'ip link set lo up && exec "$@"' offline.sh "$@"
fi
if [ -z "${TV_REALOBS_OFFLINE:-}" ]; then
  echo "[offline.sh] no network namespace could be made: running with the machine's network" >&2
  export TV_REALOBS_OFFLINE=0
fi
exec "$@"
