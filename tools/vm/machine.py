# SPDX-License-Identifier: MIT
"""A Debian kernel booted in QEMU with the daemon in its initramfs.

Fetches and caches Debian's kernel and busybox-static packages (downloaded
and unpacked, never installed), builds the initramfs, boots it and gives the
scenario two channels: QMP to plug and unplug devices, and a shell on the
guest's second serial port to read its state.
"""
import ctypes
import json
import os
import platform
import re
import select
import shutil
import socket
import subprocess
import tempfile
import time
from pathlib import Path

HERE = Path(__file__).resolve().parent
CACHE = Path(os.environ.get("HWTRACK_VM_CACHE", Path.home() / ".cache" / "hwtrack-vm"))

# The drivers a plug needs; their dependencies come from the package's
# modules.dep. 8250, pnp and the PCI hot-plug drivers are built in.
MODULES = ["xhci-pci", "usbserial", "ftdi_sio", "usbnet", "cdc_ether", "rndis_host",
           "usb-storage", "sd_mod", "e1000e"]
PROGRAMS = ["hwtrackd", "rdbd", "rdb", "hwtrack-explain"]


class Arch:
    """A guest architecture: QEMU's program and machine, Debian's packages
    (of another architecture through multiarch lists, nothing installed),
    the console and the port the host's commands come in on."""

    def __init__(self, name, qemu, machine, dpkg, userland, console, control, kernels):
        self.name, self.qemu, self.machine = name, qemu, machine
        self.dpkg, self.userland = dpkg, userland
        self.console, self.control, self.kernels = console, control, kernels

    def apt(self, *argv):
        """apt-get or apt-cache seeing this architecture's lists too."""
        extra = [] if self.dpkg == HOST_DPKG and self.userland == HOST_DPKG else \
            [f"-oAPT::Architectures::={a}" for a in (HOST_DPKG, self.dpkg, self.userland)]
        return [argv[0], *extra, *argv[1:]]


HOST_DPKG = "amd64"
ARCHES = {
    # q35: COM ports on pnp, xHCI and root ports on PCIe.
    "x86_64": Arch("x86_64", "qemu-system-x86_64", ["-M", "q35"], "amd64", "amd64", "ttyS0", "ttyS1",
                   {"6.1": "linux-image-amd64", "6.12": "linux-image-6.12-amd64"}),
    # virt booted with its device tree: the PL011 on AMBA is the only UART,
    # so it carries the commands and the kernel's console goes nowhere; the
    # PCIe host is a platform device, as on most ARM boards. An armhf
    # userland runs on the arm64 kernel, as on many 32-bit board images.
    "aarch64": Arch("aarch64", "qemu-system-aarch64", ["-M", "virt", "-cpu", "cortex-a57"], "arm64", "armhf",
                    "tty0", "ttyAMA0", {"6.1": "linux-image-arm64", "6.12": "linux-image-6.12-arm64"}),
}


class VmError(Exception):
    """The machine could not be made, booted or reached: the run fails with this text."""


def die_with_parent():
    """In the child before exec: SIGKILL when the driver dies, however it dies."""
    ctypes.CDLL(None, use_errno=True).prctl(1, 9)  # PR_SET_PDEATHSIG, SIGKILL


def run(*argv, **kw):
    return subprocess.run(argv, check=True, text=True, capture_output=True, **kw).stdout


# --- packages ---------------------------------------------------------------

def apt_field(arch, package, field):
    out = run(*arch.apt("apt-cache", "show", "--no-all-versions", package))
    m = re.search(rf"^{field}: (.*)$", out, re.M)
    if not m:
        raise VmError(f"apt-cache show {package}: no {field}")
    return m.group(1)


def resolve(arch, meta):
    """The versioned kernel package a meta package names now, and its version."""
    out = run(*arch.apt("apt-cache", "depends", "--important", f"{meta}:{arch.dpkg}"))
    m = re.search(r"Depends: (linux-image-[^\s:]+)", out)
    if not m:
        raise VmError(f"apt-cache depends {meta}: no linux-image dependency")
    return m.group(1), apt_field(arch, f"{m.group(1)}:{arch.dpkg}", "Version")


def refresh_lists(arch):
    subprocess.run(arch.apt("apt-get", "update", "-qq"), check=False)


def unpacked(arch, package, version, prepare=None):
    """The package's files below a cache folder named by its version,
    downloaded and unpacked on first use (the lists refreshed once if the
    version has left the mirror)."""
    dest = CACHE / f"{package.replace(':', '_')}_{version.replace(':', '%')}"
    if (dest / ".complete").exists():
        return dest
    CACHE.mkdir(parents=True, exist_ok=True)
    with tempfile.TemporaryDirectory(dir=CACHE) as tmp:
        for attempt in (1, 2):
            r = subprocess.run(arch.apt("apt-get", "download", f"{package}={version}"), cwd=tmp,
                               text=True, capture_output=True)
            if r.returncode == 0:
                break
            if attempt == 2:
                raise VmError(f"apt-get download {package}={version} failed:\n{r.stderr}")
            refresh_lists(arch)
        deb = next(Path(tmp).glob("*.deb"))
        shutil.rmtree(dest, ignore_errors=True)
        run("dpkg-deb", "-x", str(deb), str(dest))
    if prepare:
        prepare(dest)
    (dest / ".complete").touch()
    return dest


def fetch_kernel(arch, flavour):
    """(vmlinuz, modules folder, release) of the kernel a flavour resolves to today."""
    try:
        package, version = resolve(arch, arch.kernels[flavour])
    except (subprocess.CalledProcessError, VmError):
        refresh_lists(arch)
        package, version = resolve(arch, arch.kernels[flavour])
    release = package.removeprefix("linux-image-")

    def depmod(root):
        run("depmod", "-b", str(root), release)

    root = unpacked(arch, f"{package}:{arch.dpkg}", version, depmod)
    return root / "boot" / f"vmlinuz-{release}", root / "lib" / "modules" / release, release


def fetch_busybox(arch):
    package = f"busybox-static:{arch.userland}"
    try:
        version = apt_field(arch, package, "Version")
    except (subprocess.CalledProcessError, VmError):
        refresh_lists(arch)
        version = apt_field(arch, package, "Version")
    return unpacked(arch, package, version) / "bin" / "busybox"


def module_order(moddir):
    """Module files of MODULES and their dependencies, each after what it needs."""
    deps = {}
    for line in (moddir / "modules.dep").read_text().splitlines():
        path, _, needs = line.partition(":")
        deps[Path(path).name.split(".ko")[0].replace("-", "_")] = (path, needs.split())
    order = []

    def visit(name):
        path, needs = deps[name]
        if path in order:
            return
        for dep in needs:
            visit(Path(dep).name.split(".ko")[0].replace("-", "_"))
        order.append(path)

    builtin = (moddir / "modules.builtin").read_text()
    for name in MODULES:
        key = name.replace("-", "_")
        if key in deps:
            visit(key)
        elif f"/{name}.ko" not in builtin and f"/{key}.ko" not in builtin:
            raise VmError(f"module {name} is neither in modules.dep nor built in")
    return order


# --- initramfs ----------------------------------------------------------------

def libraries(binary):
    """Shared libraries a binary needs, as absolute paths on this machine
    (none for a static one, as the cross builds are)."""
    r = subprocess.run(["ldd", str(binary)], text=True, capture_output=True)
    return re.findall(r"(/\S+) \(0x", r.stdout) if r.returncode == 0 else []


def build_initramfs(out, bindir, moddir, busybox):
    with tempfile.TemporaryDirectory() as tmp:
        root = Path(tmp)
        for d in ("bin", "sbin", "usr/bin", "etc", "proc", "sys", "dev", "run", "tmp", "var/lib", "lib/modules"):
            (root / d).mkdir(parents=True, exist_ok=True)
        shutil.copy(busybox, root / "bin" / "busybox")
        for name in PROGRAMS:
            shutil.copy(bindir / name, root / "usr" / "bin" / name)
            for lib in libraries(bindir / name):
                (root / lib.lstrip("/")).parent.mkdir(parents=True, exist_ok=True)
                shutil.copy(lib, root / lib.lstrip("/"))
        lines = []
        for rel in module_order(moddir):
            name = Path(rel).name
            dest = root / "lib" / "modules" / name
            if name.endswith(".xz"):  # busybox's insmod takes them unpacked
                dest = dest.with_suffix("")
                dest.write_bytes(run_bytes("xz", "-dc", str(moddir / rel)))
            elif name.endswith(".zst"):
                dest = dest.with_suffix("")
                dest.write_bytes(run_bytes("zstd", "-dc", str(moddir / rel)))
            else:
                shutil.copy(moddir / rel, dest)
            lines.append(dest.name)
        (root / "lib" / "modules" / "order").write_text("\n".join(lines) + "\n")
        for name in ("init", "agent.sh", "class-script"):
            target = root / ("init" if name == "init" else f"etc/{name}")
            shutil.copy(HERE / "guest" / name, target)
            target.chmod(0o755)
        files = subprocess.run(["find", "."], cwd=root, check=True, capture_output=True).stdout
        cpio = subprocess.run(["cpio", "-o", "-H", "newc", "-R", "0:0", "--quiet"], cwd=root, input=files,
                              check=True, capture_output=True).stdout
        out.write_bytes(run_bytes_in("gzip", "-1", data=cpio))


def run_bytes(*argv):
    return subprocess.run(argv, check=True, capture_output=True).stdout


def run_bytes_in(*argv, data):
    return subprocess.run(argv, input=data, check=True, capture_output=True).stdout


# --- QMP ----------------------------------------------------------------------

class Qmp:
    def __init__(self, path):
        self.sock = socket.socket(socket.AF_UNIX)
        self.sock.settimeout(60)
        self.sock.connect(str(path))
        self.file = self.sock.makefile("rw")
        self.events = []
        self.read()  # the greeting
        self.cmd("qmp_capabilities")

    def read(self):
        line = self.file.readline()
        if not line:
            raise VmError("QMP connection closed: QEMU has ended")
        return json.loads(line)

    def cmd(self, name, **args):
        self.file.write(json.dumps({"execute": name, "arguments": args}) + "\n")
        self.file.flush()
        while True:
            msg = self.read()
            if "event" in msg:
                self.events.append(msg)
            elif "error" in msg:
                raise VmError(f"QMP {name} {args}: {msg['error'].get('desc')}")
            elif "return" in msg or "QMP" in msg:
                return msg.get("return")

    def wait_event(self, name, match, bound):
        """Waits for an event whose data has match's items (those seen before too)."""
        deadline = time.monotonic() + bound
        while True:
            for i, e in enumerate(self.events):
                if e["event"] == name and match.items() <= e.get("data", {}).items():
                    return self.events.pop(i)
            if time.monotonic() > deadline:
                raise VmError(f"no QMP event {name} {match} within {bound} s")
            self.sock.settimeout(max(0.1, deadline - time.monotonic()))
            try:
                msg = self.read()
            except socket.timeout:
                continue
            finally:
                self.sock.settimeout(60)
            if "event" in msg:
                self.events.append(msg)


# --- the guest's shell on its second serial port -----------------------------

class Agent:
    """One shell command at a time; each answer ends in a line with its status."""
    END = re.compile(rb"@@rc=(\d+)@@\n")

    def __init__(self, path, bound):
        deadline = time.monotonic() + bound
        self.sock = socket.socket(socket.AF_UNIX)
        while True:
            try:
                self.sock.connect(str(path))
                break
            except OSError:
                if time.monotonic() > deadline:
                    raise VmError(f"the guest's control port {path} did not open")
                time.sleep(0.2)
        self.buf = b""
        # The agent answers once the init has started it, and then every
        # line sent before too: each try is numbered, and its answer is the
        # one awaited.
        for n in range(1, 1 << 30):
            token = f"@@sync{n}@@".encode()
            self.sock.sendall(b"echo " + token + b"\n")
            tried = time.monotonic() + 2
            while token + b"\n@@rc=0@@\n" not in self.buf and time.monotonic() < tried:
                if select.select([self.sock], [], [], 0.2)[0]:
                    data = self.sock.recv(65536)
                    if not data:
                        raise VmError("guest: control port closed during boot")
                    self.buf += data
            if token + b"\n@@rc=0@@\n" in self.buf:
                self.buf = self.buf.split(token + b"\n@@rc=0@@\n", 1)[1]
                return
            if time.monotonic() > deadline:
                raise VmError(f"the guest did not answer on its control port within {bound} s")

    def sh(self, command, bound=60):
        """(status, output) of a command run by the guest's shell."""
        self.sock.sendall(command.encode() + b"\n")
        deadline = time.monotonic() + bound
        while not (m := self.END.search(self.buf)):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([self.sock], [], [], left)[0]:
                raise VmError(f"guest: no answer to {command!r} within {bound} s")
            data = self.sock.recv(65536)
            if not data:
                raise VmError("guest: control port closed")
            self.buf += data
        out, self.buf = self.buf[:m.start()], self.buf[m.end():]
        return int(m.group(1)), out.decode(errors="replace")

    def ok(self, command, bound=60):
        rc, out = self.sh(command, bound)
        if rc != 0:
            raise VmError(f"guest: {command!r} exited with {rc}:\n{out}")
        return out


# --- the machine ----------------------------------------------------------------

class Machine:
    """A booted guest with a folder of its own; close() (or leaving a with
    block) ends QEMU and removes the folder."""

    def __init__(self, arch, kernel, initrd, devices=(), append="", accel="tcg", bound=300):
        self.dir = Path(tempfile.mkdtemp(prefix="hwtrack-vm-"))
        self.qemu, self.accel = None, accel
        qemu = shutil.which(arch.qemu)
        if not qemu:
            raise VmError(f"{arch.qemu} not found: apt-get install qemu-system-x86 qemu-system-arm")
        argv = [qemu, *arch.machine, "-m", "512", "-smp", "1", "-nodefaults", "-display", "none",
                "-no-reboot", "-accel", accel, "-kernel", str(kernel), "-initrd", str(initrd),
                "-append", f"console={arch.console} hwtrack.ctl={arch.control} rdinit=/init panic=-1 "
                           f"loglevel=5 {append}".strip(),
                "-chardev", f"socket,id=ctl,path={self.dir / 'ctl.sock'},server=on,wait=off",
                "-qmp", f"unix:{self.dir / 'qmp.sock'},server=on,wait=off"]
        if arch.console.startswith("ttyS"):  # the console on the first port, the commands on the second
            argv += ["-chardev", f"file,id=con,path={self.dir / 'console.log'}", "-serial", "chardev:con"]
        argv += ["-serial", "chardev:ctl"]
        for d in devices:
            argv += d
        self.started = time.monotonic()
        self.log = open(self.dir / "qemu.log", "w")
        self.qemu = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
                                     preexec_fn=die_with_parent)
        try:
            deadline = time.monotonic() + 30
            while not (self.dir / "qmp.sock").exists():
                if self.qemu.poll() is not None or time.monotonic() > deadline:
                    raise VmError("QEMU could not start:\n" + (self.dir / "qemu.log").read_text())
                time.sleep(0.05)
            try:
                self.qmp = Qmp(self.dir / "qmp.sock")
            except OSError as e:
                self.qemu.wait(10)
                raise VmError(f"QEMU could not start ({e}):\n" + (self.dir / "qemu.log").read_text())
            self.agent = Agent(self.dir / "ctl.sock", bound)
            self.boot_seconds = time.monotonic() - self.started
        except BaseException:
            self.close()
            raise

    def console(self):
        try:
            return (self.dir / "console.log").read_text(errors="replace")
        except OSError:
            return ""

    def close(self):
        if self.qemu and self.qemu.poll() is None:
            self.qemu.terminate()
            try:
                self.qemu.wait(10)
            except subprocess.TimeoutExpired:
                self.qemu.kill()
                self.qemu.wait()
        if self.qemu:
            self.log.close()
        shutil.rmtree(self.dir, ignore_errors=True)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()


def boot(arch, kernel, initrd, devices, append="", accels=("kvm", "tcg")):
    """The first accelerator that boots the guest: a KVM that hangs (as
    nested KVM does on some hosts) gets a short bound, then TCG its turn."""
    if arch.name != platform.machine():  # KVM runs the host's architecture only
        accels = [a for a in accels if a != "kvm"] or ["tcg"]
    for n, accel in enumerate(accels):
        last = n == len(accels) - 1
        try:
            return Machine(arch, kernel, initrd, devices, append, accel, bound=300 if last else 40)
        except VmError as e:
            if last:
                raise
            print(f"vm: no boot with -accel {accel} ({str(e).splitlines()[0]}); trying {accels[n + 1]}", flush=True)
