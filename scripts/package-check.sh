#!/usr/bin/env bash
# CI's packaging step: builds the Debian package from the build tree that
# scripts/test.sh built (no other tree is configured), checks it with
# lintian, installs it with apt, and checks the installed suite using only
# what the package installed: every program's --version, every manual page,
# the menu entries, the shell completion, the demo's NOR download and an
# eight-handset batch; then removes the package and checks that nothing it
# installed is left.  scripts/package-check.sh [BUILD_DIR]
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
dir=$(cd "${1:-$root/build}" && pwd)
package=oriel-suite
programs=(oriel_downloader fleet_downloader oriel_cli fleet_cli fleet_pack fleet_mkimg
    oriel_handset_sim fleet_handset_sim)

sudo_cmd=()
if [ "$(id -u)" -ne 0 ]; then
    sudo_cmd=(sudo)
fi
work=$(mktemp -d)
installed=""
cleanup() {
    # A check that failed half-way leaves no package of its own behind.
    if [ -n "$installed" ]; then
        "${sudo_cmd[@]}" apt-get remove --purge -y -qq "$package" >/dev/null 2>&1 || true
    fi
    rm -rf "$work"
}
trap cleanup EXIT
fail() {
    echo "package-check: $*" >&2
    exit 1
}
step() {
    echo "== $* ($(date +%T))"
}

step "package"
deb=$("$root/scripts/package.sh" "$dir" | tail -n 1)
[ -f "$deb" ] || fail "no package was built"
echo "$deb"
version=$(dpkg-deb -f "$deb" Version)
echo "Version: $version"
dpkg-deb -f "$deb" Depends
# Nothing inside may point back at the build: no path of the source or build tree.
dpkg-deb -x "$deb" "$work/unpacked"
if grep -rl -e "$root" -e "$dir" "$work/unpacked" >"$work/paths"; then
    cat "$work/paths" >&2
    fail "the package holds paths of the build"
fi

step "lintian"
# Errors fail the step; every warning left must be the README's, with its reason.
lintian --fail-on error --tag-display-limit 0 "$deb" | tee "$work/lintian.txt"
while IFS= read -r line; do
    tag=$(awk '{print $3}' <<<"$line")
    grep -q -- "\`$tag\`" "$root/README.md" || fail "lintian warning $tag is not in the README"
done < <(grep '^W: ' "$work/lintian.txt" || true)

step "install"
installed=1
"${sudo_cmd[@]}" apt-get install -y -qq "$deb" >/dev/null
dpkg-query -L "$package" >"$work/installed"
# Each program the package installed, found on PATH in /usr/bin, never the build tree.
export PATH=/usr/bin:/bin
for p in "${programs[@]}"; do
    [ "$(command -v "$p")" = "/usr/bin/$p" ] || fail "$p is not /usr/bin/$p"
    first=$("$p" --version | head -n 1)
    [ "$first" = "$p (ORIEL suite) ${version%-*}" ] || fail "$p --version says '$first'"
    echo "$first"
    man -w "$p" >/dev/null || fail "no manual page for $p"
    # The page is readable and has the hand-written sections.
    man -P cat "$p" 2>/dev/null | grep -q "SEE ALSO" || fail "the manual page of $p is incomplete"
done
man -w oriel_cli
for entry in oriel_downloader fleet_downloader; do
    desktop-file-validate "/usr/share/applications/$entry.desktop" || fail "$entry.desktop"
    [ -f "/usr/share/icons/hicolor/scalable/apps/$entry.svg" ] || fail "no icon for $entry"
done
echo "menu entries valid"
# Completion from the installed script, with the installed programs' --help.
completion=$(bash -c '
    source /usr/share/bash-completion/completions/fleet_cli
    COMP_WORDS=(oriel_cli erase 2,13); COMP_CWORD=2; _oriel_suite; echo "${COMPREPLY[*]}"
    COMP_WORDS=(fleet_cli --sl); COMP_CWORD=1; _oriel_suite; echo "${COMPREPLY[*]}"')
[ "$completion" = $'2,13 2,130 2,131 2,132 2,133\n--slots' ] || fail "completion gave: $completion"
echo "completion works"
[ -f /usr/lib/udev/rules.d/70-fleet-handsets.rules ] || fail "no udev rules"

step "demo with the installed programs"
# A fresh HOME: no settings of an earlier run.
(cd "$work" && env -i PATH=/usr/bin:/bin HOME="$work" "$root/scripts/demo.sh" --installed)

step "remove"
"${sudo_cmd[@]}" apt-get remove --purge -y -qq "$package" >/dev/null
installed=""
left=0
while IFS= read -r f; do
    if [ -e "$f" ] || [ -L "$f" ]; then
        if [ ! -d "$f" ] || [ "$f" = "/usr/share/doc/$package" ]; then
            echo "left behind: $f" >&2
            left=1
        fi
    fi
done <"$work/installed"
[ "$left" -eq 0 ] || fail "the package left files behind"
! dpkg-query -W "$package" >/dev/null 2>&1 || fail "the package is still known to dpkg"
step "package check passed"
