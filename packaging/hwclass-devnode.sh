#!/bin/sh
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

# Sets name to the class entry's current device name. Command substitution
# drops every trailing newline and would hide a name that ends in one, so a
# sentinel keeps them; only the one newline that `rdb get` ends its output
# with is removed.
read_name() {
	name=$(rdb get "$prefix.name" && printf '.') || return 1
	name=${name%.}
	name=${name%"$nl"}
}

remove_link() {
	if [ -L "$link" ]; then
		rm -f -- "$link" || refuse "cannot remove $link"
		say info "$link removed"
	fi
}

make_link() {
	target=$1
	if [ -L "$link" ] && [ "$(readlink -- "$link")" = "$target" ]; then
		return 0
	fi
	if [ -e "$link" ] && [ ! -L "$link" ]; then
		refuse "$link exists and is not a symbolic link: left alone"
	fi
	mkdir -p -- "$root" || refuse "cannot create $root"
	tmp=$root/.$type.$index.$$
	rm -f -- "$tmp"
	ln -s -- "$target" "$tmp" || refuse "cannot create $tmp"
	# rename(2) replaces the old link in one step; -T keeps mv from moving
	# into a folder that the old link points at.
	if ! mv -f -T -- "$tmp" "$link" 2>/dev/null; then
		rm -f -- "$tmp"
		ln -sfn -- "$target" "$link" || refuse "cannot create $link"
	fi
	say info "$link -> $target"
}

case $status in
removed)
	remove_link
	;;
inserted)
	if ! read_name; then
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
