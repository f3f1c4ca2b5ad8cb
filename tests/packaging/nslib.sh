# SPDX-License-Identifier: MIT
# Shared by the packaging tests that run the real daemon (bash, sourced).
#
# Each test runs in a private mount and network namespace of its own: a
# tmpfs /dev with null, zero, urandom and a /dev/log served by BusyBox's
# syslogd into a file; tmpfs on /run; an empty /etc/default; rdbd on a
# temporary socket; a simulated sysfs tree. So tests run in parallel and
# never touch the machine's /dev, RDB or init configuration.
#
# The test script calls, in this order:
#   ns_enter "$0" "$@"       runs the script again inside new namespaces
#   ns_setup BIN_DIR         the private /dev, /run, /etc/default, syslog, rdbd
# and then uses wait_for, rdb, syslog_has, board_* and send_event.

SKIP_CODE=77

ns_enter() {
  [[ -n ${HWTRACK_IN_NS:-} ]] && return 0
  if [[ $(id -u) != 0 ]]; then
    echo "SKIP: needs root for namespaces"
    exit $SKIP_CODE
  fi
  local tool
  for tool in unshare busybox mknod; do
    command -v "$tool" >/dev/null || { echo "SKIP: needs $tool"; exit $SKIP_CODE; }
  done
  exec env HWTRACK_IN_NS=1 unshare --mount --net --propagation private -- bash "$@"
}

# wait_for WHAT COMMAND...: polls COMMAND until it succeeds; fails the test
# after a generous deadline (the machine may be loaded).
WAIT_SECONDS=${WAIT_SECONDS:-30}
wait_for() {
  local what=$1
  shift
  local deadline=$((SECONDS + WAIT_SECONDS))
  until "$@"; do
    if ((SECONDS >= deadline)); then
      echo "timed out waiting for $what"
      return 1
    fi
    sleep 0.05
  done
}

T=
RDBD_PID=
SYSLOGD_PID=
declare -a CLEANUP_PIDS=()

ns_cleanup() {
  local pid
  for pid in "${CLEANUP_PIDS[@]}" $RDBD_PID $SYSLOGD_PID; do
    kill -TERM "$pid" 2>/dev/null
  done
  for pid in "${CLEANUP_PIDS[@]}" $RDBD_PID $SYSLOGD_PID; do
    wait_for "pid $pid to end" eval "! kill -0 $pid 2>/dev/null || [[ \$(cut -d' ' -f3 /proc/$pid/stat 2>/dev/null) == Z ]]" \
      || kill -KILL "$pid" 2>/dev/null
  done
  [[ -n $T && -d $T ]] && rm -rf "$T"
}

# ns_setup BIN_DIR: BIN_DIR holds hwtrackd, rdbd and rdb.
ns_setup() {
  BIN_DIR=$1
  local prog
  for prog in hwtrackd rdbd rdb; do
    [[ -x $BIN_DIR/$prog ]] || { echo "SKIP: $BIN_DIR/$prog not built"; exit $SKIP_CODE; }
  done
  export PATH=$BIN_DIR:$PATH

  T=$(mktemp -d /tmp/hwtrack-pkg.XXXXXX)
  trap ns_cleanup EXIT

  mount -t tmpfs -o mode=0755,size=4m tmpfs /dev
  mknod -m 666 /dev/null c 1 3
  mknod -m 666 /dev/zero c 1 5
  mknod -m 666 /dev/urandom c 1 9
  mount -t tmpfs -o mode=0755,size=4m tmpfs /run
  [[ -L /var/run ]] || mount -t tmpfs -o mode=0755,size=4m tmpfs /var/run
  mkdir -p "$T/default"
  [[ -d /etc/default ]] && mount --bind "$T/default" /etc/default

  busybox syslogd -n -O "$T/syslog" &
  SYSLOGD_PID=$!
  wait_for "syslogd's /dev/log" test -S /dev/log || exit 1

  export RDB_DEVICE=$T/rdb.sock
  rdbd --socket "$RDB_DEVICE" --store "$T/rdb.store" 2>"$T/rdbd.log" &
  RDBD_PID=$!
  wait_for "rdbd's socket" test -S "$RDB_DEVICE" || exit 1

  export SYSFS_PATH=$T/sys
  board_init "$SYSFS_PATH"
}

# syslog_has TEXT: a line of the captured syslog contains TEXT.
syslog_has() { grep -qF -- "$1" "$T/syslog" 2>/dev/null; }
# syslog_count TEXT: the number of syslog lines that contain TEXT.
syslog_count() { grep -cF -- "$1" "$T/syslog" 2>/dev/null || true; }
# rdb_is NAME VALUE: the RDB holds NAME with exactly VALUE.
rdb_is() { [[ $(rdb get "$1" 2>/dev/null) == "$2" ]]; }

# --- a simulated board: sysfs laid out as the kernel lays it out ---------

board_init() {
  B=$1
  mkdir -p "$B/class/tty" "$B/class/net" "$B/class/block" "$B/bus/platform/drivers" \
    "$B/bus/usb/drivers" "$B/bus/usb-serial/drivers" "$B/devices/platform"
}

# rel FROM_DIR TO: the relative link from a folder below the root to a path
# below the root, as sysfs writes its links.
rel() {
  local from=$1 to=$2 up=
  local rest=${from#/}
  while [[ -n $rest ]]; do
    up+="../"
    [[ $rest == */* ]] && rest=${rest#*/} || rest=
  done
  printf '%s%s' "$up" "${to#/}"
}

# link DEVPATH NAME TARGET: sysfs link DEVPATH/NAME to the devpath TARGET.
board_link() { ln -sfn "$(rel "$1" "$3")" "$B$1/$2"; }

# board_uart KERNEL [PLATFORM]: an on-board UART, the platform device
# PLATFORM (default serial8250, driver serial8250) with its tty KERNEL;
# prints the tty's devpath. "!" in KERNEL stands for "/".
board_uart() {
  local kernel=$1 plat=/devices/platform/${2:-serial8250}
  local tty=$plat/tty/$kernel
  mkdir -p "$B$tty" "$B/bus/platform/drivers/serial8250"
  board_link "$plat" subsystem /bus/platform
  board_link "$plat" driver /bus/platform/drivers/serial8250
  board_link "$tty" subsystem /class/tty
  board_link "$tty" device "$plat"
  board_link /class/tty "$kernel" "$tty"
  printf '%s' "$tty"
}

# board_usb_serial PORT SERIAL KERNEL: a USB serial adapter (vendor 1a2b,
# product 3c4d, driver usbserial_generic) on port PORT of bus 1 with the
# tty KERNEL; prints the tty's devpath.
board_usb_serial() {
  local port=$1 serial=$2 kernel=$3
  local hub=/devices/platform/ehci.0/usb1
  local udev=$hub/1-$port
  local intf=$udev/1-$port:1.0
  local usbser=$intf/$kernel
  local tty=$usbser/tty/$kernel
  mkdir -p "$B$tty" "$B/bus/usb/drivers/usb" "$B/bus/usb/drivers/usbserial_generic" \
    "$B/bus/usb-serial/drivers/generic"
  board_link "$hub" subsystem /bus/usb
  board_link "$udev" subsystem /bus/usb
  board_link "$udev" driver /bus/usb/drivers/usb
  printf '1a2b\n' >"$B$udev/idVendor"
  printf '3c4d\n' >"$B$udev/idProduct"
  printf '1\n' >"$B$udev/busnum"
  printf '%s\n' "$port" >"$B$udev/devpath"
  printf '1\n' >"$B$udev/bConfigurationValue"
  [[ -n $serial ]] && printf '%s\n' "$serial" >"$B$udev/serial"
  board_link "$intf" subsystem /bus/usb
  board_link "$intf" driver /bus/usb/drivers/usbserial_generic
  printf '00\n' >"$B$intf/bInterfaceNumber"
  board_link "$usbser" subsystem /bus/usb-serial
  board_link "$usbser" driver /bus/usb-serial/drivers/generic
  board_link "$tty" subsystem /class/tty
  board_link "$tty" device "$usbser"
  board_link /class/tty "$kernel" "$tty"
  printf '%s' "$tty"
}

# board_unplug DEVPATH KERNEL: removes the device's class entry and folder.
board_unplug() {
  rm -f "$B/class/tty/$2"
  rm -rf "${B:?}$1"
}

# send_event ACTION DEVPATH SUBSYSTEM: the datagram udev would send.
send_event() { "$SEND_UEVENT" "$@"; }
