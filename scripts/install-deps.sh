#!/usr/bin/env bash
# Installs what the build, the tool and the tests need, each package only when it is missing.
set -euo pipefail

packages=(
    build-essential cmake pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-serialport-dev qt6-qpa-plugins
    libgl-dev libxkbcommon-dev
    fonts-dejavu-core fonts-liberation2 fonts-noto-mono
    xvfb xauth xdotool libxcb-cursor0
    ser2net
    lintian appstream desktop-file-utils
    locales
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq
    apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
