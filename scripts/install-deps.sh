#!/usr/bin/env bash
# Installs the Debian packages the suite builds and tests with. Safe to re-run:
# it only calls apt-get when something is missing.
#   scripts/install-deps.sh              build and test
#   scripts/install-deps.sh --packaging  also what builds and checks the Debian package
#   scripts/install-deps.sh --fuzz       also what builds the fuzz targets
#   scripts/install-deps.sh --postgres   also the PostgreSQL server (scripts/history-pg-check.sh)
set -euo pipefail

# help2man writes the manual pages from the programs' --help at build time.
packages=(build-essential cmake ninja-build pkg-config qt6-base-dev libgl-dev libgtest-dev
    help2man gzip)
# The flash history: Qt's SQLite and PostgreSQL drivers, zlib for the CRC-32 of images.
packages+=(libqt6sql6-sqlite libqt6sql6-psql zlib1g-dev)
for arg in "$@"; do
    case "$arg" in
    --packaging)
        # cpack's DEB generator needs dpkg-shlibdeps (dpkg-dev) and file; the
        # check needs lintian, desktop-file-validate and man.
        packages+=(dpkg-dev file lintian desktop-file-utils man-db)
        ;;
    --fuzz)
        # clang and its libFuzzer runtime (scripts/fuzz.sh).
        packages+=(clang libclang-rt-14-dev)
        ;;
    --postgres)
        # The flash history's CI step runs a PostgreSQL server of its own.
        packages+=(postgresql)
        ;;
    *)
        echo "install-deps.sh: unknown option $arg (--packaging, --fuzz, --postgres)" >&2
        exit 2
        ;;
    esac
done

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[ ${#missing[@]} -eq 0 ] && exit 0

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
echo "installing: ${missing[*]}"
"${sudo_cmd[@]}" apt-get update -qq
DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq --no-install-recommends "${missing[@]}"
