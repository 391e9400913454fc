#!/bin/sh
# Installs every Debian 12 package that building, testing and benchmarking Signflux needs.
# Skips apt entirely when everything is installed already.
set -eu

PACKAGES="g++ clang clang-format cmake ninja-build pkg-config ccache juce-modules-source libgtest-dev libgmock-dev \
libbenchmark-dev libopenblas-dev libx11-dev libxtst-dev xvfb xauth fonts-dejavu-core fonts-liberation2 python3 python3-pil"

missing=""
for p in $PACKAGES; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing="$missing $p"
    fi
done

if [ -n "$missing" ]; then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then
        SUDO=sudo
    fi
    echo "Installing:$missing"
    $SUDO apt-get update
    # shellcheck disable=SC2086
    $SUDO env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends $missing
fi
