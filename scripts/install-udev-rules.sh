#!/usr/bin/env bash
# Installs the udev rules for the fleet handsets: scripts/install-udev-rules.sh VENDOR_ID
# (four hex digits, as lsusb shows them, e.g. 1234).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
vendor=${1:-}
if ! [[ "$vendor" =~ ^[0-9a-fA-F]{4}$ ]]; then
    echo "usage: $0 VENDOR_ID   (four hex digits)" >&2
    exit 2
fi
sudo=()
if [ "$(id -u)" -ne 0 ]; then
    sudo=(sudo)
fi
sed -e "s/@VENDOR@/${vendor,,}/g" -e '/@FLEET_UDEV_NOTE@/d' "$root/deploy/udev/70-fleet-handsets.rules.in" |
    "${sudo[@]}" tee /etc/udev/rules.d/70-fleet-handsets.rules >/dev/null
"${sudo[@]}" udevadm control --reload-rules
"${sudo[@]}" udevadm trigger --subsystem-match=tty
echo "installed /etc/udev/rules.d/70-fleet-handsets.rules for vendor ${vendor,,}"
