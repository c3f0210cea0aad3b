#!/bin/sh
# Runs the package's postinst and postrm against a stand-in udevadm that
# records its calls: the rules are reloaded and the FT232R cables re-triggered
# after installation, reloaded after removal, and nothing ever fails the
# package operation or prints a word, whether udevadm is missing, fails (as
# where udev is not running), or is not wanted.
# Usage: MaintainerScriptsTest.sh DEBIAN_DIR WORK_DIR
set -u
debian=$1
work=$2
rm -rf "$work"
mkdir -p "$work/ok" "$work/failing" "$work/no-trigger" "$work/none"

# Failures are kept in a file: most checks run in command substitutions.
fail() {
  echo "FAIL: $*" >&2
  echo "$*" >>"$work/failures"
}

# A udevadm in DIR that logs its arguments, one call a line, and exits with
# CONTROL_STATUS for "control" and TRIGGER_STATUS for "trigger"; failing, it
# complains as the real one does.
fake_udevadm() {
  cat >"$1/udevadm" <<FAKE
#!/bin/sh
echo "\$*" >>"$1/calls"
[ "\$1" = control ] && [ $2 -ne 0 ] && echo "Failed to send reload request: No such file or directory" >&2
[ "\$1" = control ] && exit $2
echo "udevadm \$1 says something"
exit $3
FAKE
  chmod +x "$1/udevadm"
}
fake_udevadm "$work/ok" 0 0
fake_udevadm "$work/failing" 1 1
fake_udevadm "$work/no-trigger" 0 1

# run SCRIPT BIN_DIR ARGS...: the script with only BIN_DIR on PATH; prints
# the calls made and fails the test on a nonzero exit or any output.
run() {
  script=$1
  bin=$2
  shift 2
  rm -f "$bin/calls"
  PATH="$bin" /bin/sh "$debian/$script" "$@" >"$work/output" 2>&1 || fail "$script $* exited $?"
  [ -s "$work/output" ] && fail "$script $* printed: $(/bin/cat "$work/output")"
  [ -f "$bin/calls" ] && /bin/cat "$bin/calls"
  return 0
}

expect() {
  what=$1
  got=$2
  want=$3
  [ "$got" = "$want" ] || fail "$what: got [$got], want [$want]"
}

newline='
'
trigger="trigger --subsystem-match=usb --attr-match=idVendor=0403 --attr-match=idProduct=6001"
expect "postinst configure" "$(run postinst "$work/ok" configure)" \
  "control --reload-rules${newline}$trigger"
expect "postinst configure, upgrade from 2.2" "$(run postinst "$work/ok" configure 2.2.0.0)" \
  "control --reload-rules${newline}$trigger"
# udevd not running (a container, a chroot): no trigger, no failure.
expect "postinst configure, udev unreachable" "$(run postinst "$work/failing" configure)" \
  "control --reload-rules"
# The rules reloaded, but the cables cannot be re-triggered: no failure.
expect "postinst configure, trigger fails" "$(run postinst "$work/no-trigger" configure)" \
  "control --reload-rules${newline}$trigger"
expect "postinst configure, no udevadm" "$(run postinst "$work/none" configure)" ""
expect "postinst abort-upgrade" "$(run postinst "$work/ok" abort-upgrade 2.3.0.1)" ""

expect "postrm remove" "$(run postrm "$work/ok" remove)" "control --reload-rules"
expect "postrm purge" "$(run postrm "$work/ok" purge)" "control --reload-rules"
expect "postrm remove, udev unreachable" "$(run postrm "$work/failing" remove)" "control --reload-rules"
expect "postrm remove, no udevadm" "$(run postrm "$work/none" remove)" ""
# On an upgrade the new package's rule is in place; the new postinst reloads.
expect "postrm upgrade" "$(run postrm "$work/ok" upgrade 2.3.0.2)" ""

if [ -f "$work/failures" ]; then
  echo "$(wc -l <"$work/failures") check(s) failed"
  rm -rf "$work"
  exit 1
fi
rm -rf "$work"
echo "maintainer scripts: all checks passed"
