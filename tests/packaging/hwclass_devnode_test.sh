#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Unit test of the example class script against a fake `rdb` (values from a
# folder, one file a variable) and a fake `logger` on PATH. Links go below a
# temporary DEVNODE_ROOT; nothing outside the temporary folder is touched.
#
# usage: hwclass_devnode_test.sh SCRIPT SHELL [busybox]
#   SHELL runs the script (dash, "busybox sh", ...); with "busybox" every
#   tool on PATH is a BusyBox applet, as on a board (and, as in Debian's
#   BusyBox, there is no flock: the script locks with a folder).
set -uo pipefail

script=$1
shell=$2
tools=${3:-system}

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
export DEVNODE_ROOT=$tmp/hw
export FAKE_RDB=$tmp/rdb
export FAKE_LOG=$tmp/log
mkdir -p "$tmp/bin" "$FAKE_RDB"
cd "$tmp" || exit 1

if [[ $tools == busybox ]]; then
  busybox --install -s "$tmp/bin"
  ln -sf "$(command -v busybox)" "$tmp/bin/busybox"
  rm -f "$tmp/bin/logger"
  export PATH=$tmp/bin
else
  export PATH=$tmp/bin:$PATH
fi
cat >"$tmp/bin/rdb" <<'EOF'
#!/bin/sh
# rdb get NAME: the file's bytes and a newline; exit 1 when absent or when
# the RDB is "down" (FAKE_RDB_DOWN set).
[ "$1" = get ] && [ $# -eq 2 ] || exit 2
[ -z "${FAKE_RDB_DOWN:-}" ] || { echo "rdb: cannot open the RDB device" >&2; exit 1; }
[ -f "$FAKE_RDB/$2" ] || exit 1
cat "$FAKE_RDB/$2"
echo
EOF
cat >"$tmp/bin/logger" <<'EOF'
#!/bin/sh
printf '%s\n' "$*" >>"$FAKE_LOG"
EOF
chmod +x "$tmp/bin/rdb" "$tmp/bin/logger"

failures=0
tests=0
ok() { tests=$((tests + 1)); echo "ok - $1"; }
not_ok() {
  tests=$((tests + 1))
  failures=$((failures + 1))
  echo "not ok - $1"
  [[ -f $FAKE_LOG ]] && sed 's/^/#   log: /' "$FAKE_LOG"
}
check() { # check NAME COMMAND...
  local name=$1
  shift
  if "$@"; then ok "$name"; else not_ok "$name"; fi
}

# set_name PREFIX VALUE: what `rdb get PREFIX.name` prints (without its newline)
set_name() { printf '%s' "$2" >"$FAKE_RDB/$1.name"; }
unset_name() { rm -f "$FAKE_RDB/$1.name"; }
run() { # run ARGS...: the script's exit status in $rc
  : >"$FAKE_LOG"
  # shellcheck disable=SC2086 # SHELL may be "busybox sh"
  $shell "$script" "$@" >"$tmp/out" 2>&1
  rc=$?
}
link_is() { [[ -L $DEVNODE_ROOT/$1 && $(readlink "$DEVNODE_ROOT/$1") == "$2" ]]; }
no_link() { [[ ! -e $DEVNODE_ROOT/$1 && ! -L $DEVNODE_ROOT/$1 ]]; }
only_links() { # the folder holds exactly these entries (no leftovers)
  local want got
  want=$(printf '%s\n' "$@" | sort)
  got=$(ls -A "$DEVNODE_ROOT" 2>/dev/null | sort)
  [[ $want == "$got" ]]
}
rc_is() { [[ $rc == "$1" ]]; }

S0=sys.hw.class.serial.0

# --- inserted and removed
set_name $S0 /dev/ttyUSB0
run $S0 serial 0 inserted
check "inserted creates the folder and the link" eval 'rc_is 0 && link_is serial.0 /dev/ttyUSB0'
inode=$(stat -c %i "$DEVNODE_ROOT/serial.0")
run $S0 serial 0 inserted
check "inserted twice leaves the link as it is" \
  eval 'rc_is 0 && link_is serial.0 /dev/ttyUSB0 && [[ $(stat -c %i "$DEVNODE_ROOT/serial.0") == "$inode" ]]'
set_name $S0 /dev/ttyUSB3
run $S0 serial 0 inserted
check "inserted with a new name replaces the link" eval 'rc_is 0 && link_is serial.0 /dev/ttyUSB3'
check "no temporary files are left behind" only_links serial.0
run $S0 serial 0 removed
check "removed deletes the link" eval 'rc_is 0 && no_link serial.0'
run $S0 serial 0 removed
check "removed twice is no error" eval 'rc_is 0 && no_link serial.0'

set_name sys.hw.class.storage.2 /dev/sda1
run sys.hw.class.storage.2 storage 2 inserted
check "storage partitions get links too" eval 'rc_is 0 && link_is storage.2 /dev/sda1'
set_name sys.hw.class.phonemodule.1 /dev/ttyS2
run sys.hw.class.phonemodule.1 phonemodule 1 inserted
check "static phonemodule entries get links" eval 'rc_is 0 && link_is phonemodule.1 /dev/ttyS2'

# --- names without a device node
set_name sys.hw.class.eth.0 eth0
run sys.hw.class.eth.0 eth 0 inserted
check "a network interface name makes no link" eval 'rc_is 0 && no_link eth.0'
set_name sys.hw.class.serial.4 ""
run sys.hw.class.serial.4 serial 4 inserted
check "an empty name makes no link" eval 'rc_is 0 && no_link serial.4'
unset_name sys.hw.class.serial.5
run sys.hw.class.serial.5 serial 5 inserted
check "an absent name makes no link and is logged" \
  eval 'rc_is 0 && no_link serial.5 && grep -q "sys.hw.class.serial.5.name not set" "$FAKE_LOG"'
set_name sys.hw.class.serial.6 /etc/shadow
run sys.hw.class.serial.6 serial 6 inserted
check "a name outside /dev makes no link" eval 'rc_is 0 && no_link serial.6'

# --- odd characters are kept exactly
odd=$'/dev/odd name \'"$(touch x)*?[a]\\ `id` \t-x'
set_name sys.hw.class.serial.7 "$odd"
run sys.hw.class.serial.7 serial 7 inserted
check "a name with blanks, quotes, globs and \$() is linked verbatim" \
  eval 'rc_is 0 && link_is serial.7 "$odd" && [[ ! -e x && ! -e $DEVNODE_ROOT/x ]]'
set_name sys.hw.class.serial.8 "/dev/-rf"
run sys.hw.class.serial.8 serial 8 inserted
check "a name whose last part starts with - is linked verbatim" eval 'rc_is 0 && link_is serial.8 /dev/-rf'

# --- names that could lead elsewhere are refused
for bad in "/dev/../etc/passwd" "/dev/x/.." $'/dev/tty\nUSB0' $'/dev/ttyUSB0\n'; do
  set_name sys.hw.class.serial.9 "$bad"
  run sys.hw.class.serial.9 serial 9 inserted
  check "refused: $(printf '%q' "$bad")" \
    eval 'rc_is 1 && no_link serial.9 && grep -q "refused as link target" "$FAKE_LOG"'
done
set_name sys.hw.class.serial.9 /dev/ttyS9
ln -s /dev/ttyS1 "$DEVNODE_ROOT/serial.9"
set_name sys.hw.class.serial.9 $'/dev/ttyS9\n'
run sys.hw.class.serial.9 serial 9 inserted
check "a refused name leaves an existing link alone" eval 'rc_is 1 && link_is serial.9 /dev/ttyS1'
rm -f "$DEVNODE_ROOT/serial.9"

# --- what is in the link's place
echo keep >"$DEVNODE_ROOT/serial.10"
set_name sys.hw.class.serial.10 /dev/ttyUSB1
run sys.hw.class.serial.10 serial 10 inserted
check "a regular file in the link's place is left alone" \
  eval 'rc_is 1 && [[ ! -L $DEVNODE_ROOT/serial.10 && $(cat "$DEVNODE_ROOT/serial.10") == keep ]]'
run sys.hw.class.serial.10 serial 10 removed
check "removed leaves a regular file alone" eval '[[ -f $DEVNODE_ROOT/serial.10 ]]'
rm -f "$DEVNODE_ROOT/serial.10"

mkdir -p "$tmp/somedir"
ln -s "$tmp/somedir" "$DEVNODE_ROOT/serial.11"
set_name sys.hw.class.serial.11 /dev/ttyUSB2
run sys.hw.class.serial.11 serial 11 inserted
check "a link to a folder is replaced, not written into" \
  eval 'rc_is 0 && link_is serial.11 /dev/ttyUSB2 && [[ -z $(ls -A "$tmp/somedir") ]]'

# --- arguments
set_name $S0 /dev/ttyUSB0
for args in "" "$S0 serial 0" "$S0 serial 0 inserted extra" "$S0 serial 0 plugged" \
  "sys.hw.class.(null).0 (null) 0 inserted" "$S0 serial 0x inserted" "$S0 serial -1 inserted" \
  "sys.hw.class.serial.1 serial 0 inserted" "sys.hw.class.eth.0 serial 0 inserted" \
  "$S0 serial 0000000000 inserted" "../../x serial 0 inserted"; do
  # shellcheck disable=SC2086 # word splitting wanted
  run $args
  check "bad arguments: '$args'" eval 'rc_is 2 && no_link serial.0 && grep -q usage "$tmp/out"'
done

DEVNODE_ROOT=relative/hw run $S0 serial 0 inserted
check "a relative DEVNODE_ROOT is refused" eval 'rc_is 1 && [[ ! -e relative ]]'

# --- links of other entries that no longer hold, in a fresh folder
export DEVNODE_ROOT=$tmp/hw2
mkdir -p "$DEVNODE_ROOT"
entry() { # entry TYPE.INDEX STATUS NAME [LINK_TARGET]
  printf '%s' "$2" >"$FAKE_RDB/sys.hw.class.$1.status"
  set_name "sys.hw.class.$1" "$3"
  ln -sfn "${4:-$3}" "$DEVNODE_ROOT/$1"
}
entry serial.20 removed /dev/ttyUSB0
entry serial.21 inserted /dev/ttyUSB5 /dev/ttyUSB1
entry serial.22 inserted /dev/ttyUSB2
entry storage.3 inserted $'/dev/sd b1'
ln -s /dev/sdc1 "$DEVNODE_ROOT/storage.23" # no entry at all
ln -s /dev/null "$DEVNODE_ROOT/keep.me"
echo keep >"$DEVNODE_ROOT/serial.24"
entry eth.0 inserted eth0 /dev/null
all_links=(eth.0 keep.me serial.20 serial.21 serial.22 serial.24 storage.23 storage.3)
FAKE_RDB_DOWN=1 run sys.hw.class.eth.0 eth 0 inserted
check "an RDB that does not answer removes nothing" eval 'rc_is 0 && only_links "${all_links[@]}"'
run sys.hw.class.eth.0 eth 0 inserted
check "any call removes the links of entries not inserted or with another name" \
  eval 'rc_is 0 && only_links eth.0 keep.me serial.22 serial.24 storage.3 && link_is serial.22 /dev/ttyUSB2'
check "the removals are logged" grep -q "serial.21 removed: serial.21 is not inserted" "$FAKE_LOG"

# --- the lock: a call waits while another holds it
waits_for_lock() { # a child of pid $1 sleeps in flock or in the retry loop
  local f line
  for f in /proc/[0-9]*/stat; do
    read -r line 2>/dev/null <"$f" || continue
    [[ $line =~ ^[0-9]+\ \((flock|sleep)\)\ .\ $1\  ]] && return 0
  done
  return 1
}
eventually() { # eventually COMMAND...: true within 30 s
  local n=0
  until "$@"; do ((++n < 600)) || return 1; sleep 0.05; done
}
set_name sys.hw.class.serial.25 /dev/ttyS25
if [[ $tools == busybox ]]; then
  mkdir "$DEVNODE_ROOT/.lock" && echo $$ >"$DEVNODE_ROOT/.lock/pid"
  release() { rm -rf "$DEVNODE_ROOT/.lock"; }
else
  exec 8<"$DEVNODE_ROOT" && flock 8
  release() { exec 8<&-; }
fi
# shellcheck disable=SC2086 # SHELL may be "busybox sh"
$shell "$script" sys.hw.class.serial.25 serial 25 inserted >/dev/null 2>&1 8<&- &
check "a held lock makes the call wait" eval 'eventually waits_for_lock $! && no_link serial.25'
release
wait $!
check "the call goes on once the lock is free" link_is serial.25 /dev/ttyS25
if [[ $tools == busybox ]]; then
  mkdir "$DEVNODE_ROOT/.lock" && echo 999999 >"$DEVNODE_ROOT/.lock/pid"
  run sys.hw.class.serial.25 serial 25 removed
  check "a lock folder left by a dead call is broken" \
    eval 'rc_is 0 && no_link serial.25 && [[ ! -e $DEVNODE_ROOT/.lock ]]'
fi

echo "1..$tests"
((failures == 0))
