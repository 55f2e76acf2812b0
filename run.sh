#!/usr/bin/env bash
# Builds Sitemora and starts it on the catalogue in the current directory, writing an
# empty catalogue there first when there is none.
set -euo pipefail
here="$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)"
"$here/scripts/install-deps.sh"
cmake -S "$here" -B "$here/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$here/build" -j2 --target sitemora sitemora-newdb
if [ ! -e Sitemora.mdb ]; then
    "$here/build/tools/sitemora-newdb" Sitemora.mdb
fi
exec "$here/build/app/sitemora" "$@"
