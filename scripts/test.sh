#!/bin/sh
# Builds Signflux and runs every test (the release build), then builds the engine's and the search
# library's suites under ThreadSanitizer and AddressSanitizer (with UndefinedBehaviorSanitizer) and
# runs them there; any sanitizer report fails the run.
set -eu
. "$(dirname "$0")/env.sh"

"$ROOT/scripts/deps.sh"
configure "$BUILD_DIR"
cmake --build "$BUILD_DIR" --parallel "$JOBS"
ctest --test-dir "$BUILD_DIR" --output-on-failure --parallel "$JOBS" --timeout 900

# $1: thread or address; $2: build folder; $3: a regular expression of tests to leave out; $4: the
# editor's suites too when "editor". Only the shared code and the two threaded suites are built;
# the engine's suite holds the end-to-end analysis test.
sanitized() {
    configure "$2" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSIGNFLUX_SANITIZER="$1" \
        -DSIGNFLUX_BUILD_FORMATS=OFF -DSIGNFLUX_BUILD_BENCH=OFF
    cmake --build "$2" --parallel "$JOBS" --target engine_tests search_tests fullsearch_tests \
        ${4:+editor_widget_tests editor_resource_tests}
    for suite in engine search ${4:-}; do
        ctest --test-dir "$2/tests/$suite" --output-on-failure --parallel "$JOBS" --timeout 900 ${3:+-E "$3"}
    done
}

if [ "${SIGNFLUX_SANITIZERS:-on}" != off ]; then
    TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 suppressions=$ROOT/tests/tsan.supp"
    export TSAN_OPTIONS
    # That test counts the process's threads, and ThreadSanitizer adds one of its own.
    sanitized thread "$ROOT/build-tsan" ThrowingCallbackLeavesNoWorkerRunning
    unset TSAN_OPTIONS

    ASAN_OPTIONS="detect_leaks=1 halt_on_error=1 exitcode=66"
    UBSAN_OPTIONS="halt_on_error=1 print_stacktrace=1"
    export ASAN_OPTIONS UBSAN_OPTIONS
    # The editor's suites read layout texts and images: under the address sanitizer too.
    sanitized address "$ROOT/build-asan" "" editor
fi
