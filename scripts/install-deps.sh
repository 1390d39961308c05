#!/usr/bin/env bash
# Installs the Debian packages needed to build, test and demo tirvane-serverd.
# Idempotent: packages already present are not touched.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  libglib2.0-dev libglib2.0-dev-bin libglib2.0-bin libusb-1.0-0-dev python3
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  dbus-daemon dbus-bin
  clang llvm libclang-rt-14-dev clang-format clang-tidy groff-base util-linux
  systemd
  libpam0g-dev libpam-runtime libsystemd-dev libpam-wrapper libnss-wrapper python3-pypamtest pamtester python3-dbusmock
  polkitd libxml2-utils
  # The desktop's own clients, interface files and pam_fprintd.so, run against
  # our service by the tests; fprintd's daemon itself is never started.
  fprintd libpam-fprintd
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]})); then
  if [ "$(id -u)" -ne 0 ]; then
    echo "missing packages: ${missing[*]} (run as root to install them)" >&2
    exit 1
  fi
  echo "installing: ${missing[*]}"
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -q >/dev/null
  apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
fi
