#!/usr/bin/env bash
# Release check of the Debian packages on a fresh Debian 12 system.
#   scripts/check-deb.sh [DEB_DIR]          (default: build-deb/, as scripts/build-deb.sh leaves it)
# Runs as root. Makes a minimal bookworm root with debootstrap from the mirror
# this machine's apt uses, and in it:
#   1. installs tirvane-serverd and libpam-tirvane with apt (dependencies from
#      the archive), checks that their files are where the packages say and
#      that no file is also one of Debian's fprintd or libpam-fprintd;
#   2. checks the unit is enabled, the PAM profile registered and that
#      pam-auth-update enables it;
#   3. starts the installed daemon (outside systemd, on a private bus, with the
#      installed bus policy, against the emulated module from this tree's test
#      support) and asks it getDeviceCount;
#   4. upgrades both packages to a higher version (the same packages with the
#      version raised) and checks the local configuration survived;
#   5. removes them (the conffile stays), purges them and checks that nothing
#      of theirs is left and the PAM stacks are as before;
#   6. installs and purges them once more and compares the whole file system;
#   7. installs them beside Debian's fprintd and libpam-fprintd and purges them
#      again, leaving fprintd's files as they were.
# From step 4 on a stand-in systemctl records what the maintainer scripts ask
# of systemd: a restart on upgrade, a start on installation, a stop on removal.
# The bootstrapped root is cached as a tarball (TIRVANE_CHECK_CACHE, default
# /var/cache/tirvane-check-deb) and made anew once it is a week old.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
debs="$(realpath -m "${1:-$here/build-deb}")"
cache="${TIRVANE_CHECK_CACHE:-/var/cache/tirvane-check-deb}"
# The demo's build directory: the same configuration, so after the demo (as in
# CI) nothing is built again.
emu_build="${TIRVANE_CHECK_BUILD_DIR:-$here/build-demo}"
suite=bookworm
started=$(date +%s)
step_started=$started

say() { printf '\n== %s\n' "$*"; }
fail() {
  echo "check-deb: $*" >&2
  exit 1
}
lap() {
  local now
  now=$(date +%s)
  echo "   ($((now - step_started)) s)"
  step_started=$now
}

[ "$(id -u)" -eq 0 ] || fail "must run as root (debootstrap, chroot)"
serverd_deb="$(ls "$debs"/tirvane-serverd_*.deb 2>/dev/null | head -n1)"
pam_deb="$(ls "$debs"/libpam-tirvane_*.deb 2>/dev/null | head -n1)"
[ -f "$serverd_deb" ] && [ -f "$pam_deb" ] || fail "no packages in $debs (run scripts/build-deb.sh first)"
version="$(dpkg-deb -f "$serverd_deb" Version)"
arch="$(dpkg-deb -f "$serverd_deb" Architecture)"
multiarch="$(dpkg-architecture -a "$arch" -q DEB_HOST_MULTIARCH)"

# ---- Tools on this machine ------------------------------------------------------
export DEBIAN_FRONTEND=noninteractive
need=()
for p in debootstrap googletest libgtest-dev libgmock-dev libbenchmark-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || need+=("$p")
done
apt_host() { apt-get -o DPkg::Lock::Timeout=300 "$@"; }
if ((${#need[@]})); then
  apt_host update -q >/dev/null
  apt_host install -y -q --no-install-recommends "${need[@]}" >/dev/null
fi
(cd "$here" && dpkg-checkbuilddeps 2>/dev/null) || (cd "$here" && apt_host build-dep -y -q ./ >/dev/null)

# ---- The emulated module, from the tree's test support --------------------------
say "building the emulated module and the libusb stand-in ($emu_build)"
cmake -S "$here" -B "$emu_build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIRVANE_TEST_AREAS=none >/dev/null
nice cmake --build "$emu_build" -j2 --target tirvane-usb-standin tirvane-emu >/dev/null
standin="$(find "$emu_build" -name libtirvane-usb-standin.so -type f | head -n1)"
emu_tool="$(find "$emu_build" -name tirvane-emu -type f -perm -u+x | head -n1)"
[ -f "$standin" ] && [ -x "$emu_tool" ] || fail "the emulator did not build"
lap

# ---- The archive this machine uses ----------------------------------------------
# "URI SUITE" for every Debian bookworm entry of apt's sources (one-line and
# deb822 forms); the entry for the suite itself is the mirror for debootstrap.
apt_entries() {
  local f
  for f in /etc/apt/sources.list /etc/apt/sources.list.d/*.list; do
    [ -f "$f" ] || continue
    awk '$1 == "deb" { i = 2; if ($2 ~ /^\[/) { while ($i !~ /\]$/) i++; i++ } print $i, $(i + 1) }' "$f"
  done
  for f in /etc/apt/sources.list.d/*.sources; do
    [ -f "$f" ] || continue
    awk 'function flush() { if (types ~ /(^| )deb( |$)/ && enabled != "no") { n = split(uris, u, " "); m = split(suites, s, " ");
                                  for (i = 1; i <= n; i++) for (j = 1; j <= m; j++) print u[i], s[j] } types = uris = suites = enabled = "" }
         /^[ \t]*$/ { flush(); next }
         tolower($1) == "types:" { $1 = ""; types = $0 }
         tolower($1) == "uris:" { $1 = ""; uris = $0 }
         tolower($1) == "suites:" { $1 = ""; suites = $0 }
         tolower($1) == "enabled:" { enabled = tolower($2) }
         END { flush() }' "$f"
  done
}
entries="$(apt_entries | sed 's/^ *//' | awk -v s="$suite" '$2 == s || index($2, s "-") == 1' | sort -u)"
mirror="$(awk -v s="$suite" '$2 == s { print $1; exit }' <<<"$entries")"
[ -n "$mirror" ] || fail "no $suite entry in apt's sources"
echo "archive: $mirror"

# ---- A fresh minimal system -------------------------------------------------------
work="$(mktemp -d /tmp/tirvane-check-deb-XXXXXX)"
root="$work/root"
pids=()
cleanup() {
  local p
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  local m
  for m in "$root/dev/pts" "$root/proc"; do
    if mountpoint -q "$m" 2>/dev/null; then umount "$m" || umount -l "$m" || true; fi
  done
  if findmnt -rn -o TARGET | grep -q "^$root"; then
    echo "check-deb: $root still has mounts; left in place" >&2
  else
    rm -rf --one-file-system "$work"
  fi
}
trap cleanup EXIT

tarball="$cache/$suite-minbase-$arch.tar.gz"
say "a fresh $suite root in $root"
if [ -f "$tarball" ] && [ -n "$(find "$tarball" -mtime -7)" ]; then
  mkdir -p "$root"
  tar -C "$root" -xzf "$tarball"
  echo "from the cached bootstrap $tarball"
else
  debootstrap --variant=minbase --arch="$arch" "$suite" "$root" "$mirror" >"$work/debootstrap.log" 2>&1 ||
    { tail -n 20 "$work/debootstrap.log" >&2; fail "debootstrap failed"; }
  mkdir -p "$cache"
  tar -C "$root" -czf "$tarball.new" . && mv "$tarball.new" "$tarball"
  echo "bootstrapped; cached as $tarball"
fi
awk '{ print "deb", $1, $2, "main" }' <<<"$entries" >"$root/etc/apt/sources.list"
cp /etc/resolv.conf "$root/etc/resolv.conf" 2>/dev/null || true
# Nothing is started inside the chroot by invoke-rc.d.
printf '#!/bin/sh\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
chmod 755 "$root/usr/sbin/policy-rc.d"
mount -t proc proc "$root/proc"
mount -t devpts -o newinstance,ptmxmode=0666,mode=620 devpts "$root/dev/pts"
in_root() { chroot "$root" /usr/bin/env -i PATH=/usr/sbin:/usr/bin:/sbin:/bin DEBIAN_FRONTEND=noninteractive LC_ALL=C "$@"; }
in_root apt-get update -q >/dev/null
lap

# Everything in the root but what the package tools and the check itself touch.
snapshot() {
  in_root find / -xdev \( -path /tmp -o -path /var/tmp -o -path /var/cache -o -path /var/log -o -path /var/lib/apt \
    -o -path /var/lib/dpkg -o -path /var/lib/pam -o -path /var/lib/systemd/deb-systemd-helper-masked \) -prune \
    -o -printf '%y %p\n' | sort
  in_root sh -c 'md5sum /etc/pam.d/common-* /var/lib/pam/* 2>/dev/null' | sort -k2
}
# Files (not directories) of an installed package.
pkg_files() { in_root dpkg -L "$1" | while IFS= read -r f; do [ -d "$root$f" ] || echo "$f"; done | sort; }

# ---- 1. Installation --------------------------------------------------------------
mkdir -p "$root/tmp/debs"
cp "$serverd_deb" "$pam_deb" "$root/tmp/debs/"
s_deb="/tmp/debs/$(basename "$serverd_deb")"
p_deb="/tmp/debs/$(basename "$pam_deb")"

say "installing $(basename "$serverd_deb") and $(basename "$pam_deb") with apt"
in_root apt-get install -y -q --no-install-recommends "$s_deb" "$p_deb" >"$work/install.log" 2>&1 ||
  { tail -n 30 "$work/install.log" >&2; fail "apt-get install failed"; }
lap

say "files land where the packages say"
expected_serverd="$(
  cat <<EOF
/etc/tirvane-serverd/fp_driver.conf
/lib/systemd/system/tirvane-serverd.service
/usr/bin/tirvanectl
/usr/libexec/tirvane-serverd
/usr/share/dbus-1/interfaces/nuvex.kal.Tirvane.xml
/usr/share/dbus-1/system-services/nuvex.kal.Tirvane.service
/usr/share/doc/tirvane-serverd/README.Debian.gz
/usr/share/doc/tirvane-serverd/changelog.gz
/usr/share/doc/tirvane-serverd/copyright
/usr/share/man/man1/tirvanectl.1.gz
/usr/share/man/man8/tirvane-serverd.8.gz
/usr/share/polkit-1/actions/nuvex.kal.tirvane.policy
EOF
  # Every bus policy of the tree, under the name the package gives it.
  for f in "$here"/data/*.conf; do
    grep -q "<busconfig" "$f" || continue
    n="$(basename "$f")"
    case "$n" in nuvex.kal.*) ;; *) n="tirvane-serverd-$n" ;; esac
    echo "/usr/share/dbus-1/system.d/$n"
  done
)"
expected_pam="$(
  cat <<EOF
/lib/$multiarch/security/pam_tirvane.so
/usr/share/doc/libpam-tirvane/changelog.gz
/usr/share/doc/libpam-tirvane/copyright
/usr/share/man/man8/pam_tirvane.8.gz
/usr/share/pam-configs/tirvane
EOF
)"
for pkg in tirvane-serverd libpam-tirvane; do
  if [ "$pkg" = tirvane-serverd ]; then want="$expected_serverd"; else want="$expected_pam"; fi
  got="$(pkg_files "$pkg")"
  if [ "$got" != "$(sort <<<"$want")" ]; then
    diff <(sort <<<"$want") <(echo "$got") >&2 || true
    fail "$pkg: dpkg -L differs from the expected files (< expected, > installed)"
  fi
  while IFS= read -r f; do [ -f "$root$f" ] || fail "$pkg: $f is listed but not on disk"; done <<<"$got"
  echo "$pkg: $(wc -l <<<"$got") files as expected"
done
[ -x "$root/usr/libexec/tirvane-serverd" ] || fail "the daemon is not executable"
grep -qx /etc/tirvane-serverd/fp_driver.conf "$root/var/lib/dpkg/info/tirvane-serverd.conffiles" ||
  fail "fp_driver.conf is not a conffile"
if in_root ldd "/lib/$multiarch/security/pam_tirvane.so" /usr/libexec/tirvane-serverd /usr/bin/tirvanectl | grep "not found"; then
  fail "a library of the installed programs is missing"
fi
grep -q "^ExecStart=/usr/libexec/tirvane-serverd$" "$root/lib/systemd/system/tirvane-serverd.service" ||
  fail "the unit does not start the installed daemon"
grep -q "^Environment=TIRVANE_CONF_DIR=/etc/tirvane-serverd/$" "$root/lib/systemd/system/tirvane-serverd.service" ||
  fail "the unit does not name the configuration directory"

# No file of ours is one of fprintd's: both can be installed together.
in_root sh -c 'cd /tmp && apt-get download -q fprintd libpam-fprintd' >/dev/null 2>&1 ||
  fail "cannot download fprintd's packages to compare"
theirs="$(for d in "$root"/tmp/fprintd_*.deb "$root"/tmp/libpam-fprintd_*.deb; do
  dpkg-deb -c "$d" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }'
done | sed 's|^/lib/|/usr/lib/|' | sort -u)"
ours="$( (pkg_files tirvane-serverd; pkg_files libpam-tirvane) | sed 's|^/lib/|/usr/lib/|' | sort -u)"
shared="$(comm -12 <(echo "$theirs") <(echo "$ours"))"
[ -z "$shared" ] || fail "files also in Debian's fprintd packages: $shared"
echo "no file shared with fprintd $(dpkg-deb -f "$root"/tmp/fprintd_*.deb Version) or libpam-fprintd"
rm -f "$root"/tmp/fprintd_*.deb "$root"/tmp/libpam-fprintd_*.deb
lap

# ---- 2. Integration ---------------------------------------------------------------
say "the unit is enabled, the PAM profile is offered and can be enabled"
[ -L "$root/etc/systemd/system/multi-user.target.wants/tirvane-serverd.service" ] ||
  fail "tirvane-serverd.service is not enabled"
grep -qx tirvane "$root/var/lib/pam/seen" || fail "pam-auth-update did not register the profile"
grep -q "^Default: no" "$root/usr/share/pam-configs/tirvane" || fail "the profile is not off by default"
if grep -q pam_tirvane "$root"/etc/pam.d/common-*; then fail "the profile enabled itself"; fi
pam_before="$(cat "$root"/etc/pam.d/common-auth)"
in_root pam-auth-update --enable tirvane
grep -q "pam_tirvane.so" "$root/etc/pam.d/common-auth" || fail "pam-auth-update --enable tirvane changed nothing"
echo "unit enabled; profile registered, off, and enabled on request:"
grep pam_tirvane "$root/etc/pam.d/common-auth"
lap

# ---- 3. The installed daemon answers --------------------------------------------
say "the installed daemon answers on a private bus against the emulated module"
t=/tmp/tirvane-check
mkdir -p "$root$t/conf" "$root$t/sys/bus/usb/devices/1-1.2/power"
cp "$standin" "$emu_tool" "$root$t/"
cp "$root/etc/tirvane-serverd/fp_driver.conf" "$root$t/conf/"
sed -i 's/^PrintfLogFlag=.*/PrintfLogFlag=2/' "$root$t/conf/fp_driver.conf"
# The system bus's rules with every policy file the package installed.
"$here/scripts/system-bus-conf.sh" "$t/bus" /usr/share/dbus-1/system.d/nuvex.kal.Tirvane.conf >"$root$t/bus.conf"
for f in "$root"/usr/share/dbus-1/system.d/tirvane-serverd-*.conf; do
  [ -f "$f" ] || continue
  sed -i "s|^</busconfig>|  <include>${f#"$root"}</include>\n</busconfig>|" "$root$t/bus.conf"
done
chroot "$root" dbus-daemon --nofork --nosyslog --config-file="$t/bus.conf" 2>"$work/bus.err" &
pids+=($!)
for _ in $(seq 100); do [ -S "$root$t/bus" ] && break; sleep 0.05; done
[ -S "$root$t/bus" ] || fail "the private bus did not start"
chroot "$root" /usr/bin/env -i PATH=/usr/bin:/bin DBUS_SYSTEM_BUS_ADDRESS="unix:path=$t/bus" \
  TIRVANE_CONF_DIR="$t/conf" TIRVANE_SYSFS_ROOT="$t/sys" TIRVANE_EMU_SOCKET="$t/emu.sock" \
  TIRVANE_EMU_STATE="$t/emu.state" LD_PRELOAD="$t/libtirvane-usb-standin.so" \
  /usr/libexec/tirvane-serverd >"$work/daemon.out" 2>&1 &
daemon=$!
pids+=("$daemon")
on_bus() { in_root /usr/bin/env DBUS_SYSTEM_BUS_ADDRESS="unix:path=$t/bus" "$@"; }
count=""
for _ in $(seq 100); do
  kill -0 "$daemon" 2>/dev/null || { cat "$work/daemon.out" >&2; fail "the daemon exited"; }
  count="$(on_bus dbus-send --system --print-reply=literal --reply-timeout=2000 --dest=nuvex.kal.Tirvane \
    /nuvex/kal/Tirvane nuvex.kal.Tirvane.getDeviceCount 2>/dev/null | awk '{ print $2 }')" || true
  [ -n "$count" ] && break
  sleep 0.1
done
[ "$count" = 1 ] || { cat "$work/daemon.out" >&2; fail "getDeviceCount answered '$count', expected 1"; }
echo "getDeviceCount = $count (daemon /usr/libexec/tirvane-serverd, pid $daemon)"
on_bus tirvanectl info
for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
pids=()
rm -rf "${root:?}$t"
lap

# From here on the maintainer scripts see a running systemd: /run/systemd/system
# exists and systemctl is a stand-in that records its calls; policy-rc.d lets
# deb-systemd-invoke act on our unit only. All dependencies are in by now, so
# only our packages' scripts call it.
printf '#!/bin/sh\ncase "$1" in tirvane-serverd.service) exit 0 ;; esac\nexit 101\n' >"$root/usr/sbin/policy-rc.d"
# (apt runs dpkg with a PATH of its own, without /usr/local.)
cat >"$root/usr/bin/systemctl" <<'SH'
#!/bin/sh
echo "$*" >>/var/tmp/systemctl.calls
case " $* " in *" is-enabled "*) echo enabled ;; esac
exit 0
SH
chmod 755 "$root/usr/bin/systemctl"
mkdir -p "$root/run/systemd/system"
# The calls since the last look, one a line.
systemctl_calls() {
  cat "$root/var/tmp/systemctl.calls" 2>/dev/null || true
  rm -f "$root/var/tmp/systemctl.calls"
}
expect_call() { grep -q -- "$2" <<<"$1" || { echo "$1" >&2; fail "$3"; }; }

# ---- 4. Upgrade -------------------------------------------------------------------
say "upgrading to $version+check (the same packages, version raised)"
echo "# kept across upgrades" >>"$root/etc/tirvane-serverd/fp_driver.conf"
echo "enrolled=yes" >"$root/etc/tirvane-serverd/tvplist.conf"
raise() {
  local deb=$1 x="$work/raise"
  rm -rf "$x"
  dpkg-deb -R "$deb" "$x"
  sed -i -e "s/^Version: .*/Version: $version+check/" \
    -e "s/tirvane-serverd (= $version)/tirvane-serverd (= $version+check)/" "$x/DEBIAN/control"
  dpkg-deb -b "$x" "$root/tmp/debs/" >/dev/null
}
raise "$serverd_deb"
raise "$pam_deb"
in_root apt-get install -y -q --no-install-recommends "/tmp/debs/tirvane-serverd_${version}+check_$arch.deb" \
  "/tmp/debs/libpam-tirvane_${version}+check_$arch.deb" >"$work/upgrade.log" 2>&1 ||
  { tail -n 30 "$work/upgrade.log" >&2; fail "the upgrade failed"; }
[ "$(in_root dpkg-query -W -f='${Version}' tirvane-serverd)" = "$version+check" ] || fail "not upgraded"
grep -q "^# kept across upgrades" "$root/etc/tirvane-serverd/fp_driver.conf" || fail "the upgrade lost a local change of fp_driver.conf"
[ -f "$root/etc/tirvane-serverd/tvplist.conf" ] || fail "the upgrade lost the finger list"
grep -q "pam_tirvane.so" "$root/etc/pam.d/common-auth" || fail "the upgrade disabled the PAM profile"
[ -L "$root/etc/systemd/system/multi-user.target.wants/tirvane-serverd.service" ] || fail "the upgrade disabled the unit"
calls="$(systemctl_calls)"
expect_call "$calls" "restart tirvane-serverd.service" "the upgrade did not restart the service"
if grep -q "stop tirvane-serverd.service" <<<"$calls"; then fail "the upgrade stopped the service before unpacking"; fi
echo "upgraded; configuration, finger list, PAM profile and unit kept; the service restarted once the new files were in"
lap

# ---- 5. Removal and purge ---------------------------------------------------------
say "removing, then purging"
in_root apt-get remove -y -q libpam-tirvane tirvane-serverd >"$work/remove.log" 2>&1 ||
  { tail -n 30 "$work/remove.log" >&2; fail "apt-get remove failed"; }
if grep -q pam_tirvane "$root"/etc/pam.d/common-*; then fail "pam_tirvane.so is still in the PAM stacks after removal"; fi
[ "$(cat "$root"/etc/pam.d/common-auth)" = "$pam_before" ] || fail "common-auth differs from before the installation"
[ -f "$root/etc/tirvane-serverd/fp_driver.conf" ] || fail "the removal took the conffile"
[ ! -e "$root/usr/libexec/tirvane-serverd" ] || fail "the removal left the daemon"
expect_call "$(systemctl_calls)" "stop tirvane-serverd.service" "the removal did not stop the service"
echo "removed; the service stopped, the PAM stacks are as before, the configuration stays"
# apt knows packages from local files only while they are installed: dpkg
# purges what the removal left.
in_root dpkg --purge libpam-tirvane tirvane-serverd >>"$work/remove.log" 2>&1 ||
  { tail -n 30 "$work/remove.log" >&2; fail "dpkg --purge failed"; }
left="$(in_root find / -xdev \( -path /proc -o -path /tmp \) -prune -o -iname '*tirvane*' -print)"
[ -z "$left" ] || fail "left after the purge: $left"
if grep -qx tirvane "$root/var/lib/pam/seen"; then fail "the PAM profile is still registered"; fi
if in_root dpkg-query -W tirvane-serverd libpam-tirvane >/dev/null 2>&1; then fail "dpkg still knows the packages"; fi
echo "purged; no file named after us in /etc, /usr, /lib or /var, profile deregistered"
lap

# The same round again on the now-known system: a second install and purge
# must leave it exactly as the first purge did.
say "installing and purging once more: the system is as after the first purge"
before="$(snapshot)"
in_root apt-get install -y -q --no-install-recommends "$s_deb" "$p_deb" >>"$work/install.log" 2>&1 ||
  fail "second install failed"
expect_call "$(systemctl_calls)" "start tirvane-serverd.service" "the installation did not start the service"
in_root apt-get purge -y -q libpam-tirvane tirvane-serverd >>"$work/remove.log" 2>&1 || fail "second purge failed"
expect_call "$(systemctl_calls)" "stop tirvane-serverd.service" "the purge did not stop the service"
after="$(snapshot)"
if [ "$before" != "$after" ]; then
  diff <(echo "$before") <(echo "$after") >&2 || true
  fail "the system differs after install and purge (< before, > after)"
fi
echo "identical; the service was started on installation and stopped on removal"
lap

# ---- 7. Beside Debian's fprintd ----------------------------------------------------
say "installing beside Debian's fprintd and libpam-fprintd (no Conflicts)"
in_root apt-get install -y -q --no-install-recommends fprintd libpam-fprintd >"$work/fprintd.log" 2>&1 ||
  { tail -n 30 "$work/fprintd.log" >&2; fail "cannot install fprintd"; }
in_root apt-get install -y -q --no-install-recommends "$s_deb" "$p_deb" >>"$work/fprintd.log" 2>&1 ||
  { tail -n 30 "$work/fprintd.log" >&2; fail "our packages do not install beside fprintd"; }
in_root pam-auth-update --enable tirvane
grep -q pam_tirvane.so "$root/etc/pam.d/common-auth" || fail "the profile cannot be enabled beside fprintd's"
in_root apt-get purge -y -q libpam-tirvane tirvane-serverd >>"$work/fprintd.log" 2>&1 || fail "purge beside fprintd failed"
in_root dpkg --verify fprintd libpam-fprintd || fail "our packages changed files of fprintd's"
[ -f "$root/usr/share/dbus-1/system.d/net.reactivated.Fprint.conf" ] || fail "fprintd's bus policy is gone"
echo "both installed together; ours purged, fprintd's files intact"
lap

echo
echo "check-deb: all checks passed for $version ($(($(date +%s) - started)) s)"
