#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The SysV/BusyBox init scripts against the real daemons: hwtrackd's start,
# status, stop, restart, reload, a second start, a stale pid file and a
# killed daemon, and rdbd's start, reload, restart and stop, in a private
# mount and network namespace with rdbd on a temporary socket.
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
# here); DAEMON points it at the daemon under test, INIT_FUNCTIONS at the
# functions beside the script.
if ! mountpoint -q /etc/default; then
  echo "SKIP: no /etc/default to put a private one over"
  exit $SKIP_CODE
fi
functions=$(dirname "$init_script")/init-functions
cat >/etc/default/hwtrackd <<EOF
DAEMON=$bin_dir/hwtrackd
INIT_FUNCTIONS=$functions
RDB_DEVICE=$RDB_DEVICE
SYSFS_PATH=$SYSFS_PATH
EOF
# rdbd's service serves a socket of its own; its store's folder is the
# script's to make.
svc_socket=$T/svc.sock
cat >/etc/default/rdbd <<EOF
DAEMON=$bin_dir/rdbd
INIT_FUNCTIONS=$functions
RDBD_SOCKET=$svc_socket
RDBD_STORE=$T/svc/state/store
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
# init ACTION [SCRIPT]: runs the init script (hwtrackd's unless SCRIPT); its
# status in $rc, its output in $T/out.
init() {
  env -u RDB_DEVICE -u SYSFS_PATH "${init_shell[@]}" "${2:-$init_script}" "$1" >"$T/out" 2>&1
  rc=$?
}
pid_from_file() { cat "$PIDFILE" 2>/dev/null; }
# is_running NAME PID: PID is NAME and not a zombie.
is_running() { [[ $(cat "/proc/$2/comm" 2>/dev/null) == "$1" && $(cut -d' ' -f3 "/proc/$2/stat") != Z ]]; }
is_hwtrackd() { is_running hwtrackd "$1"; }
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

# reload: SIGHUP, which the daemon takes for a reload.
init reload
check "reload of a stopped daemon says not running (7)" eval '[[ $rc == 7 ]] && grep -q "not running" "$T/out"'
init force-reload
pid5=$(pid_from_file)
[[ -n $pid5 ]] && track "$pid5"
check "force-reload of a stopped daemon starts it" eval '[[ $rc == 0 ]] && started_up "$pid5"'
init reload
check "reload keeps the running daemon" eval '[[ $rc == 0 ]] && grep -q "Reloading hwtrackd: OK" "$T/out" && is_hwtrackd "$pid5"'
send_event add "$uart" tty
check "the reloaded daemon handles events" \
  wait_for "the UART's insertion" rdb_is sys.hw.class.serial.0.status inserted
init stop

# rdbd's script: readiness, no reload, a restart that keeps the store.
rdbd_script=$(dirname "$init_script")/rdbd
svc() { [[ $(RDB_DEVICE=$svc_socket rdb get "$1" 2>/dev/null) == "$2" ]]; }
init start "$rdbd_script"
rdbd1=$(cat /var/run/rdbd.pid 2>/dev/null)
[[ -n $rdbd1 ]] && track "$rdbd1"
check "rdbd's start returns with it ready and serving" \
  eval 'grep -qx "Starting rdbd: OK" "$T/out" && [[ -s /var/run/rdbd.ready ]] && is_running rdbd "$rdbd1" &&
    RDB_DEVICE=$svc_socket rdb set -p svc.kept yes && svc svc.kept yes'
init reload "$rdbd_script"
check "rdbd's reload is refused (3) and leaves it running" eval '[[ $rc == 3 ]] && is_running rdbd "$rdbd1"'
init restart "$rdbd_script"
rdbd2=$(cat /var/run/rdbd.pid 2>/dev/null)
[[ -n $rdbd2 ]] && track "$rdbd2"
check "rdbd's restart replaces it and keeps the persistent variables" \
  eval '[[ $rc == 0 && $rdbd2 != "$rdbd1" ]] && ! is_running rdbd "$rdbd1" && svc svc.kept yes'
init stop "$rdbd_script"
check "rdbd's stop ends it" eval '[[ $rc == 0 && ! -e /var/run/rdbd.pid ]] && ! is_running rdbd "$rdbd2"'

echo "1..$tests"
((failures == 0))
