#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""hwtrackd on a real kernel: Debian's kernels in QEMU, devices plugged and
unplugged over QMP, and one check after every step: each device the rules
track is held by exactly one class entry, no two present devices share an
identity, and the RDB agrees with the class script's calls.

usage: tests/vm/scenario.py [--arch x86_64|aarch64] [--build DIR]
                            [--run KERNEL:SETTING ...] [--only STEP] [--shell]
                            [--accel A[:B]] [--limit SECONDS]
KERNEL is 6.1 or 6.12; SETTING is the value of sys.hw.cfg.internal_usb_bus
("absent" leaves it unset). Exits 0 when every step of every run passed.
docs/real-kernel.md tells what each step checks.
"""
import argparse
import re
import signal
import subprocess
import sys
import tempfile
import time
from dataclasses import dataclass
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parents[2] / "tools" / "vm"))
import machine as vm  # noqa: E402  (tools/vm: the QEMU board this scenario drives)

USB2, USB3 = 480, 5000  # speeds of the controller's two root hubs in sysfs


@dataclass
class Device:
    """A device QEMU plugs: its QEMU driver, its port on the xHCI controller
    ("1.3": port 3 of the hub on port 1; none for PCI), the class devices
    it brings (ttys, interfaces, partitions) and the speed of its bus."""
    driver: str
    port: str = ""
    serial: str = ""
    drive: str = ""
    count: int = 1
    speed: int = USB2


DEVICES = {
    "ftdi-a": Device("usb-serial", "2", "FT00A"),
    "ftdi-b": Device("usb-serial", "3", "FT00B"),
    "twin-1": Device("usb-serial", "5", "TWIN"),
    "twin-2": Device("usb-serial", "1.3", "TWIN"),
    "usbnet": Device("usb-net", "7"),
    "stick": Device("usb-storage", "1.2", drive="stick", count=2),
    "ss-stick": Device("usb-storage", "6", drive="ss-stick", speed=USB3),
    "nic": Device("e1000e"),
}
COLDPLUG = ["ftdi-a", "usbnet", "stick"]
# The sticks' images: 16 MiB, partitions as (first sector, sectors).
IMAGES = {"stick": [(2048, 14336), (16384, 16384)], "ss-stick": [(2048, 30720)]}


# --- what the guest shows -------------------------------------------------------

@dataclass
class Present:
    """A class device in the guest's sysfs."""
    name: str      # "tty/ttyUSB0", "net/eth0", "block/sda1"
    devpath: str
    driver: str    # of its physical device
    partition: bool


class Snapshot:
    def __init__(self, agent, log_from, full=True):
        self.present, self.buses = {}, {}
        for line in agent.ok("devices").splitlines():
            f = line.split(" ")
            if f[0].startswith("usbbus/"):
                self.buses[int(f[0][7:])] = int(f[1])
            else:
                self.present[f[1]] = Present(f[0], f[1], f[2], f[0].startswith("block/") and f[3] == "part")
        if not full:
            return
        self.rdb = dict(line.split("=", 1) for line in agent.ok("rdb dump").splitlines() if "=" in line)
        self.calls = agent.ok("cat /run/calls 2>/dev/null || true").splitlines()
        self.log = agent.ok(f"sed -n '{log_from},$p' /run/messages").splitlines()

    def entries(self):
        """Class entry prefix ("sys.hw.class.serial.0.") -> its variables."""
        out = {}
        for name, value in self.rdb.items():
            m = re.fullmatch(r"(sys\.hw\.class\.\w+\.\d+\.)(\w+)", name)
            if m:
                out.setdefault(m[1], {})[m[2]] = value
        return out

    def holder(self, devpath):
        """The entry that holds the present device at devpath, or None."""
        for prefix, e in self.entries().items():
            if e.get("status") == "inserted" and self.rdb.get(f"sys.hw.{e.get('dev')}.devpath") == devpath:
                return prefix
        return None


# --- the scenario ---------------------------------------------------------------

class Scenario:
    def __init__(self, vm_, setting):
        self.agent, self.qmp = vm_.agent, vm_.qmp
        self.setting = setting
        self.where = {name: DEVICES[name].port for name in COLDPLUG}  # plugged now: name -> port
        self.chardevs = {f"ch-{n}" for n in COLDPLUG if DEVICES[n].driver == "usb-serial"}
        self.history = {}  # step key -> {device name: entry prefix}
        self.log_from = 1
        self.calls_seen = 0  # the class script's calls before the step
        self.step_calls = []  # and during it

    # Internal buses by the setting: absent, bus number 2; "none", no bus.
    def internal(self, bus):
        return self.setting == "absent" and bus == 2

    def owner(self, snap, p):
        """Which plugged device (or which part of the machine) a class device belongs to."""
        for comp in reversed(p.devpath.split("/")):
            m = re.fullmatch(r"(\d+)-([\d.]+)", comp)
            if m:
                speed = snap.buses.get(int(m[1]))
                for name, port in self.where.items():
                    if port == m[2] and DEVICES[name].speed == speed:
                        return name
                return f"an unknown USB device {comp}"
        if p.driver == "e1000e":
            return "nic"
        if "/pnp0/" in p.devpath or ".pl011/" in p.devpath:
            return "on-board UART"
        if "/serial8250/" in p.devpath:
            return "8250 placeholder"
        return "something else"

    def bus_of(self, p):
        m = re.search(r"/usb(\d+)/", p.devpath)
        return int(m[1]) if m else None

    def tracked(self, snap, p):
        """Whether the rules track a class device: ttys, interfaces and
        partitions of the devices plugged, and the machine's UARTs; not
        the 8250 placeholders, whole disks or devices on an internal bus."""
        who = self.owner(snap, p)
        if who == "on-board UART":
            return True
        if who not in self.where or (p.name.startswith("block/") and not p.partition):
            return False
        bus = self.bus_of(p)
        return bus is None or not self.internal(bus)

    def entries_of(self, snap):
        """Plugged device -> the entry holding it (its first class device's)."""
        out = {}
        for p in sorted(snap.present.values(), key=lambda p: p.name):
            who = self.owner(snap, p)
            if who in self.where and who not in out:
                out[who] = snap.holder(p.devpath)
        return out

    # -- actions --------------------------------------------------------------

    def wait_plugged(self):
        """Waits until the plugged devices show their class devices, and
        unplugged ones none."""
        deadline = time.monotonic() + 120
        while True:
            snap = Snapshot(self.agent, self.log_from, full=False)
            counts = {n: 0 for n in self.where}
            for p in snap.present.values():
                who = self.owner(snap, p)
                if who in counts and (not p.name.startswith("block/") or p.partition):
                    counts[who] += 1
                elif who.startswith("an unknown"):
                    counts[who] = -1
            if counts == {n: DEVICES[n].count for n in self.where}:
                return
            if time.monotonic() > deadline:
                raise vm.VmError(f"devices not as plugged within 120 s: {counts}")
            time.sleep(0.3)

    def settle(self):
        """Waits for the devices, then until the daemon has handled every event."""
        self.wait_plugged()
        self.agent.ok("settle", bound=90)

    def start(self):
        self.wait_plugged()  # all there before the start: no add event races the start-up scan
        self.agent.ok("daemon_start")

    def restart(self):
        self.agent.ok("daemon_stop", bound=90)
        self.agent.ok("daemon_start")

    def plug(self, *names, port=None):
        for name in names:
            d = DEVICES[name]
            args = {"driver": d.driver, "id": name}
            if d.port:
                args |= {"bus": "xhci.0", "port": port or d.port}
                self.where[name] = port or d.port
            else:
                args |= {"bus": "rp1"}
                self.where[name] = ""
            if d.serial:
                args["serial"] = d.serial
            if d.drive:
                args["drive"] = d.drive
            if d.driver == "usb-serial":
                args["chardev"] = f"ch-{name}"
                if args["chardev"] not in self.chardevs:  # an open chardev, or it does not attach
                    self.qmp.cmd("chardev-add", id=args["chardev"],
                                 backend={"type": "ringbuf", "data": {"size": 4096}})
                    self.chardevs.add(args["chardev"])
            self.qmp.cmd("device_add", **args)

    def unplug(self, *names):
        for name in names:
            self.qmp.cmd("device_del", id=name)
            # PCI waits for the guest to let go of the device.
            self.qmp.wait_event("DEVICE_DELETED", {"device": name}, 120)
            del self.where[name]

    def unplug_all(self):
        self.unplug(*list(self.where))

    def rename(self):
        snap = Snapshot(self.agent, self.log_from)
        iface = next(p.name[4:] for p in snap.present.values()
                     if p.name.startswith("net/") and self.owner(snap, p) == "usbnet")
        self.agent.ok(f"ip link set dev {iface} name wan0")

    def plug_during_scan(self):
        """Unplugs the network adapter, then plugs it while the start-up
        scan waits in its first class script: the scan finds the adapter,
        and its add event waits in the socket."""
        self.unplug("usbnet")
        self.settle()
        self.agent.ok("daemon_stop; touch /run/script-hold; daemon_start", bound=90)
        self.agent.ok("wait_for 1200 test -e /run/script-held")
        self.plug("usbnet")
        self.wait_plugged()
        self.agent.ok("rm /run/script-hold /run/script-held")

    def stop_under_script(self):
        """Unplugs an adapter with a class script that stays running, plugs
        it back (its events wait in the socket), asks the daemon to stop,
        lets the script end: the daemon ends and starts no other script.
        Started again, it finds the adapter on its entry."""
        self.agent.ok("touch /run/script-hold")
        self.unplug("ftdi-b")
        self.agent.ok("wait_for 1200 test -e /run/script-held")
        self.plug("ftdi-b")
        self.wait_plugged()
        calls = self.agent.ok("cat /run/calls").splitlines()
        self.agent.ok("kill -TERM $(daemon_pid)")
        self.agent.ok("rm /run/script-hold; daemon_stop", bound=90)
        after = self.agent.ok("cat /run/calls").splitlines()[len(calls):]
        self.agent.ok("rm /run/script-held; daemon_start")
        return [f"class script started after the stop request: {after}"] if after else []

    # -- the check ------------------------------------------------------------

    def invariant(self, snap):
        """One entry, one device; what fails, in words."""
        bad = []
        entries = snap.entries()
        held, identities = {}, {}
        for prefix, e in sorted(entries.items()):
            status, dev = e.get("status"), e.get("dev", "")
            if status == "removed":
                if dev:
                    bad.append(f"{prefix} removed but still names {dev}")
                continue
            if status != "inserted":
                bad.append(f"{prefix} has status {status!r}")
                continue
            devpath = snap.rdb.get(f"sys.hw.{dev}.devpath")
            if devpath not in snap.present:
                bad.append(f"{prefix} inserted, holds {dev} ({devpath}), which is not present")
            if devpath in held:
                bad.append(f"{prefix} and {held[devpath]} both hold {devpath}")
            held[devpath] = prefix
            ident = (e.get("id"), e.get("location"))
            if ident in identities:
                bad.append(f"{prefix} and {identities[ident]} share the identity {ident}")
            identities[ident] = prefix
            if e.get("name") != snap.rdb.get(f"sys.hw.{dev}.name"):
                bad.append(f"{prefix} name {e.get('name')!r}, its device's {snap.rdb.get(f'sys.hw.{dev}.name')!r}")
        devs = {m[1] for n in snap.rdb if (m := re.fullmatch(r"sys\.hw\.(dev\.\d+)\.devpath", n))}
        holding = {e.get("dev") for e in entries.values() if e.get("status") == "inserted"}
        for dev in sorted(devs - holding):
            bad.append(f"sys.hw.{dev} ({snap.rdb[f'sys.hw.{dev}.devpath']}) is held by no entry")
        for p in sorted(snap.present.values(), key=lambda p: p.name):
            want, has = self.tracked(snap, p), snap.holder(p.devpath)
            if want != bool(has):
                why = self.agent.sh(f"hwtrack-explain {p.devpath} | grep -E '^  (kind|entry|log) '")[1]
                bad.append(f"{p.name} ({self.owner(snap, p)}, {p.devpath}): expected "
                           f"{'an entry' if want else 'none'}, has {has or 'none'}; hwtrack-explain says:\n      "
                           + "\n      ".join(" ".join(l.split()) for l in why.splitlines()))
        last = {}
        for call in snap.calls:
            f = call.split()
            last[f[0] + "."] = f[-1]
        for prefix, e in sorted(entries.items()):
            if last.get(prefix, "removed") != e.get("status"):
                bad.append(f"{prefix} is {e.get('status')}, the script was last told {last.get(prefix, 'nothing')}")
        for prefix in sorted(set(last) - set(entries)):
            bad.append(f"the script was called for {prefix}, which has no variables")
        for line in snap.log:
            if "hwtrackd" in line and (".err " in line or "already inserted" in line) \
                    and "daemon starts" not in line and "loglevel-check" not in line:
                bad.append(f"log: {line}")
        return bad


# --- per-step expectations: each (scenario, snapshot) -> failures ---------------

def same_entry(name, step):
    def check(s, snap):
        now, then = s.entries_of(snap).get(name), s.history.get(step, {}).get(name)
        return [] if now and now == then else [f"{name}: expected its entry of step {step} ({then}), has {now}"]
    return check


def same_entries(step):
    def check(s, snap):
        now, then = s.entries_of(snap), s.history.get(step, {})
        return [] if now == then else [f"entries: expected those of step {step} {then}, have {now}"]
    return check


def told_apart(a, b):
    def check(s, snap):
        ea, eb = (s.entries_of(snap).get(n) for n in (a, b))
        e = snap.entries()
        if not ea or not eb or ea == eb:
            return [f"{a} and {b}: expected two entries, have {ea} and {eb}"]
        if e[ea]["id"] != e[eb]["id"] or e[ea]["location"] == e[eb]["location"]:
            return [f"{a} and {b}: expected one id, two locations: {e[ea]} {e[eb]}"]
        return []
    return check


def named(name, iface):
    def check(s, snap):
        entry = s.entries_of(snap).get(name)
        has = snap.entries().get(entry, {}).get("name")
        return [] if has == iface else [f"{name}: expected its entry named {iface}, has {has!r} ({entry})"]
    return check


def told(name, statuses):
    """The statuses the class script was told for the device's entry during the step."""
    def check(s, snap):
        entry = s.entries_of(snap).get(name) or "?"
        got = [c.split()[-1] for c in s.step_calls if c.split()[0] + "." == entry]
        return [] if got == statuses else [f"{name} ({entry}): expected the script told {statuses}, told {got}"]
    return check


def logged(text):
    def check(s, snap):
        return [] if any(text in line for line in snap.log) else [f"expected a log line with {text!r}"]
    return check


def on_bus(name, speed):
    def check(s, snap):
        buses = {s.bus_of(p) for p in snap.present.values() if s.owner(snap, p) == name}
        return [] if buses and all(snap.buses.get(b) == speed for b in buses) else \
            [f"{name}: expected on the bus of speed {speed}, is on {buses} of {snap.buses}"]
    return check


# key, what is done, action, expectations beside the invariant
STEPS = [
    ("coldplug", "start-up with an adapter, a USB network adapter and a stick present",
     Scenario.start, []),
    ("plug", "a second adapter and a PCIe NIC plugged", lambda s: s.plug("ftdi-b", "nic"), []),
    ("unplug", "the first adapter unplugged", lambda s: s.unplug("ftdi-a"), []),
    ("replug", "the first adapter back, on another port", lambda s: s.plug("ftdi-a", port="4"),
     [same_entry("ftdi-a", "coldplug")]),
    ("twins", "two identical adapters, one behind a hub", lambda s: s.plug("twin-1", "twin-2"),
     [told_apart("twin-1", "twin-2")]),
    ("restart", "the daemon restarted on an unchanged board", Scenario.restart, [same_entries("twins")]),
    ("scan", "the USB network adapter plugged while the start-up scan runs", Scenario.plug_during_scan,
     [same_entry("usbnet", "restart"), told("usbnet", ["removed", "inserted"])]),
    ("rename", "the USB network interface renamed to wan0 (a move)", Scenario.rename,
     [same_entry("usbnet", "scan"), named("usbnet", "wan0")]),
    ("stop", "a stop while the class script runs, then a start", Scenario.stop_under_script,
     [same_entry("ftdi-b", "plug"), logged("stop requested - waiting")]),
    ("bus2", "a super-speed stick on the controller's USB 3 bus", lambda s: s.plug("ss-stick"),
     [on_bus("ss-stick", USB3)]),
    ("unplug-all", "every device unplugged, the NIC by PCIe hot-plug", Scenario.unplug_all, []),
]


# --- a run: one kernel, one setting -----------------------------------------------

def qemu_devices(images):
    args = [["-device", "qemu-xhci,id=xhci,p2=8,p3=8"],
            ["-device", "usb-hub,id=hub,bus=xhci.0,port=1"],
            ["-device", "pcie-root-port,id=rp1,bus=pcie.0,chassis=1,slot=1"]]
    for name, path in images.items():
        args.append(["-blockdev", f"driver=raw,node-name={name},file.driver=file,file.filename={path}"])
    for name in COLDPLUG:
        d = DEVICES[name]
        opts = f"{d.driver},id={name},bus=xhci.0,port={d.port}"
        if d.serial:
            opts += f",serial={d.serial}"
        if d.drive:
            opts += f",drive={d.drive}"
        if d.driver == "usb-serial":
            args.append(["-chardev", f"ringbuf,id=ch-{name}"])
            opts += f",chardev=ch-{name}"
        args.append(["-device", opts])
    return args


def make_images(folder):
    """Raw disk images with an MBR partition table of Linux partitions."""
    out = {}
    for n, (name, parts) in enumerate(IMAGES.items()):
        mbr = bytearray(512)
        mbr[440:444] = (0x4857_0000 + n).to_bytes(4, "little")  # disk signature
        for i, (first, count) in enumerate(parts):
            entry = bytes([0, 0xFE, 0xFF, 0xFF, 0x83, 0xFE, 0xFF, 0xFF])
            mbr[446 + 16 * i:462 + 16 * i] = entry + first.to_bytes(4, "little") + count.to_bytes(4, "little")
        mbr[510:512] = b"\x55\xaa"
        path = Path(folder) / f"{name}.img"
        with open(path, "wb") as f:
            f.write(mbr)
            f.truncate(16 << 20)
        out[name] = path
    return out


def report(step, what, bad, snap):
    print(f"FAIL {step}: {what}")
    for b in bad:
        print(f"  - {b}")
    print("  class table:")
    for prefix, e in sorted(snap.entries().items()):
        print(f"    {prefix} {e.get('status')} {e.get('name', '')} id={e.get('id')} location={e.get('location')}")
    print("  daemon log during the step (last 30 lines, without RDB writes and loop wake-ups):")
    noise = ("rdb_set (", "select() triggered", "from netlink socket")
    for line in [l for l in snap.log if "hwtrackd" in l and not any(n in l for n in noise)][-30:]:
        print(f"    {line}")


def run_scenario(machine_, setting, only):
    s = Scenario(machine_, setting)
    if setting != "absent":
        s.agent.ok(f"rdb set -p sys.hw.cfg.internal_usb_bus '{setting}'")
    passed = failed = 0
    for key, what, action, expectations in STEPS:
        bad = action(s) or []
        s.settle()
        snap = Snapshot(s.agent, s.log_from)
        s.log_from += len(snap.log)
        s.step_calls, s.calls_seen = snap.calls[s.calls_seen:], len(snap.calls)
        s.history[key] = s.entries_of(snap)
        if only and key != only:
            continue
        bad += s.invariant(snap)
        for expect in expectations:
            bad += expect(s, snap)
        if bad:
            failed += 1
            report(key, what, bad, snap)
        else:
            passed += 1
            print(f"ok   {key}: {what}")
    return passed, failed


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--build", default=Path(__file__).resolve().parents[2] / "build",
                    help="build folder with bin/hwtrackd, rdbd, rdb (default: build/)")
    ap.add_argument("--run", action="append", metavar="KERNEL:SETTING",
                    help="kernel (6.1 or 6.12) and sys.hw.cfg.internal_usb_bus value or 'absent'; "
                         "default: 6.1:absent and 6.12:none")
    ap.add_argument("--only", choices=[s[0] for s in STEPS], help="report only this step (all steps run)")
    ap.add_argument("--shell", action="store_true",
                    help="boot the first run's guest with the coldplugged devices and a shell on this terminal")
    ap.add_argument("--arch", choices=list(vm.ARCHES), default="x86_64",
                    help="the guest: x86_64 (q35) or aarch64 (virt, with an armhf build in --build)")
    ap.add_argument("--accel", default="kvm:tcg", help="accelerators to try in order (default kvm:tcg)")
    ap.add_argument("--limit", type=int, default=900, help="seconds all runs may take (default 900)")
    args = ap.parse_args()

    # A time-out or a stop ends the run through the same clean-up as a failure.
    def give_up(signo, _):
        raise vm.VmError(f"the runs took longer than {args.limit} s" if signo == signal.SIGALRM else
                         f"stopped by signal {signo}")
    for signo in (signal.SIGALRM, signal.SIGTERM, signal.SIGHUP):
        signal.signal(signo, give_up)
    signal.alarm(args.limit)
    runs = [r.split(":", 1) for r in (args.run or ["6.1:absent", "6.12:none"])]
    bindir = Path(args.build) / "bin"
    arch = vm.ARCHES[args.arch]
    busybox = vm.fetch_busybox(arch)
    accels = args.accel.split(":")
    total_passed = total_failed = 0
    began = time.monotonic()
    with tempfile.TemporaryDirectory(prefix="hwtrack-vm-run-") as tmp:
        images = make_images(tmp)
        for flavour, setting in runs:
            kernel, moddir, release = vm.fetch_kernel(arch, flavour)
            initrd = Path(tmp) / f"initrd-{flavour}.gz"
            vm.build_initramfs(initrd, bindir, moddir, busybox)
            if args.shell:
                return shell(arch, kernel, initrd, qemu_devices(images), accels)
            print(f"=== {release}, sys.hw.cfg.internal_usb_bus {setting}", flush=True)
            run_began = time.monotonic()
            with vm.boot(arch, kernel, initrd, qemu_devices(images), accels=accels) as m:
                accels = [m.accel]  # the next boot need not try again
                print(f"booted under {m.accel} in {m.boot_seconds:.1f} s", flush=True)
                try:
                    passed, failed = run_scenario(m, setting, args.only)
                except vm.VmError as e:
                    print(f"FAIL {release}: {e}\n--- guest console (tail)\n{m.console()[-3000:]}")
                    passed, failed = 0, 1
            print(f"run took {time.monotonic() - run_began:.0f} s", flush=True)
            total_passed += passed
            total_failed += failed
    print(f"all runs took {time.monotonic() - began:.0f} s")
    print(f"vm: {total_passed} passed, {total_failed} failed")
    return 1 if total_failed else 0


def shell(arch, kernel, initrd, devices, accels):
    """A person's session: the guest's console on this terminal, QEMU's
    monitor behind Ctrl-A c (device_add, device_del), the helpers sourced."""
    console = "ttyS0" if arch.console.startswith("ttyS") else arch.control
    argv = [arch.qemu, *arch.machine, "-m", "512", "-nodefaults", "-display", "none", "-no-reboot",
            "-accel", accels[-1], "-kernel", str(kernel), "-initrd", str(initrd),
            "-append", f"console={console} rdinit=/init panic=-1 loglevel=5 hwtrack.shell",
            "-serial", "mon:stdio"]
    if console == "ttyS0":
        argv += ["-serial", "null"]  # ttyS1 is there as in a run
    for d in devices:
        argv += d
    return subprocess.run(argv).returncode


if __name__ == "__main__":
    try:
        sys.exit(main())
    except vm.VmError as e:
        print(f"vm: FAILED: {e}", file=sys.stderr)
        sys.exit(1)
