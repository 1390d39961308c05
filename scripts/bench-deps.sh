#!/usr/bin/env bash
# Installs the Debian packages that only the peer benchmark needs: fprintd (with
# libfprint's virtual device) and python3-dbusmock (polkit and logind stand-ins).
# Idempotent; the tests never need these.
set -euo pipefail

packages=(fprintd python3-dbusmock)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done
((${#missing[@]})) || exit 0

if [ "$(id -u)" -ne 0 ]; then
  echo "missing packages: ${missing[*]} (run as root to install them)" >&2
  exit 1
fi
echo "installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
if ! apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null; then
  apt-get update -q >/dev/null
  apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi
