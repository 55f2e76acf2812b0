#!/usr/bin/env bash
# Installs the Debian packages Sitemora needs to build, run and test, when missing.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qt6-base-dev qt6-svg-dev qt6-translations-l10n
    mdbtools-dev libxml2-dev libxcb1-dev libsqlite3-dev
    fonts-arphic-gbsn00lp fonts-noto-color-emoji
    desktop-file-utils appstream
    xvfb openbox wmctrl xdotool x11-utils
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

echo "Installing: ${missing[*]}"
sudo=""
if [ "$(id -u)" -ne 0 ]; then
    sudo="sudo"
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
