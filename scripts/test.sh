#!/usr/bin/env bash
# Installs what is needed, builds with warnings as errors, and runs every test: once in a normal build and once
# in a build with AddressSanitizer and UndefinedBehaviorSanitizer. No display is needed: the tests start their
# own virtual displays. Then every reader of outside data runs under libFuzzer for a while.
# QUOSH_SKIP_SANITIZE=1 and QUOSH_SKIP_FUZZ=1 leave those passes out.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
"$root/scripts/install-deps.sh"
# Stops here, naming it, when a program that a test starts is missing: better now than half an hour into the suite.
"$root/scripts/check-programs.sh"

unset DISPLAY WAYLAND_DISPLAY XDG_SESSION_TYPE
jobs=$(nproc)

# The tests and benchmarks are named: the run command builds the same folder without them.
"$root/scripts/build.sh" "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUOSH_WERROR=ON -DQUOSH_BUILD_TESTS=ON \
    -DQUOSH_BUILD_BENCH=ON
ctest --test-dir "$root/build" --output-on-failure --timeout 900 -j"$jobs"
# What the run command does where there is no desktop: one real capture with --capture on a virtual display.
demo=$(mktemp -d)
TMPDIR=$demo python3 "$root/scripts/demo_capture.py" "$root/build/app/quosh"
rm -rf "$demo"
"$root/scripts/lint.sh" "$root/build"
# Installed as a user installs it: cmake --install and the uninstall target, then the Debian package installed with
# apt-get, started from its menu entry for one capture, and removed again; beside a quosh package of yours, unpacked
# into a throwaway root instead, leaving yours as it is.
"$root/scripts/package-test.sh" "$root/build"

if [[ "${QUOSH_SKIP_SANITIZE:-0}" != 1 ]]; then
    "$root/scripts/build.sh" "$root/build-sanitize" -DCMAKE_BUILD_TYPE=Debug -DQUOSH_WERROR=ON -DQUOSH_SANITIZE=ON \
        -DQUOSH_BUILD_BENCH=OFF
    ctest --test-dir "$root/build-sanitize" --output-on-failure --timeout 1800 -j"$jobs"
fi
# Every reader of outside data under libFuzzer for a short while (bench/fuzz-long.sh runs it for longer).
if [[ "${QUOSH_SKIP_FUZZ:-0}" != 1 ]]; then
    # With a fixed seed, so that the test command gives the same answer on every run; bench/fuzz-long.sh explores.
    QUOSH_FUZZ_SEED=${QUOSH_FUZZ_SEED:-1} "$root/scripts/fuzz.sh" "${QUOSH_FUZZ_SECONDS:-20}" "$root/build-fuzz"
fi
echo "All tests passed."
