#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The SysV/BusyBox init script against the real daemon: start, status,
# stop, restart, a second start, a stale pid file and a killed daemon, in a
# private mount and network namespace with rdbd on a temporary socket.
#
# usage: sysv_init_test.sh INIT_SCRIPT BIN_DIR SEND_UEVENT [busybox]
#   With "busybox", start-stop-daemon and the shell running the script are
#   BusyBox's, as on a BusyBox-based firmware.
set -uo pipefail

here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=tests/packaging/nslib.sh
. "$here/nslib.sh"
ns_enter "$0" "$@"

init_script=$1
bin_dir=$2
SEND_UEVENT=$3
flavour=${4:-dpkg}

ns_setup "$bin_dir"

init_shell=(sh)
if [[ $flavour == busybox ]]; then
  mkdir -p "$T/busybox"
  ln -s "$(command -v busybox)" "$T/busybox/start-stop-daemon"
  export PATH=$T/busybox:$PATH
  init_shell=(busybox sh)
elif ! command -v start-stop-daemon >/dev/null; then
  echo "SKIP: no start-stop-daemon"
  exit $SKIP_CODE
fi

# The init script takes its settings from /etc/default/hwtrackd (private
# here); DAEMON points it at the daemon under test.
if ! mountpoint -q /etc/default; then
  echo "SKIP: no /etc/default to put a private one over"
  exit $SKIP_CODE
fi
cat >/etc/default/hwtrackd <<EOF
DAEMON=$bin_dir/hwtrackd
RDB_DEVICE=$RDB_DEVICE
SYSFS_PATH=$SYSFS_PATH
EOF
rdb set -p sys.hw.cfg.debug 7 >/dev/null
uart=$(board_uart ttyS0)

PIDFILE=/var/run/hwtrackd.pid
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
    sed 's/^/#   /' "$T/out"
  fi
}
# init ACTION: runs the init script; its status in $rc, its output in $T/out.
init() {
  env -u RDB_DEVICE -u SYSFS_PATH "${init_shell[@]}" "$init_script" "$1" >"$T/out" 2>&1
  rc=$?
}
pid_from_file() { cat "$PIDFILE" 2>/dev/null; }
is_hwtrackd() { [[ $(cat "/proc/$1/comm" 2>/dev/null) == hwtrackd && $(cut -d' ' -f3 "/proc/$1/stat") != Z ]]; }
gone() { ! is_hwtrackd "$1"; }
# started_up PID: the start just made returned once the daemon PID was
# ready: the platform UART is in the RDB and the readiness file filled.
started_up() {
  grep -qx "Starting hwtrackd: OK" "$T/out" && [[ -s /var/run/hwtrackd.ready ]] \
    && syslog_has "hwtrackd[$1]: <hwtrack:main:" && rdb_is sys.hw.class.serial.0.status inserted
}
track() { CLEANUP_PIDS+=("$1"); }

init status
check "status before the first start says not running (3)" eval '[[ $rc == 3 ]] && grep -q "not running" "$T/out"'

init start
pid1=$(pid_from_file)
[[ -n $pid1 ]] && track "$pid1"
check "start succeeds and writes the pid file" eval '[[ $rc == 0 && -n $pid1 ]] && is_hwtrackd "$pid1"'
check "start returns with the daemon ready, set up from /etc/default" started_up "$pid1"
check "the daemon found the board's UART" \
  eval 'rdb_is sys.hw.class.serial.0.name /dev/ttyS0 && rdb_is sys.hw.class.serial.0.id platform-serial8250'

init status
check "status says running with the pid (0)" eval '[[ $rc == 0 ]] && grep -q "running (pid $pid1)" "$T/out"'

init start
check "a second start leaves the running daemon alone" \
  eval '[[ $rc == 0 && $(pid_from_file) == "$pid1" ]] && is_hwtrackd "$pid1" && grep -q "already running" "$T/out"'

# The daemon still handles events after all that.
send_event remove "$uart" tty
check "the daemon started by the script handles events" \
  wait_for "the UART's removal" rdb_is sys.hw.class.serial.0.status removed

init stop
check "stop ends the daemon and removes the pid file" eval '[[ $rc == 0 && ! -e $PIDFILE ]] && gone "$pid1"'
check "the daemon shut down in order on SIGTERM" \
  eval 'grep -F "hwtrackd[$pid1]:" "$T/syslog" | grep -qF "close RDB module"'

init status
check "status after stop says not running (3)" eval '[[ $rc == 3 ]]'
init stop
check "stop when not running succeeds" eval '[[ $rc == 0 ]]'

init restart
pid2=$(pid_from_file)
[[ -n $pid2 ]] && track "$pid2"
check "restart from stopped starts the daemon" \
  eval '[[ $rc == 0 && -n $pid2 && $pid2 != "$pid1" ]] && is_hwtrackd "$pid2"'
check "restart from stopped returns with the daemon ready" started_up "$pid2"

init restart
pid3=$(pid_from_file)
[[ -n $pid3 ]] && track "$pid3"
check "restart replaces the running daemon" \
  eval '[[ $rc == 0 && -n $pid3 && $pid3 != "$pid2" ]] && gone "$pid2" && is_hwtrackd "$pid3"'
# The old daemon released the monitor socket's name before the new one
# started: otherwise the new one would have stopped with "bind failed".
check "the restarted daemon got both event sockets and is ready" started_up "$pid3"

kill -KILL "$pid3"
wait_for "pid $pid3 to die" gone "$pid3"
init status
check "status of a killed daemon says dead with a pid file (1)" \
  eval '[[ $rc == 1 ]] && grep -q "pid file\|hwtrackd.pid exists" "$T/out"'

# A stale pid file naming some other live process (this shell) must
# neither count as running nor get that process signalled.
echo $$ >"$PIDFILE"
init status
check "a pid file naming another program is not a running daemon" eval '[[ $rc == 1 ]]'
init stop
check "stop does not signal the program a stale pid file names" eval '[[ $rc == 0 ]]'

init start
pid4=$(pid_from_file)
[[ -n $pid4 ]] && track "$pid4"
check "start over a stale pid file starts the daemon" eval '[[ $rc == 0 ]] && is_hwtrackd "$pid4"'
check "and it is ready" started_up "$pid4"
init stop
check "and stop ends it" eval '[[ $rc == 0 ]] && gone "$pid4"'

init reload-everything
check "an unknown action prints the usage and fails" eval '[[ $rc != 0 ]] && grep -q Usage "$T/out"'

echo "1..$tests"
((failures == 0))
