#!/bin/sh
# Replaces the amalgamation with the one shipped in a release of the npm package
# better-sqlite3-multiple-ciphers, and records where it came from in VERSION.
# Usage: third_party/sqlite3mc/update.sh [PACKAGE_VERSION]   (default: latest)
# Read the new release's notes before committing: a cipher's defaults or file format
# may change, and old catalogues must still open.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
package="better-sqlite3-multiple-ciphers@${1:-latest}"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
( cd "$work" && npm pack --silent "$package" >/dev/null && tar xzf ./*.tgz )
src="$work/package/deps/sqlite3"
cp "$src/sqlite3.c" "$src/sqlite3.h" "$src/sqlite3ext.h" "$here/"
version=$(sed -n 's/.*"version": *"\([^"]*\)".*/\1/p' "$work/package/package.json" | head -n 1)
mc=$(sed -n 's/^#define SQLITE3MC_VERSION_STRING *"\(.*\)"/\1/p' "$here/sqlite3.c" | head -n 1)
lite=$(sed -n 's/^#define SQLITE_VERSION *"\(.*\)"/\1/p' "$here/sqlite3.h" | head -n 1)
{
    echo "$mc on SQLite $lite"
    echo "from the npm package better-sqlite3-multiple-ciphers $version, folder deps/sqlite3/"
    npm view "better-sqlite3-multiple-ciphers@$version" dist.tarball
    echo "sha256:"
    ( cd "$here" && sha256sum sqlite3.c sqlite3.h sqlite3ext.h )
} >"$here/VERSION"
cat "$here/VERSION"
