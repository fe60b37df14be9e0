#!/usr/bin/env bash
# Builds the Debian package from a build tree (default build/, configured and
# built first if it is not): scripts/package.sh [--vendor-id HEX] [BUILD_DIR]
# --vendor-id builds the fleet handsets' USB vendor id into the udev rules;
# without it the rules match no device until it is set (the rules file says
# how). Prints the package's path last.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$root/build
extra=()
while [ $# -gt 0 ]; do
    case $1 in
        --vendor-id)
            if ! [[ ${2:-} =~ ^[0-9a-fA-F]{4}$ ]]; then
                echo "usage: $0 [--vendor-id HEX] [BUILD_DIR]   (HEX: four hex digits)" >&2
                exit 2
            fi
            extra+=("-DFLEET_HANDSET_VENDOR_ID=$2")
            shift 2
            ;;
        -*)
            echo "usage: $0 [--vendor-id HEX] [BUILD_DIR]" >&2
            exit 2
            ;;
        *)
            dir=$(cd "$1" 2>/dev/null && pwd || echo "$1")
            shift
            ;;
    esac
done
"$root/scripts/install-deps.sh" --packaging
# Configures the tree if it is new, else only builds what changed.
"$root/scripts/build.sh" "$dir" "${extra[@]}"
rm -f "$dir"/package/*.deb
(cd "$dir" && cpack -G DEB --config CPackConfig.cmake >/dev/null)
deb=$(ls "$dir"/package/*.deb)
echo "$deb"
