#!/usr/bin/env bash
# Loads the installed bus policy into a private dbus-daemon configured like the
# system bus, and checks who may own the service's name.
# Usage: policy_test.sh DEST
set -euo pipefail

dest=$1
policy="$dest/usr/share/dbus-1/system.d/nuvex.kal.Tirvane.conf"
[ -f "$policy" ] || { echo "FAIL: no installed policy at $policy" >&2; exit 1; }
command -v dbus-daemon >/dev/null || { echo "SKIP: dbus-daemon is not installed"; exit 77; }
command -v gdbus >/dev/null || { echo "SKIP: gdbus is not installed"; exit 77; }

work=$(mktemp -d /tmp/tirvane-policy-XXXXXX)
bus_pid=""
cleanup() {
  if [ -n "$bus_pid" ]; then
    kill "$bus_pid" 2>/dev/null || true
    wait "$bus_pid" 2>/dev/null || true
  fi
  rm -rf "$work"
}
trap cleanup EXIT
chmod 755 "$work"

"$(dirname "$0")/../../scripts/system-bus-conf.sh" "$work/bus" "$policy" >"$work/bus.conf"

# The bus reads the whole configuration, the included policy with it, before it
# prints its address; a policy it cannot parse makes it exit instead.
dbus-daemon --nofork --nosyslog --config-file="$work/bus.conf" --print-address=3 3>"$work/address" 2>"$work/bus.err" &
bus_pid=$!
for _ in $(seq 1 500); do
  [ -s "$work/address" ] && break
  kill -0 "$bus_pid" 2>/dev/null || break
  sleep 0.01
done
if [ ! -s "$work/address" ]; then
  echo "FAIL: dbus-daemon did not start with the installed policy:" >&2
  cat "$work/bus.err" >&2
  exit 1
fi
address=$(head -n1 "$work/address")
echo "bus with the installed policy at $address"

request_name() { # prints the RequestName reply or the error
  gdbus call --address "$address" --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
    --method org.freedesktop.DBus.RequestName nuvex.kal.Tirvane 0 2>&1 || true
}

failures=0
if [ "$(id -u)" -eq 0 ]; then
  reply=$(request_name)
  case $reply in
  "(uint32 1,)") echo "root may own nuvex.kal.Tirvane" ;;
  *) echo "FAIL: root could not own nuvex.kal.Tirvane: $reply" >&2; failures=$((failures + 1)) ;;
  esac
  if command -v setpriv >/dev/null; then
    reply=$(setpriv --reuid=65534 --regid=65534 --clear-groups gdbus call --address "$address" \
      --dest org.freedesktop.DBus --object-path /org/freedesktop/DBus \
      --method org.freedesktop.DBus.RequestName nuvex.kal.Tirvane 0 2>&1 || true)
    case $reply in
    *AccessDenied*) echo "other users may not own nuvex.kal.Tirvane" ;;
    *) echo "FAIL: uid 65534 got: $reply" >&2; failures=$((failures + 1)) ;;
    esac
  fi
else
  reply=$(request_name)
  case $reply in
  *AccessDenied*) echo "uid $(id -u) may not own nuvex.kal.Tirvane" ;;
  *) echo "FAIL: uid $(id -u) got: $reply" >&2; failures=$((failures + 1)) ;;
  esac
fi

[ "$failures" -eq 0 ] || exit 1
echo "bus policy: all checks passed"
