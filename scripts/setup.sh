#!/bin/sh
# Installs the dependencies, builds Signflux (plug-in, tests, benchmarks) and installs the VST3
# and LV2 bundles into the user's plug-in folders (~/.vst3 and ~/.lv2).
set -eu
. "$(dirname "$0")/env.sh"

"$ROOT/scripts/deps.sh"
configure "$BUILD_DIR"
cmake --build "$BUILD_DIR" --parallel "$JOBS"

artefacts="$BUILD_DIR/Signflux_artefacts/Release"
if [ -d "$artefacts/VST3/Signflux.vst3" ]; then
    mkdir -p "$HOME/.vst3" "$HOME/.lv2"
    rm -rf "$HOME/.vst3/Signflux.vst3" "$HOME/.lv2/Signflux.lv2"
    cp -R "$artefacts/VST3/Signflux.vst3" "$HOME/.vst3/"
    cp -R "$artefacts/LV2/Signflux.lv2" "$HOME/.lv2/"
    echo "Installed $HOME/.vst3/Signflux.vst3 and $HOME/.lv2/Signflux.lv2"
fi
