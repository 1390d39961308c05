#!/usr/bin/env bash
# A guided run of tirvane-serverd against the emulated fingerprint module:
# a firmware upgrade at start-up, an enrolment with six touches (one rejected
# and retried), a matching and a non-matching verification, and list, rename
# and delete — all through the command-line client tirvanectl — and a PAM
# authentication with pam_tirvane.so through pamtester.
set -euo pipefail
here="$(cd "$(dirname "$0")/.." && pwd)"
cd "$here"

scripts/install-deps.sh

build="${TIRVANE_BUILD_DIR:-$here/build-demo}"
echo "== building (this takes a minute the first time)"
cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTIRVANE_TEST_AREAS=none >/dev/null
cmake --build "$build" -j2 --target tirvane-serverd tirvanectl tirvane-usb-standin tirvane-emu \
  pam_tirvane >/dev/null

daemon="$build/tirvane-serverd"
ctl="$build/tools/tirvanectl"
emu_tool="$(find "$build" -name tirvane-emu -type f -perm -u+x | head -n1)"
standin="$(find "$build" -name 'libtirvane-usb-standin.so' | head -n1)"
[ -x "$ctl" ] || ctl="$(find "$build" -name tirvanectl -type f -perm -u+x | head -n1)"

work="$(mktemp -d /tmp/tirvane-demo-XXXXXX)"
conf="$work/conf"
mkdir -p "$conf" "$work/sys"
pids=()
cleanup() {
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap cleanup EXIT

# A private bus with the system bus's rules and the service's own policy.
"$here/scripts/system-bus-conf.sh" "$work/bus" "$here/data/nuvex.kal.Tirvane.conf" >"$work/bus.conf"
dbus-daemon --nofork --nosyslog --config-file="$work/bus.conf" &
pids+=($!)
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$work/bus"
for _ in $(seq 100); do [ -S "$work/bus" ] && break; sleep 0.05; done

# Configuration: log notable events, upgrade to a newer installed image.
cat >"$conf/fp_driver.conf" <<CONF
[BASIC_PARAM]
PrintfLogFlag=2
AutoSuspend=1
UpgradeFlag=1
UpgradeMode=SMART_UPGRADE
CONF
echo "ACM32FP_V1502" >"$conf/kal_fw.conf"
python3 - "$conf/ACM32FP_V1502.bin" <<'PY'
import sys
image = bytearray((i * 7 + 3) & 0xFF for i in range(48 * 1024))
text = b"acm32_btl_nuvex_pc_001502"
image[1000:1000 + len(text)] = text
open(sys.argv[1], "wb").write(image)
PY
mkdir -p "$work/sys/bus/usb/devices/1-1.2/power"

export TIRVANE_EMU_SOCKET="$work/emu.sock"
TIRVANE_CONF_DIR="$conf" TIRVANE_SYSFS_ROOT="$work/sys" TIRVANE_EMU_STATE="$work/emu.state" \
  TIRVANE_EMU_FW_VERSION=1500 LD_PRELOAD="$standin" "$daemon" >"$work/daemon.out" 2>&1 &
pids+=($!)

emu() { "$emu_tool" "$@"; }
say() { printf '\n== %s\n' "$*"; }
touch_finger() { sleep 0.6; emu touch "$@" >/dev/null; }

say "service started on a private bus; the emulated module reports firmware $(emu --wait 5000 version | cut -d' ' -f3)"
for _ in $(seq 100); do "$ctl" info >/dev/null 2>&1 && break; sleep 0.1; done
echo "an image for version 1502 is installed, policy SMART_UPGRADE: the service upgrades the module"
for _ in $(seq 300); do
  [ "$(emu version | cut -d' ' -f2)" = "1502" ] && [ "$(emu mode)" = "OK app" ] && break
  sleep 0.1
done
echo "module firmware now: $(emu version | cut -d' ' -f3)"
if [ "$(emu version | cut -d' ' -f2)" != "1502" ]; then
  echo "demo: the upgrade did not happen; the service's log is $conf/log_tvp.txt" >&2
  exit 1
fi
for _ in $(seq 100); do grep -q "start-up checks done" "$conf/log_tvp.txt" 2>/dev/null && break; sleep 0.1; done
sleep 1
"$ctl" info

say "tirvanectl enroll alice right-thumb   (the emulator plays six touches, one of poor quality)"
"$ctl" --timeout 60 enroll alice right-thumb &
enrol=$!
touch_finger alice-thumb
touch_finger alice-thumb quality
for _ in 1 2 3 4 5; do touch_finger alice-thumb; done
wait "$enrol"

say "tirvanectl verify alice   (alice touches with her right thumb)"
"$ctl" --timeout 30 verify alice &
v=$!
touch_finger alice-thumb
wait "$v"

say "tirvanectl verify --once alice   (someone else's finger)"
"$ctl" --timeout 30 --once verify alice &
v=$!
touch_finger mallory-index
wait "$v" || echo "(exit status $?: no match)"
sleep 2

say "pamtester tirvane-demo alice authenticate   (pam_tirvane.so; alice touches)"
# The PAM service file lives in the demo's directory; pam_wrapper makes libpam
# read it there instead of /etc/pam.d.
pam_module="$build/pam/pam_tirvane.so"
pam_wrapper="$(find /usr/lib /lib -name libpam_wrapper.so 2>/dev/null | head -n1)"
if [ -n "$pam_wrapper" ] && [ -f "$pam_module" ] && command -v pamtester >/dev/null; then
  mkdir -p "$work/pam.d"
  printf 'auth sufficient %s timeout=20\nauth required pam_deny.so\n' "$pam_module" >"$work/pam.d/tirvane-demo"
  printf 'auth required pam_deny.so\n' >"$work/pam.d/other"
  cat "$work/pam.d/tirvane-demo"
  # A demo run over SSH is still a local login at the (emulated) reader.
  env -u SSH_CONNECTION LD_PRELOAD="$pam_wrapper" PAM_WRAPPER=1 PAM_WRAPPER_SERVICE_DIR="$work/pam.d" \
    pamtester tirvane-demo alice authenticate &
  p=$!
  touch_finger alice-thumb
  if ! wait "$p"; then
    echo "demo: pamtester failed (a session that logind marks remote, or without a seat, is refused)" >&2
    exit 1
  fi
else
  echo "(skipped: needs libpam-wrapper and pamtester, see scripts/install-deps.sh)"
fi

say "tirvanectl list alice"
"$ctl" list alice
say "tirvanectl rename alice right-thumb thumb"
"$ctl" rename alice right-thumb thumb
"$ctl" list alice
say "tirvanectl delete alice thumb"
"$ctl" delete alice thumb
"$ctl" list alice
echo "(no fingers left)"

say "done"
echo "log file : $conf/log_tvp.txt"
echo "list file: $conf/tvplist.conf"
echo "(the service and the private bus are stopped; the files stay in $work)"
