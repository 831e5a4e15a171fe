#!/usr/bin/env bash
# Installs what is needed, builds, and starts the tool. With no display, it starts a virtual one instead, takes one
# real capture there as a user would (click "Start Capturing", drag a rectangle) and says where the image went.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
program="$root/build/app/quosh"

if [[ -n "${DISPLAY:-}" ]] && xdpyinfo >/dev/null 2>&1; then
    exec "$program"
fi
echo "No display: taking one capture on a virtual display."
exec python3 "$root/scripts/demo_capture.py" "$program"
