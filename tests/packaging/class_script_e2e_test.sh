#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The example class script run by the real daemon on a simulated board: the
# stable nodes /dev/hw/serial.<n> follow start-up, unplug, replug on another
# port, a duplicate add, and a restart after an unplug while the daemon was
# stopped. /dev is the namespace's private tmpfs, so the script runs with
# its default DEVNODE_ROOT, /dev/hw.
#
# usage: class_script_e2e_test.sh CLASS_SCRIPT BIN_DIR SEND_UEVENT
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/packaging/nslib.sh
. "$here/nslib.sh"
ns_enter "$0" "$@"

class_script=$1
bin_dir=$2
SEND_UEVENT=$3

ns_setup "$bin_dir"
rdb set -p sys.hw.cfg.hwclass_script "$class_script" >/dev/null
rdb set -p sys.hw.cfg.debug 7 >/dev/null

failures=0
tests=0
check() {
  local name=$1
  shift
  tests=$((tests + 1))
  if "$@"; then
    echo "ok - $name"
  else
    failures=$((failures + 1))
    echo "not ok - $name"
    echo "#   /dev/hw: $(ls -l /dev/hw 2>&1 | tr '\n' '|')"
    grep -F 'hwclass-devnode' "$T/syslog" | tail -n 5 | sed 's/^/#   /'
  fi
}
link_is() { [[ -L /dev/hw/$1 && $(readlink "/dev/hw/$1") == "$2" ]]; }
no_link() { [[ ! -e /dev/hw/$1 && ! -L /dev/hw/$1 ]]; }

DAEMON_PID=
start_daemon() {
  hwtrackd >>"$T/stdout" 2>&1 &
  DAEMON_PID=$!
  CLEANUP_PIDS+=("$DAEMON_PID")
  wait_for "the daemon's start-up" eval 'grep -F "hwtrackd[$DAEMON_PID]:" "$T/syslog" | grep -qF "scan devices"'
}
stop_daemon() {
  kill -TERM "$DAEMON_PID"
  wait "$DAEMON_PID"
}

uart=$(board_uart ttyS0)
start_daemon
check "start-up: the on-board UART gets /dev/hw/serial.0" wait_for "serial.0" link_is serial.0 /dev/ttyS0

send_event remove "$uart" tty
check "remove: the link goes" wait_for "serial.0 to go" no_link serial.0
send_event add "$uart" tty
check "add: the link comes back" wait_for "serial.0" link_is serial.0 /dev/ttyS0

usb=$(board_usb_serial 2 A50285BI ttyUSB0)
send_event add "$usb" tty
check "a USB serial adapter gets the next stable node" wait_for "serial.1" link_is serial.1 /dev/ttyUSB0

send_event remove "$usb" tty
board_unplug "$usb" ttyUSB0
check "unplugged: its link goes, the UART's stays" \
  eval 'wait_for "serial.1 to go" no_link serial.1 && link_is serial.0 /dev/ttyS0'
usb=$(board_usb_serial 3 A50285BI ttyUSB1)
send_event add "$usb" tty
check "replugged on another port under another name: same stable node, new target" \
  wait_for "serial.1" link_is serial.1 /dev/ttyUSB1

# A second add of the same device without a remove (found by the start-up
# scan, then announced): nothing changes, the script does not run.
links_made() { syslog_count "/dev/hw/serial.1 -> /dev/ttyUSB1"; }
links_before=$(links_made)
send_event add "$usb" tty
check "a duplicate add leaves the link in place" \
  eval 'wait_for "the duplicate add" syslog_has "device already added - nothing changed" &&
    (($(links_made) == links_before)) && link_is serial.1 /dev/ttyUSB1'

odd=$(board_uart 'odd name!x' uart1)
send_event add "$odd" tty
check "a kernel name with a blank and \"!\" is linked verbatim" \
  wait_for "serial.2" link_is serial.2 "/dev/odd name/x"

stop_daemon
# While the daemon is stopped the adapter goes and another one takes its
# kernel name: the old link would lead to the new adapter.
board_unplug "$usb" ttyUSB1
board_usb_serial 4 B7OTHER ttyUSB1 >/dev/null
start_daemon
check "after a restart: links for the present devices, none for the one unplugged meanwhile" \
  wait_for "links after the restart" eval 'link_is serial.0 /dev/ttyS0 && no_link serial.1 &&
    link_is serial.2 "/dev/odd name/x" && link_is serial.3 /dev/ttyUSB1'
check "nothing else is left below /dev/hw" \
  eval '[[ $(ls -A /dev/hw | sort | tr "\n" " ") == "serial.0 serial.2 serial.3 " ]]'
stop_daemon

echo "1..$tests"
((failures == 0))
