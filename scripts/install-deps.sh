#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages that building, running and testing need.
# Idempotent and non-interactive: packages already present are left alone, and
# nothing is asked for. Works as root or through sudo.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-dev
    qt6-base-dev qt6-tools-dev qt6-l10n-tools libqt6svg6 qt6-svg-dev adwaita-icon-theme
    rapidjson-dev libssl-dev libsodium-dev libavahi-client-dev avahi-daemon avahi-utils dbus dbus-x11
    libx11-dev libxtst-dev libxrandr-dev xvfb xdotool x11-utils x11-xserver-utils
    libwayland-dev libwayland-bin wayland-protocols plasma-wayland-protocols libxkbcommon-dev
    sway kwin-wayland xwayland qt6-wayland mutter pipewire python3-dbus python3-gi
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    iproute2 util-linux procps python3 trayer haskell-gtk-sni-tray-utils
    qt6-websockets-dev libqrencode-dev zbar-tools chromium chromium-driver python3-selenium nodejs
    file dpkg-dev lintian man-db
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

if [ "${#missing[@]}" -eq 0 ]; then
    exit 0
fi

echo "Installing missing packages: ${missing[*]}"
sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
export DEBIAN_FRONTEND=noninteractive
"${sudo_cmd[@]}" apt-get update -qq
"${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
