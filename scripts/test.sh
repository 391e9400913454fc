#!/bin/sh
# Builds Signflux and runs every test (the release build, then the sanitizer builds of the
# threaded suites).
set -eu
. "$(dirname "$0")/env.sh"

"$ROOT/scripts/deps.sh"
configure "$BUILD_DIR"
cmake --build "$BUILD_DIR" --parallel "$JOBS"
ctest --test-dir "$BUILD_DIR" --output-on-failure --parallel "$JOBS" --timeout 900
