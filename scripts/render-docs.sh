#!/bin/sh
# Paints the README's pictures with the real editor and writes them into docs/: builds the editor's
# test program and runs its ReadmePictures test with SIGNFLUX_RENDER_DIR set. No display is needed.
set -eu
. "$(dirname "$0")/env.sh"

configure "$BUILD_DIR"
cmake --build "$BUILD_DIR" --parallel "$JOBS" --target editor_tests
mkdir -p "$ROOT/docs"
SIGNFLUX_RENDER_DIR="$ROOT/docs" "$ROOT/tests/support/with_temp_home.sh" \
    "$BUILD_DIR/tests/editor/editor_tests" --gtest_filter='ReadmePictures.*'
ls -l "$ROOT/docs"/*.png
