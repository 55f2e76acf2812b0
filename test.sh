#!/usr/bin/env bash
# Builds Sitemora and runs every test, headless.
#   ./test.sh             the normal build (build/)
#   ./test.sh --sanitize  with AddressSanitizer and UndefinedBehaviorSanitizer (build-asan/)
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$here/scripts/install-deps.sh"
build="$here/build"
flags=(-DCMAKE_BUILD_TYPE=RelWithDebInfo)
if [ "${1:-}" = "--sanitize" ]; then
    build="$here/build-asan"
    flags=(-DCMAKE_BUILD_TYPE=Debug -DSITEMORA_SANITIZE=ON)
fi
cmake -S "$here" -B "$build" "${flags[@]}" >/dev/null
cmake --build "$build" -j2
cd "$build"
QT_QPA_PLATFORM=offscreen ctest --output-on-failure -j2
