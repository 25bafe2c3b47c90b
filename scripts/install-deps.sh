#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages that building, running and testing need, and the browser page's npm
# packages. Idempotent and non-interactive: packages already present are left alone, and
# nothing is asked for. Works as root or through sudo.
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(
    build-essential cmake ninja-build pkg-config clang clang-format libclang-rt-dev
    qt6-base-dev qt6-tools-dev qt6-l10n-tools libqt6svg6 qt6-svg-dev adwaita-icon-theme
    rapidjson-dev libssl-dev libsodium-dev libavahi-client-dev avahi-daemon avahi-utils dbus dbus-x11
    libx11-dev libxtst-dev libxrandr-dev xvfb xdotool x11-utils x11-xserver-utils
    libwayland-dev libwayland-bin wayland-protocols plasma-wayland-protocols libxkbcommon-dev
    sway kwin-wayland xwayland qt6-wayland mutter pipewire python3-dbus python3-gi
    libgtest-dev libgmock-dev googletest libbenchmark-dev
    iproute2 util-linux procps python3 trayer haskell-gtk-sni-tray-utils
    qt6-websockets-dev libqrencode-dev zbar-tools chromium chromium-driver python3-selenium nodejs tcpdump
    file dpkg-dev lintian man-db
)

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed'; then
        missing+=("$p")
    fi
done

# NodeSource's nodejs brings npm (and conflicts with Debian's npm package); Debian's own nodejs does not.
if ! command -v npm >/dev/null; then
    missing+=(npm)
fi

if [ "${#missing[@]}" -gt 0 ]; then
    echo "Installing missing packages: ${missing[*]}"
    sudo_cmd=()
    if [ "$(id -u)" -ne 0 ]; then
        sudo_cmd=(sudo)
    fi
    export DEBIAN_FRONTEND=noninteractive
    "${sudo_cmd[@]}" apt-get update -qq
    "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# The browser page's cryptography libraries and the bundler that packs them, exactly as package-lock.json
# pins them (each checked against its hash), as the user who builds. Installed again only when the lock
# file changes; no package's install script runs.
web=resources/web
if ! cmp -s "$web/package-lock.json" "$web/node_modules/.installed-lock.json"; then
    echo "Installing the page's npm packages"
    (cd "$web" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
    cp "$web/package-lock.json" "$web/node_modules/.installed-lock.json"
fi
