# Shared settings of the build scripts (sourced, not run).
ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD_DIR=${SIGNFLUX_BUILD_DIR:-$ROOT/build}
JOBS=${SIGNFLUX_JOBS:-$(nproc)}
# JUCE stamps its sources with __DATE__/__TIME__: let ccache reuse them anyway, across checkouts.
export CCACHE_SLOPPINESS=time_macros
CCACHE_BASEDIR=$(dirname "$ROOT")
export CCACHE_BASEDIR

configure() {
    # $1: build folder; further arguments go to cmake
    dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@"
}
