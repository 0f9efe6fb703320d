#!/usr/bin/env bash
# The tests against the real OBS Studio app (Debian's obs-studio by default):
# end to end, teaching it a voice (and a restart), closes while commands flow,
# re-pairing while commands wait.
#   run.sh [pytest arguments]      e.g. run.sh -k e2e
# Needs `scripts/setup.sh --real-obs` and a build with the plug-in and the
# local dashboard (TV_BUILD_DIR, default build/). Environment: see obs_app.py
# (TV_OBS_COMMAND, TV_OBS_ARGS, TV_BUILD_DIR, ...), TV_REALOBS_CLOSES (20),
# TV_REALOBS_SEED, TV_REALOBS_KEEP=1 (keep the run folders).
set -euo pipefail
cd "$(dirname "$0")"
# Debian's Python: the websocket, Xlib and pytest packages are installed for it.
exec ./offline.sh /usr/bin/python3 -m pytest -p no:cacheprovider -v -rA "$@" test_e2e.py test_teach.py test_close_stress.py test_repair.py
