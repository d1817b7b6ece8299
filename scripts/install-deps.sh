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
    libavformat-dev libavcodec-dev libswresample-dev libavutil-dev
    ffmpeg sox
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
export DEBIAN_FRONTEND=noninteractive
if [ "$(id -u)" -eq 0 ]; then
    apt_get=(apt-get)
elif command -v sudo >/dev/null 2>&1; then
    # sudo resets the environment: env passes the setting through as part of the command.
    apt_get=(sudo env DEBIAN_FRONTEND=noninteractive apt-get)
else
    echo "Missing packages: ${missing[*]}" >&2
    echo "Run this script as root, or install sudo, or install those packages yourself." >&2
    exit 1
fi
"${apt_get[@]}" update -q
"${apt_get[@]}" install -y -q --no-install-recommends "${missing[@]}"
