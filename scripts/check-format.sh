#!/bin/sh
# Fails when a C++ source of the project differs from what clang-format (Debian's clang-format 14,
# with the root's .clang-format) makes of it; `clang-format -i <file>` mends one.
set -eu
cd "$(dirname "$0")/.."
git ls-files '*.cpp' '*.h' '*.inc' | xargs clang-format --dry-run --Werror
echo "Formatting: every C++ source is as clang-format writes it"
