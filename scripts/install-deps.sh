#!/usr/bin/env bash
# Installs the Debian packages the build and the tests need, only those missing.
# Idempotent and non-interactive.
set -euo pipefail

packages=(
    cmake g++ ninja-build pkg-config ccache
    juce-modules-source
    libasound2-dev libjack-jackd2-dev jackd2
    libvorbis-dev libogg-dev libflac-dev
    libpng-dev libjpeg-dev zlib1g-dev libfreetype-dev libfontconfig1-dev
    libx11-dev libxrandr-dev libxinerama-dev libxcursor-dev libxext-dev
    libgtest-dev libgmock-dev libbenchmark-dev
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done

if [ ${#missing[@]} -eq 0 ]; then
    exit 0
fi

echo "Installing: ${missing[*]}"
SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -q
$SUDO -E apt-get install -y -q --no-install-recommends "${missing[@]}"
