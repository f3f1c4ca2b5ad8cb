#!/bin/sh
# SPDX-License-Identifier: MIT
# hwclass-devnode: class script for hwtrackd that gives every serial port and
# storage partition a stable device node, /dev/hw/<type>.<index>, such as
# /dev/hw/serial.0, a symbolic link to the node the kernel gave the device
# this time (/dev/ttyUSB3, /dev/sda1, ...).
#
# Configure it with
#     rdb set -p sys.hw.cfg.hwclass_script /usr/libexec/hwtrackd/hwclass-devnode
# hwtrackd then runs it on every change of a class entry as
#     hwclass-devnode <prefix> <type> <index> <status>
# for instance "sys.hw.class.serial.0 serial 0 inserted".
#
# inserted: reads "<prefix>.name" with `rdb get`. A name below /dev/ gets the
#           link; any other name (network interfaces: eth0, wwan0) has no node
#           and is left alone.
# removed:  removes the link.
#
# Every call also removes the links of other entries that no longer hold:
# the entry is not "inserted", or its name is not the link's target. Some
# devices that go never get a "removed" call: unplugged while the daemon
# was stopped and the RDB lost its volatile status (a reboot with a link
# folder that survives it, an rdbd restart), gone while the RDB was away,
# or their call failed; their node may since belong to another device.
# Their links go at the next call. Calls take a lock on the link folder,
# so two of them never work on it at once.
#
# Running it twice with the same arguments changes nothing; a link is
# replaced in one rename, so a reader never finds it missing. Nothing is
# created outside the link folder, and names that could lead elsewhere
# ("/.." components, newlines) are refused.
#
# Environment: DEVNODE_ROOT, the link folder (default /dev/hw).
# Exit status: 0 done or nothing to do, 1 refused or failed, 2 bad arguments.

set -u
set -f

PATH=${PATH:-/usr/sbin:/usr/bin:/sbin:/bin}
me=hwclass-devnode
root=${DEVNODE_ROOT:-/dev/hw}
nl='
'

say() {
	logger -t "$me" -p "daemon.$1" -- "$2" 2>/dev/null || :
}

refuse() {
	say err "$1"
	exit 1
}

usage() {
	echo "usage: $me <rdb prefix> <type> <index> <inserted|removed>" >&2
	exit 2
}

[ $# -eq 4 ] || usage
prefix=$1 type=$2 index=$3 status=$4

case $type in
	serial | eth | storage | phonemodule) ;;
	*) usage ;;
esac
case $index in
	'' | *[!0-9]*) usage ;;
esac
[ "${#index}" -le 9 ] || usage
[ "$prefix" = "sys.hw.class.$type.$index" ] || usage
case $status in
	inserted | removed) ;;
	*) usage ;;
esac
case $root in
	/*) ;;
	*) refuse "DEVNODE_ROOT must be an absolute path: $root" ;;
esac

link=$root/$type.$index

# output COMMAND...: sets out to what COMMAND prints, less the one newline
# it ends its line with. Command substitution drops every trailing newline
# and would hide a name that ends in one, so a sentinel keeps them.
output() {
	out=$("$@" && printf '.') || return 1
	out=${out%.}
	out=${out%"$nl"}
}

# read_name PREFIX: sets name to the class entry's current device name.
read_name() {
	output rdb get "$1.name" && name=$out
}

# link_target LINK: sets target to what LINK points at, exactly.
link_target() {
	output readlink -- "$1" && target=$out
}

nap() {
	sleep 0.1 2>/dev/null || sleep 1
}

# Takes the lock on the link folder. flock(1) where there is one: the
# kernel drops the lock with its holder. Otherwise (BusyBox without the
# applet) a lock folder with the holder's pid in it; a lock whose holder is
# gone, or that is held for longer than any call takes (10 s), is broken.
take_lock() {
	mkdir -p -- "$root" || refuse "cannot create $root"
	if command -v flock >/dev/null 2>&1; then
		{ exec 9<"$root" && flock 9; } || refuse "cannot lock $root"
		return 0
	fi
	lock=$root/.lock
	waited=0
	until mkdir -- "$lock" 2>/dev/null; do
		holder=$(cat -- "$lock/pid" 2>/dev/null) || holder=
		if { [ -n "$holder" ] && ! kill -0 "$holder" 2>/dev/null; } || [ "$waited" -ge 100 ]; then
			say notice "breaking the lock $lock of pid ${holder:-unknown}"
			rm -rf -- "$lock"
			waited=0
			continue
		fi
		nap
		waited=$((waited + 1))
	done
	trap 'rm -rf -- "$lock"' EXIT
	trap 'exit 1' HUP INT TERM
	echo $$ >"$lock/pid"
}

# link_holds ENTRY: the link ENTRY (<type>.<index>) still stands for its
# class entry: "inserted", and the entry's name is the link's target.
link_holds() {
	[ "$(rdb get "sys.hw.class.$1.status")" = inserted ] &&
		read_name "sys.hw.class.$1" && link_target "$root/$1" &&
		[ "$target" = "$name" ]
}

# Removes the links of the other entries that no longer hold. Only run
# while the RDB answers, so that an RDB that is down never empties the
# folder.
remove_stale_links() {
	set +f
	set -- "$root"/*
	set -f
	for other; do
		entry=${other##*/}
		case $entry in
			"$type.$index") continue ;; # this call's own link
			serial.* | eth.* | storage.* | phonemodule.*) ;;
			*) continue ;;
		esac
		case ${entry#*.} in
			'' | *[!0-9]*) continue ;;
		esac
		if [ -L "$other" ] && ! link_holds "$entry"; then
			rm -f -- "$other" && say info "$other removed: $entry is not inserted with that name"
		fi
	done
}

remove_link() {
	if [ -L "$link" ]; then
		rm -f -- "$link" || refuse "cannot remove $link"
		say info "$link removed"
	fi
}

make_link() {
	if [ -L "$link" ] && link_target "$link" && [ "$target" = "$1" ]; then
		return 0
	fi
	if [ -e "$link" ] && [ ! -L "$link" ]; then
		refuse "$link exists and is not a symbolic link: left alone"
	fi
	tmp=$root/.$type.$index.$$
	rm -f -- "$tmp"
	ln -s -- "$1" "$tmp" || refuse "cannot create $tmp"
	# rename(2) replaces the old link in one step; -T keeps mv from moving
	# into a folder that the old link points at.
	if ! mv -f -T -- "$tmp" "$link" 2>/dev/null; then
		rm -f -- "$tmp"
		ln -sfn -- "$1" "$link" || refuse "cannot create $link"
	fi
	say info "$link -> $1"
}

take_lock
if rdb get "$prefix.status" >/dev/null; then
	remove_stale_links
else
	say warning "$prefix.status cannot be read: stale links are left"
fi

case $status in
removed)
	remove_link
	;;
inserted)
	if ! read_name "$prefix"; then
		say notice "$prefix.name not set: no link for $link"
		exit 0
	fi
	case $name in
		/dev/?*) ;;
		*) exit 0 ;; # network interfaces and empty names have no node
	esac
	case $name in
		*"$nl"* | */.. | */../* | "$root" | "$root"/*)
			refuse "$prefix.name refused as link target: $name" ;;
	esac
	make_link "$name"
	;;
esac
exit 0
