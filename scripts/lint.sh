#!/usr/bin/env bash
# Checks the C++ sources against .clang-format and .clang-tidy. Usage: scripts/lint.sh [BUILD_DIR]
# (a configured build folder with compile_commands.json; default: build).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${1:-$root/build}
cd "$root"
mapfile -t sources < <(git ls-files 'app/*.cpp' 'app/*.h' 'capture/*.cpp' 'capture/*.h' 'imaging/*.cpp' 'imaging/*.h' \
    'platform/*.cpp' 'platform/*.h')
# The layers point one way, app -> capture -> imaging -> platform: no file includes its way back up.
upward=$(git grep -n -E '#include "(app|capture|imaging)/' -- 'platform/' ; git grep -n -E '#include "(app|capture)/' -- 'imaging/' ;
    git grep -n -E '#include "app/' -- 'capture/') || true
if [[ -n "$upward" ]]; then
    echo "Includes that point up the layers (app -> capture -> imaging -> platform):" >&2
    echo "$upward" >&2
    exit 1
fi
# Inside platform/ the rooms point one way too: startup/ wires the others together and only app/ starts the program,
# so nothing else includes it; process/ holds the low-level helpers that screen/ and settings/ are built on.
inward=$(git grep -n -E '#include "platform/startup/' -- 'capture/' 'imaging/' 'platform/' ':!platform/startup/' ;
    git grep -n -E '#include "platform/(screen|settings|startup)/' -- 'platform/process/') || true
if [[ -n "$inward" ]]; then
    echo "Includes that point the wrong way inside platform/ (startup -> the other rooms -> process):" >&2
    echo "$inward" >&2
    exit 1
fi
clang-format --dry-run --Werror "${sources[@]}"
run-clang-tidy -p "$build" -j "$(nproc)" -quiet "$root/(app|capture|imaging|platform)/.*\\.cpp\$" >"$build/clang-tidy.log" 2>&1 ||
    { grep -E "error:|warning:" "$build/clang-tidy.log" | grep -v "warnings generated" | sort -u | head -50; exit 1; }
echo "Lint: clean."
