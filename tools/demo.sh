#!/usr/bin/env bash
# hwtrackd on a simulated board, in one command.
#
# Builds hwtrackd, rdbd, rdb and boardsim in build/ (configuring it when it
# is new, rebuilding what is out of date), then, in private mount, network
# and PID namespaces (nothing of the machine's /dev, RDB or udev is touched):
# starts a syslog reader on a private /dev/log, the RDB stand-in rdbd, and
# hwtrackd on the simulated "gateway" board with a class script that records
# its calls; plugs the modem and the stick, unplugs the stick and plugs it on
# another port, restarts the daemon, restarts it once more with the modem
# unplugged meanwhile, and finally plugs the modem back and boots the same
# board into kernel 6.6, whose sysfs lays several devices out differently.
# After each step it prints the daemon's syslog lines,
# the RDB's class table and the class script's calls. It ends by itself and
# removes everything it made.
#
# usage: tools/demo.sh            (as root, or as a user where unprivileged
#                                  user namespaces are allowed)
# environment: HWTRACK_BUILD_DIR  build folder (default: build)
#              HWTRACK_DEMO_DEBUG sys.hw.cfg.debug for the daemon (default 6:
#                                 start-up and one line per event; 7 adds how
#                                 each device was identified)
set -euo pipefail

src="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="${HWTRACK_BUILD_DIR:-$src/build}"
bin="$build/bin"
programs=(hwtrackd rdbd rdb boardsim)

die() {
  echo "demo: $*" >&2
  exit 1
}

# --- outside the namespaces: build, then run this script again inside them -----

# Builds the programs into the build folder, configuring it first when it is
# new; an up-to-date build costs a second.
build_programs() {
  command -v cmake >/dev/null || die "cmake is needed to build ${programs[*]}"
  local log
  log="$(mktemp "${TMPDIR:-/tmp}/hwtrack-demo-build.XXXXXX")"
  if [[ ! -f "$build/CMakeCache.txt" ]]; then
    echo "demo: configuring $build"
    local generator=()
    command -v ninja >/dev/null && generator=(-G Ninja)
    cmake -S "$src" -B "$build" "${generator[@]}" >"$log" 2>&1 || { cat "$log" >&2; rm -f "$log"; die "cmake failed"; }
  fi
  echo "demo: building ${programs[*]} in $build"
  cmake --build "$build" --target "${programs[@]}" -j2 >"$log" 2>&1 || { cat "$log" >&2; rm -f "$log"; die "build failed"; }
  rm -f "$log"
  echo
}

run_inside() {
  local ns=(--mount --net --pid --fork --mount-proc)
  # Without root, a user namespace gives the daemon the root it checks for.
  ((EUID == 0)) || ns=(--user --map-root-user "${ns[@]}")
  command -v unshare >/dev/null || die "unshare (util-linux) is needed"
  unshare "${ns[@]}" true 2>/dev/null ||
    die "cannot create namespaces: run as root (sudo $0), or allow unprivileged user namespaces"

  local tmp child status=0
  tmp="$(mktemp -d "${TMPDIR:-/tmp}/hwtrack-demo.XXXXXX")"
  # The PID namespace ends with its first process, which takes every process
  # of the demo with it; the folder goes here. On Ctrl-C or SIGTERM the
  # namespace is ended at once (--kill-child), then the folder removed.
  trap "rm -rf '$tmp' 2>/dev/null || { sleep 1; rm -rf '$tmp'; }" EXIT
  HWTRACK_DEMO_TMP="$tmp" HWTRACK_DEMO_BIN="$bin" \
    unshare --kill-child "${ns[@]}" bash "${BASH_SOURCE[0]}" &
  child=$!
  trap "kill -KILL $child 2>/dev/null; wait $child 2>/dev/null || true; exit 130" INT TERM
  wait "$child" || status=$?
  exit "$status"
}

# The demo waits for the daemon's log line of each event: level 6 or more.
debug="${HWTRACK_DEMO_DEBUG:-6}"
[[ "$debug" == 6 || "$debug" == 7 ]] || die "HWTRACK_DEMO_DEBUG must be 6 or 7"

if [[ -z "${HWTRACK_DEMO_TMP:-}" ]]; then
  build_programs
  run_inside
fi

# --- inside: PID 1 of a private PID namespace, with private mounts and network ---

tmp="$HWTRACK_DEMO_TMP"
bin="$HWTRACK_DEMO_BIN"
boardsim="$bin/boardsim"
root="$tmp/sys"
syslog="$tmp/syslog.txt"
calls="$tmp/script-calls.txt"
export RDB_DEVICE="$tmp/rdb.sock"

pids=()
stop_all() {
  local pid
  for pid in "${pids[@]}"; do kill -TERM "$pid" 2>/dev/null || true; done
  wait 2>/dev/null || true
}
trap stop_all EXIT
trap 'exit 130' INT TERM

# A private /dev: /dev/null from the machine, /dev/log our own.
touch "$tmp/null"
mount --bind /dev/null "$tmp/null"
mount -t tmpfs -o mode=755,size=1m demo-dev /dev
touch /dev/null
mount --bind "$tmp/null" /dev/null

# Polls a condition for up to a minute (the machine may be busy).
wait_for() {
  local what="$1"
  shift
  for _ in $(seq 600); do
    "$@" && return 0
    sleep 0.1
  done
  die "timed out waiting for $what"
}
monitor_bound() { grep -q '@/org/kernel/udev/monitor$' /proc/net/unix; }

"$boardsim" syslog /dev/log >"$syslog" &
pids+=($!)
wait_for "the syslog reader" test -S /dev/log

"$bin/rdbd" --socket "$RDB_DEVICE" --store "$tmp/rdb.store" 2>"$tmp/rdbd.log" &
pids+=($!)
wait_for "rdbd" test -S "$RDB_DEVICE"

# The class script the daemon runs: it records its arguments.
cat >"$tmp/hwclass.sh" <<EOF
#!/bin/sh
echo "\$*" >>"$calls"
EOF
chmod +x "$tmp/hwclass.sh"
: >"$calls"
"$bin/rdb" set -p sys.hw.cfg.hwclass_script "$tmp/hwclass.sh"
"$bin/rdb" set -p sys.hw.cfg.debug "$debug"

daemon_pid=
start_daemon() {
  SYSFS_PATH="$root" "$bin/hwtrackd" >>"$tmp/hwtrackd.out" 2>&1 &
  daemon_pid=$!
  pids+=("$daemon_pid")
  wait_for "hwtrackd's monitor socket" monitor_bound
}
stop_daemon() {
  kill -TERM "$daemon_pid"
  wait "$daemon_pid" || die "hwtrackd ended with status $?"
}

# Every event sent before it has been handled once the daemon logs this one:
# the daemon takes its events one at a time, in order.
settles=0
settle() {
  settles=$((settles + 1))
  local marker="/devices/virtual/demo/settle$settles"
  "$boardsim" send change "$marker" demo >/dev/null
  wait_for "hwtrackd to handle the events" grep -qF "$marker" "$syslog"
}

# What changed since the last step: the daemon's log lines, the class table
# and the class script's calls.
log_seen=0
calls_seen=0
show_step() {
  local lines
  echo "--- hwtrackd's syslog"
  lines=$(wc -l <"$syslog")
  sed -n "$((log_seen + 1)),${lines}p" "$syslog" |
    grep -F ' hwtrackd[' |
    grep -vE 'select\(\) triggered|recieved from (monitor|netlink) socket|/devices/virtual/demo/settle|start to change' |
    sed -E 's/^([a-z]+ +)hwtrackd\[[0-9]+\]: <[^>]*> /  \1/' || true
  log_seen=$lines
  echo "--- class table"
  "$boardsim" show classes | tail -n +2
  echo "--- class script calls"
  lines=$(wc -l <"$calls")
  if ((lines > calls_seen)); then
    sed -n "$((calls_seen + 1)),${lines}p" "$calls" | sed 's/^/  hwclass.sh /'
  else
    echo "  (none)"
  fi
  calls_seen=$lines
  echo
}
step() {
  echo "=== $*"
}
# Runs boardsim, showing the command with ROOT for the board's folder, and
# counting the events instead of listing them: the daemon's log lists them.
board() {
  local shown="boardsim $*" out
  echo "\$ ${shown//$root/ROOT}"
  out=$("$boardsim" "$@")
  case "$1" in
    plug | unplug)
      local sent=" sent"
      [[ " $* " == *" --no-send "* ]] && sent=", not sent: nobody listens"
      echo "  ($(grep -c . <<<"$out") events$sent)"
      ;;
    *) sed 's/^/  /' <<<"$out" ;;
  esac
}

echo "hwtrackd on a simulated board. ROOT is the board's sysfs tree ($root);"
echo "the daemon runs with SYSFS_PATH=ROOT and sys.hw.cfg.debug=$debug. After each step:"
echo "the daemon's syslog (level and message; the loop's \"select() triggered\" and"
echo "\"recieved from monitor socket\" lines left out), the class table, and the"
echo "calls of the class script, a shell script that records its arguments."
echo

step "1. lay out the gateway board, start hwtrackd: on-board devices and the USB gadget are found"
board layout "$root" --board gateway
start_daemon
settle
show_step

step "2. plug the cellular modem on usb1: three serial ports and a network interface"
board plug "$root" modem --port usb1
settle
show_step

step "3. plug the USB stick on usb2: its two partitions (the whole disk is not tracked)"
board plug "$root" stick --port usb2
settle
show_step

step "4. unplug the stick: its classes stay, \"removed\""
board unplug "$root" stick
settle
show_step

step "5. plug the stick on usb5, a port on another bus: it gets its class indexes back"
board plug "$root" stick --port usb5
settle
show_step

step "6. restart hwtrackd: the classes come back from the RDB \"removed\", the devices present are inserted again"
stop_daemon
start_daemon
settle
show_step

step "7. stop hwtrackd, unplug the modem meanwhile, start it: the modem's classes come back \"removed\" and stay so"
stop_daemon
board unplug "$root" modem --no-send
start_daemon
settle
show_step

step "8. stop hwtrackd, plug the modem back, boot the same board into kernel 6.6 (UARTs behind serial-base ports, gadget.0, ttyGS0 without a parent, eMMC boot areas), start it: every entry comes back inserted, none is new"
stop_daemon
board plug "$root" modem --port usb1 --no-send
board layout "$root" --kernel 6.6 --again
start_daemon
settle
show_step

stop_daemon
echo "=== done: hwtrackd stopped; everything the demo made goes with it"
