#!/usr/bin/env bash
# Installs the build into a temporary DESTDIR and checks where every file lands,
# its mode and its contents, and that a second install keeps fp_driver.conf.
# Usage: install_test.sh CMAKE BUILD_DIR SOURCE_DIR DEST UNIT_DIR CONF_DIR VERSION
set -euo pipefail

cmake_bin=$1 build=$2 src=$3 dest=$4 unit_dir=$5 conf_dir=$6 version=$7
failures=0
fail() {
  echo "FAIL: $*" >&2
  failures=$((failures + 1))
}

under_prefix() { # DIR PREFIX: a relative DIR is taken under PREFIX
  case $1 in
  /*) echo "$1" ;;
  *) echo "$2/$1" ;;
  esac
}

install_into() { # DEST PREFIX
  rm -rf "$1"
  DESTDIR=$1 "$cmake_bin" --install "$build" --prefix "$2" >"$1.log" 2>&1 || {
    cat "$1.log" >&2
    fail "cmake --install into $1 failed"
    return 1
  }
}

expect_file() { # PATH MODE
  if [ ! -f "$1" ]; then
    fail "missing: $1"
    return
  fi
  local mode
  mode=$(stat -c %a "$1")
  [ "$mode" = "$2" ] || fail "$1 has mode $mode, expected $2"
}

expect_line() { # FILE LINE
  grep -qxF -- "$2" "$1" || fail "$1 lacks the line '$2'"
}

conf_dir=${conf_dir%/}
unit_full=$(under_prefix "$unit_dir" /usr)

# ---- Fresh install under /usr -----------------------------------------------------
install_into "$dest" /usr
expect_file "$dest/usr/libexec/tirvane-serverd" 755
expect_file "$dest/usr/bin/tirvanectl" 755
expect_file "$dest/usr/share/dbus-1/system.d/nuvex.kal.Tirvane.conf" 644
expect_file "$dest/usr/share/dbus-1/system-services/nuvex.kal.Tirvane.service" 644
expect_file "$dest/usr/share/dbus-1/interfaces/nuvex.kal.Tirvane.xml" 644
expect_file "$dest/usr/share/polkit-1/actions/nuvex.kal.tirvane.policy" 644
expect_file "$dest$unit_full/tirvane-serverd.service" 644
expect_file "$dest/usr/share/man/man1/tirvanectl.1" 644
expect_file "$dest/usr/share/man/man8/tirvane-serverd.8" 644
expect_file "$dest$conf_dir/fp_driver.conf" 644

cmp -s "$src/data/nuvex.kal.Tirvane.conf" "$dest/usr/share/dbus-1/system.d/nuvex.kal.Tirvane.conf" ||
  fail "the installed bus policy differs from data/nuvex.kal.Tirvane.conf"
cmp -s "$src/data/nuvex.kal.Tirvane.xml" "$dest/usr/share/dbus-1/interfaces/nuvex.kal.Tirvane.xml" ||
  fail "the installed introspection XML differs from data/nuvex.kal.Tirvane.xml"
cmp -s "$src/data/nuvex.kal.tirvane.policy" "$dest/usr/share/polkit-1/actions/nuvex.kal.tirvane.policy" ||
  fail "the installed polkit actions differ from data/nuvex.kal.tirvane.policy"
cmp -s "$src/data/fp_driver.conf" "$dest$conf_dir/fp_driver.conf" ||
  fail "the installed fp_driver.conf differs from data/fp_driver.conf"
[ ! -e "$dest$conf_dir/tvplist.conf" ] || fail "tvplist.conf must be left to the service"

activation="$dest/usr/share/dbus-1/system-services/nuvex.kal.Tirvane.service"
expect_line "$activation" "[D-BUS Service]"
expect_line "$activation" "Name=nuvex.kal.Tirvane"
expect_line "$activation" "Exec=/usr/libexec/tirvane-serverd"
expect_line "$activation" "User=root"
expect_line "$activation" "SystemdService=tirvane-serverd.service"

unit="$dest$unit_full/tirvane-serverd.service"
expect_line "$unit" "Type=dbus"
expect_line "$unit" "BusName=nuvex.kal.Tirvane"
expect_line "$unit" "ExecStart=/usr/libexec/tirvane-serverd"
expect_line "$unit" "ReadWritePaths=$conf_dir/"
expect_line "$unit" "Environment=TIRVANE_CONF_DIR=$conf_dir/"

for f in "$activation" "$unit" "$dest/usr/share/man/man1/tirvanectl.1" "$dest/usr/share/man/man8/tirvane-serverd.8"; do
  if grep -n '@[A-Z_]*@' "$f" >&2; then
    fail "unsubstituted placeholder in $f"
  fi
done
grep -q "tirvane-serverd $version" "$dest/usr/share/man/man1/tirvanectl.1" ||
  fail "tirvanectl.1 does not carry the version $version"

out=$("$dest/usr/bin/tirvanectl" --version) || fail "the installed tirvanectl does not run"
[ "$out" = "tirvanectl $version" ] || fail "tirvanectl --version says '$out'"

# ---- The configuration belongs to the administrator once it exists ------------
printf '[BASIC_PARAM]\nPrintfLogFlag=3\n# edited by the administrator\n' >"$dest$conf_dir/fp_driver.conf"
chmod 600 "$dest$conf_dir/fp_driver.conf"
DESTDIR=$dest "$cmake_bin" --install "$build" --prefix /usr >"$dest.log2" 2>&1 || fail "second install failed"
grep -q "# edited by the administrator" "$dest$conf_dir/fp_driver.conf" ||
  fail "a second install overwrote an existing fp_driver.conf"
[ "$(stat -c %a "$dest$conf_dir/fp_driver.conf")" = 600 ] || fail "a second install changed fp_driver.conf's mode"
grep -q "Keeping: $dest$conf_dir/fp_driver.conf" "$dest.log2" || fail "the second install did not say it kept fp_driver.conf"

# ---- Another prefix: the files name the daemon where it lands --------------------
other="$dest-local"
install_into "$other" /usr/local
expect_file "$other/usr/local/libexec/tirvane-serverd" 755
expect_line "$other/usr/local/share/dbus-1/system-services/nuvex.kal.Tirvane.service" \
  "Exec=/usr/local/libexec/tirvane-serverd"
other_unit=$(under_prefix "$unit_dir" /usr/local)
expect_line "$other$other_unit/tirvane-serverd.service" "ExecStart=/usr/local/libexec/tirvane-serverd"
rm -rf "$other" "$other.log"

if [ "$failures" -ne 0 ]; then
  echo "$failures check(s) failed" >&2
  exit 1
fi
echo "install layout: all checks passed"
