#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# hwtrackd on a simulated board, in one command.
#
# Builds hwtrackd, rdbd, rdb, hwtrack-explain and boardsim in build/
# (configuring it when it is new, rebuilding what is out of date), then lets
# `boardsim run` start, in private mount, network and PID namespaces (nothing
# of the machine's /dev, RDB or udev is touched), a syslog reader on a
# private /dev/log, the RDB stand-in rdbd, and hwtrackd on the simulated
# "gateway" board; this script is the run's hook. It plugs the modem and the
# stick, unplugs the stick and plugs it on another port, restarts the
# daemon, restarts it once more with the modem unplugged meanwhile, and
# finally plugs the modem back and boots the same board into kernel 6.6,
# whose sysfs lays several devices out differently. After each step it
# prints the daemon's syslog lines, the RDB's class table and the class
# script's calls (`boardsim report`). It ends by itself and removes
# everything it made.
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
programs=(hwtrackd rdbd rdb hwtrack-explain boardsim)

die() {
  echo "demo: $*" >&2
  exit 1
}

# `boardsim settle` waits for the daemon's log line of an event: level 6 or more.
debug="${HWTRACK_DEMO_DEBUG:-6}"
[[ "$debug" == 6 || "$debug" == 7 ]] || die "HWTRACK_DEMO_DEBUG must be 6 or 7"

# --- outside the run: build, then run this script again as the run's hook ------

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

if [[ -z "${BOARDSIM_DIR:-}" ]]; then
  build_programs
  echo "hwtrackd on a simulated board. ROOT is the board's sysfs tree; the daemon runs"
  echo "with SYSFS_PATH=ROOT and sys.hw.cfg.debug=$debug. After each step: the daemon's"
  echo "syslog (level and message; the loop's \"select() triggered\" and \"recieved from"
  echo "monitor socket\" lines left out), the class table, and the calls of the class"
  echo "script, whose arguments boardsim run records."
  echo
  echo "=== 1. boardsim run lays out the gateway board and starts hwtrackd, which reports"
  echo "===    itself ready once its start-up scans found the on-board devices and the USB gadget"
  exec "$build/bin/boardsim" run --board gateway --script "$(type -P true)" --debug "$debug" \
    -- bash "${BASH_SOURCE[0]}"
fi

# --- inside: the run's hook, with boardsim, rdb and hwtrack-explain on PATH ---

root="$BOARDSIM_ROOT"

# Runs boardsim, showing the command with ROOT for the board's folder, and
# counting the events instead of listing them: the daemon's log lists them.
board() {
  local shown="boardsim $*" out
  echo "\$ ${shown//$root/ROOT}"
  out=$(boardsim "$@")
  case "$1" in
    plug | unplug)
      local sent=" sent"
      [[ " $* " == *" --no-send "* ]] && sent=", not sent: nobody listens"
      echo "  ($(grep -c . <<<"$out") events$sent)"
      ;;
    *) sed 's/^/  /' <<<"${out//$root/ROOT}" ;;
  esac
}

# What changed since the last step, once the daemon has handled every event.
show_step() {
  boardsim settle
  boardsim report
  echo
}
step() {
  echo "=== $*"
}

show_step

step "2. plug the cellular modem on usb1: three serial ports and a network interface"
board plug "$root" modem --port usb1
show_step

step "3. plug the USB stick on usb2: its two partitions (the whole disk is not tracked)"
board plug "$root" stick --port usb2
show_step

step "4. unplug the stick: its classes stay, \"removed\""
board unplug "$root" stick
show_step

step "5. plug the stick on usb5, a port on another bus, while nobody tells the daemon; hwtrack-explain says its partitions would get their class entries back, by their unique identity"
board plug "$root" stick --port usb5 --no-send
echo "\$ hwtrack-explain /dev/sdb1 /dev/sdb2"
hwtrack-explain /dev/sdb1 /dev/sdb2 | grep -E '^(/|  (id|location|entry) )' | sed "s|^/.*/|  |; s|^|  |"
show_step

step "6. restart hwtrackd: the classes come back from the RDB \"removed\", the devices present are inserted again, the stick's partitions with the entries hwtrack-explain named"
boardsim daemon stop
boardsim daemon start
show_step

step "7. stop hwtrackd, unplug the modem meanwhile, start it: the modem's classes come back \"removed\" and stay so"
boardsim daemon stop
board unplug "$root" modem --no-send
boardsim daemon start
show_step

step "8. stop hwtrackd, plug the modem back, boot the same board into kernel 6.6 (UARTs behind serial-base ports, gadget.0, ttyGS0 without a parent, eMMC boot areas), start it: every entry comes back inserted, none is new"
boardsim daemon stop
board plug "$root" modem --port usb1 --no-send
board layout "$root" --kernel 6.6 --again
boardsim daemon start
show_step

boardsim daemon stop
echo "=== done: hwtrackd stopped; everything the demo made goes with it"
