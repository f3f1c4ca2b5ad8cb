# SPDX-License-Identifier: MIT
# The host's commands, one a line, each answered by its output and a line
# "@@rc=<status>@@" (with the argument "serve"); sourced, only the helpers.
export PATH=/usr/bin:/bin:/sbin:/usr/sbin RDB_DEVICE=/run/rdb.sock

# Waits up to $1 tenths of a second for the command in the other arguments.
wait_for() {
  n=$1; shift
  until "$@"; do
    n=$((n - 1)); [ "$n" -gt 0 ] || return 1
    usleep 100000
  done
}

daemon_pid() { cat /run/hwtrackd.pid 2>/dev/null; }
daemon_running() { [ -n "$(daemon_pid)" ] && [ -d "/proc/$(daemon_pid)" ]; }

daemon_start() {
  hwtrackd >>/run/hwtrackd.out 2>&1 </dev/null &
  echo $! >/run/hwtrackd.pid
}

daemon_stop() {
  kill -TERM "$(daemon_pid)" 2>/dev/null
  wait_for 600 daemon_gone
}
daemon_gone() { ! daemon_running; }

# The daemon waits in select() with nothing queued on its netlink socket and
# no class script running.
daemon_idle() {
  pid=$(daemon_pid)
  [ -d "/proc/$pid" ] || return 0
  read -r _ _ state _ <"/proc/$pid/stat"
  [ "$state" = S ] || return 1
  case $(cat "/proc/$pid/wchan") in *select*) ;; *) return 1 ;; esac
  awk -v pid="$pid" '$4 == pid { child = 1 } END { exit !child }' /proc/[0-9]*/stat && return 1  # the script
  awk -v pid="$pid" '$2 == 15 && $3 == pid && $5 != 0 { busy = 1 } END { exit busy }' /proc/net/netlink
}

# Idle on three looks in a row, within a minute.
settle() {
  ok=0 n=600
  while [ "$ok" -lt 3 ]; do
    if daemon_idle; then ok=$((ok + 1)); else ok=0; fi
    n=$((n - 1)); [ "$n" -gt 0 ] || return 1
    usleep 100000
  done
}

# One line a class device with a physical device (and each partition):
# class/name, devpath, the driver of its physical device, "part" for a
# partition ("-" for none).
devices() {
  for d in /sys/class/tty/* /sys/class/net/* /sys/class/block/*; do
    [ -e "$d/device" ] || [ -e "$d/partition" ] || continue
    p=$(readlink -f "$d")
    drv=$(readlink "$d/device/driver" 2>/dev/null)
    drv=${drv##*/} part=-
    [ -e "$d/partition" ] && part=part
    echo "${d#/sys/class/} ${p#/sys} ${drv:--} $part"
  done
  for b in /sys/bus/usb/devices/usb*; do echo "usbbus/${b##*usb} $(cat "$b/speed")"; done
}

[ "$1" = serve ] || return 0
while IFS= read -r line; do
  eval "$line" </dev/null
  echo "@@rc=$?@@"
done
