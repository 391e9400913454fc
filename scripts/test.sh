#!/bin/sh
# Builds Signflux and runs every test (the release build), then builds the search library and its
# suites with clang (without JUCE) and runs them, the engine's and the editor's suites in a debug
# build (which checks the thread rules), and the engine's, the editor's and the search library's
# suites under ThreadSanitizer and AddressSanitizer (with UndefinedBehaviorSanitizer); any failed
# check or sanitizer report fails the run. The suites run on a virtual X display (Xvfb), since the
# editor's tests open windows.
set -eu
. "$(dirname "$0")/env.sh"

"$ROOT/scripts/deps.sh"
"$ROOT/scripts/check-format.sh"
configure "$BUILD_DIR"
cmake --build "$BUILD_DIR" --parallel "$JOBS"
xvfb() {
    xvfb-run -a -s "-screen 0 1600x1200x24" "$@"
}
xvfb ctest --test-dir "$BUILD_DIR" --output-on-failure --parallel "$JOBS" --timeout 900

# The search library builds with clang as well, and its suites (bit-exact results included) pass.
configure "$ROOT/build-clang" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DSIGNFLUX_BUILD_PLUGIN=OFF -DSIGNFLUX_BUILD_BENCH=OFF
cmake --build "$ROOT/build-clang" --parallel "$JOBS"
ctest --test-dir "$ROOT/build-clang" --output-on-failure --parallel "$JOBS" --timeout 900

# $1: thread or address; $2: build folder; $3: a regular expression of tests to leave out. Only the
# shared code and the threaded suites are built: the engine's suite holds the end-to-end analysis
# test, the editor's the editors among the engine's threads.
sanitized() {
    configure "$2" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DSIGNFLUX_SANITIZER="$1" \
        -DSIGNFLUX_BUILD_FORMATS=OFF -DSIGNFLUX_BUILD_BENCH=OFF
    cmake --build "$2" --parallel "$JOBS" --target engine_tests editor_tests editor_widget_tests \
        editor_resource_tests search_tests fullsearch_tests
    for suite in engine editor search; do
        xvfb ctest --test-dir "$2/tests/$suite" --output-on-failure --parallel "$JOBS" --timeout 900 \
            ${3:+-E "$3"}
    done
}

# The debug build checks the thread rules (assertions compiled in debug builds only) while the
# engine's and the editor's suites run.
configure "$ROOT/build-debug" -DCMAKE_BUILD_TYPE=Debug -DSIGNFLUX_BUILD_FORMATS=OFF -DSIGNFLUX_BUILD_BENCH=OFF
cmake --build "$ROOT/build-debug" --parallel "$JOBS" --target engine_tests engine_rt_tests editor_tests \
    editor_widget_tests editor_resource_tests
for suite in engine editor; do
    xvfb ctest --test-dir "$ROOT/build-debug/tests/$suite" --output-on-failure --parallel "$JOBS" --timeout 900
done

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
    sanitized address "$ROOT/build-asan"
fi
