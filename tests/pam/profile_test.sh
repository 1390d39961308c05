#!/usr/bin/env bash
# The pam-auth-update profile as Debian's pam-auth-update reads it: off by
# default, and once enabled pam_tirvane comes before pam_unix and jumps past it
# on a match only. Runs in a private mount namespace over copies of /etc/pam.d,
# /usr/share/pam-configs and /var/lib/pam, so the system's files stay as they are.
# Exit 77 (skipped) without root, mount namespaces or pam-auth-update.
# Usage: profile_test.sh PROFILE
set -euo pipefail

profile=$1
if [ "${2:-}" != --inside ]; then
  command -v pam-auth-update >/dev/null || { echo "SKIP: pam-auth-update is not installed"; exit 77; }
  [ "$(id -u)" -eq 0 ] || { echo "SKIP: needs root for a mount namespace"; exit 77; }
  unshare -m --propagation private true 2>/dev/null || { echo "SKIP: no mount namespaces here"; exit 77; }
  exec unshare -m --propagation private bash "$0" "$profile" --inside
fi

copies=$(mktemp -d /tmp/tirvane-pam-profile-XXXXXX)
trap 'rm -rf "$copies"' EXIT
for dir in /etc/pam.d /usr/share/pam-configs /var/lib/pam; do
  [ -d "$dir" ] || mkdir -p "$dir"
  copy="$copies/$(echo "$dir" | tr / _)"
  cp -a "$dir" "$copy"
  mount -t tmpfs tmpfs "$dir"
  # Nothing below may run unless the system's directory is covered.
  mountpoint -q "$dir" || { echo "FAIL: could not cover $dir" >&2; exit 1; }
  cp -a "$copy/." "$dir/"
done
cp "$profile" /usr/share/pam-configs/tirvane

failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}
auth_lines() { grep -E '^auth' /etc/pam.d/common-auth || true; }

DEBIAN_FRONTEND=noninteractive pam-auth-update --package >/dev/null
auth_lines | grep -q pam_tirvane && fail "the profile is on by default: $(auth_lines)"

DEBIAN_FRONTEND=noninteractive pam-auth-update --enable tirvane >/dev/null
lines=$(auth_lines)
echo "$lines"
first=$(echo "$lines" | head -n1)
case $first in
*pam_tirvane.so*) ;;
*) fail "pam_tirvane is not the first auth module: $first" ;;
esac
echo "$first" | grep -qE '\[success=[0-9]+ default=ignore\]' ||
  fail "anything but a match must fall through to the password: $first"
echo "$lines" | sed -n 2p | grep -q pam_unix.so || fail "pam_unix does not follow pam_tirvane"
echo "$first" | grep -q 'max-tries=3 timeout=30' || fail "the profile's options are not the defaults: $first"

DEBIAN_FRONTEND=noninteractive pam-auth-update --disable tirvane >/dev/null
auth_lines | grep -q pam_tirvane && fail "disabling leaves pam_tirvane in place"

[ "$failures" -eq 0 ] || exit 1
echo "profile: off by default, before pam_unix when enabled, removed when disabled"
