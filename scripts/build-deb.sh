#!/usr/bin/env bash
# Builds the Debian packages tirvane-serverd and libpam-tirvane from this tree
# and checks them with lintian.
#   scripts/build-deb.sh [OUTPUT_DIR]      (default: build-deb/)
# Runs as root on Debian 12: installs the build dependencies named in
# debian/control, dpkg-dev and lintian first. The tree is copied (tracked and
# untracked files, not what .gitignore names) into a temporary directory, so
# dpkg-buildpackage writes its results beside the copy, never beside the
# working tree. OUTPUT_DIR gets the .deb, .changes and .buildinfo files and
# lintian.txt; lintian's errors and warnings that have no override fail the run.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
out="$(realpath -m "${1:-$here/build-deb}")"
started=$(date +%s)

export DEBIAN_FRONTEND=noninteractive
# Waits for another apt or dpkg on the machine instead of failing at once.
apt_host() { apt-get -o DPkg::Lock::Timeout=300 "$@"; }
apt_install() { apt_host install -y -q --no-install-recommends "$@" >/dev/null; }
need=()
for p in dpkg-dev debhelper lintian fakeroot build-essential; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
if [ "$(id -u)" -ne 0 ]; then
  if ((${#need[@]})); then
    echo "build-deb: missing ${need[*]} (run as root to install them)" >&2
    exit 1
  fi
else
  updated=0
  if ((${#need[@]})); then
    apt_host update -q >/dev/null
    updated=1
    apt_install "${need[@]}"
  fi
  # apt reads the build dependencies from the tree's debian/control.
  if ! (cd "$here" && dpkg-checkbuilddeps 2>/dev/null) &&
    ! (cd "$here" && apt_host build-dep -y -q ./ >/dev/null 2>&1); then
    [ "$updated" = 1 ] || apt_host update -q >/dev/null
    (cd "$here" && apt_host build-dep -y -q ./ >/dev/null)
  fi
fi

version="$(dpkg-parsechangelog -l "$here/debian/changelog" -S Version)"
arch="$(dpkg-architecture -q DEB_HOST_ARCH)"
work="$(mktemp -d /tmp/tirvane-deb-XXXXXX)"
trap 'rm -rf "$work"' EXIT
src="$work/tirvane-serverd-$version"
mkdir -p "$src"
if git -C "$here" rev-parse --is-inside-work-tree >/dev/null 2>&1; then
  (cd "$here" && git ls-files -z --cached --others --exclude-standard |
    while IFS= read -r -d '' f; do [ -e "$f" ] && printf '%s\0' "$f"; done |
    tar --null -T - -cf -) | tar -C "$src" -xf -
else
  tar -C "$here" --exclude='./build*' --exclude=./.git -cf - . | tar -C "$src" -xf -
fi

echo "== building tirvane-serverd $version ($arch) in $src"
(cd "$src" && DEB_BUILD_OPTIONS="parallel=2 ${DEB_BUILD_OPTIONS:-}" \
  nice dpkg-buildpackage -us -uc -b) >"$work/build.log" 2>&1 || {
  tail -n 25 "$work/build.log" | cut -c1-300 >&2
  echo "build-deb: dpkg-buildpackage failed" >&2
  exit 1
}

mkdir -p "$out"
rm -f "$out"/*.deb "$out"/*.changes "$out"/*.buildinfo "$out"/lintian.txt
cp "$work"/*.deb "$work"/*.changes "$work"/*.buildinfo "$out"/
cp "$work/build.log" "$out/build.log"
changes="$out/tirvane-serverd_${version}_${arch}.changes"

echo "== lintian"
status=0
lintian --fail-on error,warning --display-level '>=warning' --show-overrides \
  "$changes" >"$out/lintian.txt" 2>&1 || status=$?
cat "$out/lintian.txt"
if [ "$status" -ne 0 ]; then
  echo "build-deb: lintian reports errors or warnings without an override (exit $status)" >&2
  exit 1
fi

echo "== packages in $out ($(($(date +%s) - started)) s)"
ls -1 "$out"/*.deb
