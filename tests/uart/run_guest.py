#!/usr/bin/env python3
"""Runs programs against the simulated chassis through real 16550 UARTs: a small Linux guest
under QEMU whose serial ports are wired to the simulator's pseudo-terminals.

  run_guest.py --simulator SIM --library LIB --work DIR [--timeout S] [--monitor-slots A,B]
               [--paced] -- PROGRAM ARGS...
  (each PROGRAM ARGS... group is separated by "--"; they run in turn in the guest)

Guest ports: ttyS0 the console (output and exit status come back on it), ttyS1 the command
port, ttyS2 and ttyS3 the monitoring ports of two slots (3 and 5 unless told), and a PCI
16550 (ttyS4) carrying the simulator's control channel, since the guest has no network.
The kernel is Debian's, unpacked from the package the set-up downloads (HALVEX_GUEST_CACHE,
default /var/cache/halvex/guest) or named by HALVEX_GUEST_KERNEL; busybox-static makes the
user space. KVM is used when a guest boots with it, TCG otherwise.
HALVEX_SIM_TRACE=1 keeps the simulator's trace in WORK/sim.out. Exit status: that of the
first program that failed in the guest, 0 when all passed, 3 when the guest could not be booted
or did not finish (the reason is printed).
"""
import argparse
import glob
import os
import shlex
import shutil
import socket
import subprocess
import sys
import threading
import time
import tty

GUEST_BIN = "/halvex"
MARK_UP = "halvex-guest: up"
MARK_EXIT = "halvex-guest: exit "


def fail(why):
    print(f"run_guest: FAILED: {why}", file=sys.stderr)
    sys.exit(3)


def find_kernel(work):
    named = os.environ.get("HALVEX_GUEST_KERNEL")
    if named:
        return named
    cache = os.environ.get("HALVEX_GUEST_CACHE", "/var/cache/halvex/guest")
    debs = sorted(glob.glob(os.path.join(cache, "linux-image-*.deb")))
    if debs:
        deb = debs[-1]
        out = os.path.join(work, "kernel", os.path.basename(deb)[:-4])
        found = glob.glob(os.path.join(out, "boot", "vmlinuz-*"))
        if not found:
            # Only the kernel image is needed: the 8250 driver is built in.
            os.makedirs(out, exist_ok=True)
            tar = subprocess.run(f"dpkg-deb --fsys-tarfile {shlex.quote(deb)} | "
                                 f"tar -x -C {shlex.quote(out)} --wildcards './boot/vmlinuz-*'",
                                 shell=True, capture_output=True, text=True)
            found = glob.glob(os.path.join(out, "boot", "vmlinuz-*"))
            if tar.returncode != 0 or not found:
                fail(f"could not unpack the kernel from {deb}: {tar.stderr.strip()}")
        return found[0]
    installed = sorted(glob.glob("/boot/vmlinuz-*"))
    if installed:
        return installed[-1]
    fail(f"no guest kernel: no linux-image-*.deb in {cache} (scripts/install-deps.sh "
         "--native-only downloads it) and no HALVEX_GUEST_KERNEL")


class Cpio:
    """An uncompressed newc archive, which the kernel unpacks as its initramfs."""

    def __init__(self):
        self.parts = []
        self.ino = 1
        self.dirs = set()

    def _entry(self, name, mode, data=b""):
        self.ino += 1
        fields = [self.ino, mode, 0, 0, 1, 0, len(data), 0, 0, 0, 0, len(name) + 1, 0]
        head = b"070701" + b"".join(b"%08X" % f for f in fields)
        blob = head + name.encode() + b"\0"
        blob += b"\0" * (-len(blob) % 4) + data
        self.parts.append(blob + b"\0" * (-len(blob) % 4))

    def dir(self, path):
        path = path.strip("/")
        if not path or path in self.dirs:
            return
        self.dir(os.path.dirname(path))
        self.dirs.add(path)
        self._entry(path, 0o40755)

    def file(self, path, data, mode=0o100755):
        self.dir(os.path.dirname(path))
        self._entry(path.strip("/"), mode, data)

    def symlink(self, path, target):
        self.dir(os.path.dirname(path))
        self._entry(path.strip("/"), 0o120777, target.encode())

    def bytes(self):
        self._entry("TRAILER!!!", 0)
        return b"".join(self.parts)


def shared_libraries(binary):
    """The paths ldd resolves for a binary (its loader included)."""
    out = subprocess.run(["ldd", binary], capture_output=True, text=True).stdout
    paths = []
    for line in out.splitlines():
        parts = line.split()
        if "=>" in parts and len(parts) > parts.index("=>") + 1:
            p = parts[parts.index("=>") + 1]
        elif parts and parts[0].startswith("/"):
            p = parts[0]
        else:
            continue
        if p.startswith("/"):
            paths.append(p)
    return paths


def stripped(path, work):
    """The file without its debugging sections: a smaller initramfs, the same code."""
    out = os.path.join(work, "stripped", os.path.basename(path))
    os.makedirs(os.path.dirname(out), exist_ok=True)
    if subprocess.run(["objcopy", "--strip-debug", path, out]).returncode != 0:
        shutil.copyfile(path, out)
    with open(out, "rb") as f:
        return f.read()


def build_initramfs(work, library, programs, env):
    busybox = shutil.which("busybox") or "/bin/busybox"
    if not os.path.exists(busybox):
        fail("busybox not found (package busybox-static)")
    archive = Cpio()
    with open(busybox, "rb") as f:
        archive.file("/bin/busybox", f.read())
    for d in ("/proc", "/sys", "/dev", "/tmp"):
        archive.dir(d)
    binaries = [os.path.realpath(library)] + [p[0] for p in programs]
    libraries = set()
    for b in binaries:
        libraries.update(shared_libraries(b))
    for lib in sorted(libraries):
        with open(os.path.realpath(lib), "rb") as f:
            archive.file(lib, f.read())
    archive.file(f"{GUEST_BIN}/{os.path.basename(library)}", stripped(library, work))
    runs = []
    for argv in programs:
        name = os.path.basename(argv[0])
        archive.file(f"{GUEST_BIN}/{name}", stripped(argv[0], work))
        runs.append(" ".join(shlex.quote(a) for a in [f"{GUEST_BIN}/{name}"] + argv[1:]))
    exports = "\n".join(f"export {k}={shlex.quote(v)}" for k, v in env.items())
    # Every program runs; the status is the first failure's.
    steps = "\n".join(f'echo "-- {r}"; {r}; s=$?; [ $rc != 0 ] || rc=$s' for r in runs)
    init = f"""#!/bin/busybox sh
/bin/busybox --install -s /bin
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs devtmpfs /dev
echo "{MARK_UP}"
cat /proc/tty/driver/serial
{exports}
cd {GUEST_BIN}
rc=0
{steps}
echo "{MARK_EXIT}$rc"
reboot -f
"""
    archive.file("/init", init.encode())
    path = os.path.join(work, "initramfs.cpio")
    with open(path, "wb") as f:
        f.write(archive.bytes())
    return path


def start_simulator(simulator, work):
    ports = os.path.join(work, "ports")
    shutil.rmtree(ports, ignore_errors=True)
    out = open(os.path.join(work, "sim.out"), "w+")
    sim = subprocess.Popen([simulator, "--link", ports, "--control", "0"] + ([] if os.environ.get("HALVEX_SIM_TRACE") else ["--quiet"]),
                           stdout=out, stderr=subprocess.STDOUT)
    for _ in range(100):
        out.seek(0)
        text = out.read()
        if "ready" in text:
            break
        time.sleep(0.1)
    else:
        sim.kill()
        fail(f"the simulator did not start: {text}")
    control = [l.split()[1] for l in text.splitlines() if l.startswith("control ")][0]
    return sim, ports, int(control.rsplit(":", 1)[-1])


def kvm_usable():
    return os.access("/dev/kvm", os.R_OK | os.W_OK)


# QEMU's 16550 hands each byte on as soon as the guest writes it; a real line at 115200 bit/s
# takes 10 bits a byte.
BYTE_S = 10 / 115200


class PacedLine:
    """Carries bytes between a QEMU socket chardev and a simulator pty, in each direction no
    faster than the wire would: each byte is passed on when its stop bit would have ended."""

    def __init__(self, pty_path):
        self.listener = socket.socket()
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(1)
        self.port = self.listener.getsockname()[1]
        self.pty_path = pty_path
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        conn, _ = self.listener.accept()
        # Bytes go one or a few at a time: Nagle's algorithm would hold them for an ACK.
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        fd = os.open(self.pty_path, os.O_RDWR | os.O_NOCTTY)
        tty.setraw(fd)
        threading.Thread(target=self._carry, args=(conn.recv, lambda b: os.write(fd, b)),
                         daemon=True).start()
        self._carry(lambda n: os.read(fd, n), conn.sendall)

    @staticmethod
    def _carry(read, write):
        line_free = 0.0  # when the last byte handed on leaves the wire
        while True:
            try:
                chunk = read(4096)
            except OSError:
                return
            if not chunk:
                return
            # Each byte is due when its 10 bits have passed, from when the line was free.
            start = max(line_free, time.monotonic())
            due = [start + (i + 1) * BYTE_S for i in range(len(chunk))]
            line_free = due[-1]
            sent = 0
            while sent < len(chunk):
                wait = due[sent] - time.monotonic()
                if wait > 0:
                    time.sleep(wait)
                now = time.monotonic()
                ready = sent
                while ready < len(chunk) and due[ready] <= now:
                    ready += 1
                try:
                    write(chunk[sent:ready])
                except OSError:
                    return
                sent = ready


def boot(kernel, initramfs, ports, control, monitors, paced, accel, console, deadline_s,
         boot_s):
    """Boots once; the console's text, or None when the guest did not come up within boot_s."""
    serial = []
    wired = [("cmd", os.path.join(ports, "command"), 1)]
    wired += [(f"m{slot}", os.path.join(ports, f"monitor-{slot:02d}"), i + 2)
              for i, slot in enumerate(monitors)]
    for cid, path, index in wired:
        if paced:
            line = PacedLine(path)
            serial += ["-chardev",
                       f"socket,id={cid},host=127.0.0.1,port={line.port},nodelay=on"]
        else:
            serial += ["-chardev", f"serial,id={cid},path={path}"]
        serial += ["-device", f"isa-serial,chardev={cid},index={index}"]
    if os.path.exists(console):
        os.remove(console)
    cmd = ["qemu-system-x86_64", "-accel", accel, "-m", "256", "-smp", "1", "-nodefaults",
           "-no-reboot", "-display", "none", "-monitor", "none",
           "-chardev", f"file,id=con,path={console}", "-device", "isa-serial,chardev=con,index=0",
           *serial,
           "-chardev", f"socket,id=ctl,host=127.0.0.1,port={control},nodelay=on",
           "-device", "pci-serial,chardev=ctl",
           "-kernel", kernel, "-initrd", initramfs,
           "-append", "console=ttyS0,115200 quiet panic=-1 8250.nr_uarts=5 rdinit=/init"]
    if accel == "kvm":
        # The host's own model: where KVM cannot run a guest it fails at once, where the
        # default model may hang instead.
        cmd[3:3] = ["-cpu", "host"]
    qemu = subprocess.Popen(cmd, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT)
    start = time.monotonic()
    text = ""
    try:
        while qemu.poll() is None:
            time.sleep(0.2)
            if os.path.exists(console):
                with open(console, errors="replace") as f:
                    text = f.read()
            waited = time.monotonic() - start
            if MARK_UP not in text and waited > boot_s:
                return None, f"no sign of life from the guest after {boot_s} s ({accel})"
            if waited > deadline_s:
                return text, f"the guest did not finish within {deadline_s} s ({accel})"
    finally:
        if qemu.poll() is None:
            qemu.kill()
        qemu.wait()
    with open(console, errors="replace") as f:
        text = f.read()
    if MARK_UP not in text:
        return None, f"QEMU ({accel}) ended before the guest came up: " + \
            qemu.stdout.read().decode(errors="replace").strip()
    return text, None


def main():
    argv = sys.argv[1:]
    split = argv.index("--") if "--" in argv else len(argv)
    p = argparse.ArgumentParser()
    p.add_argument("--simulator", required=True)
    p.add_argument("--library", required=True)
    p.add_argument("--work", required=True)
    p.add_argument("--timeout", type=float, default=150)
    p.add_argument("--monitor-slots", default="3,5")
    p.add_argument("--paced", action="store_true",
                   help="bytes at the wire's pace (through a relay, for timing; no modem lines)")
    args = p.parse_args(argv[:split])
    programs, group = [], []
    for a in argv[split + 1:] + ["--"]:
        if a == "--":
            if group:
                programs.append(group)
            group = []
        else:
            group.append(a)
    if not programs:
        fail("no program to run in the guest")
    if not shutil.which("qemu-system-x86_64"):
        fail("qemu-system-x86_64 not found (package qemu-system-x86)")
    os.makedirs(args.work, exist_ok=True)
    started = time.monotonic()
    kernel = find_kernel(args.work)
    slots = [int(s) for s in args.monitor_slots.split(",")][:2]
    guest_ports = {slot: f"/dev/ttyS{i + 2}" for i, slot in enumerate(slots)}
    monitors = ",".join(guest_ports.get(s, f"/dev/no-monitor-{s:02d}") for s in range(1, 17))
    env = {"HALVEX_LIBRARY": f"{GUEST_BIN}/{os.path.basename(args.library)}",
           "HALVEX_EXPORT_NAMES": "plain", "HALVEX_PORT": "/dev/ttyS1",
           "HALVEX_MONITOR_PORTS": monitors, "HALVEX_SIM_CONTROL": "/dev/ttyS4"}
    initramfs = build_initramfs(args.work, args.library, programs, env)
    console = os.path.join(args.work, "console.log")
    accels = (["kvm"] if kvm_usable() else []) + ["tcg"]
    text, why, used = None, "no accelerator tried", None
    for accel in accels:
        # A fresh simulator for each boot: one that did not come up may have left bytes behind.
        sim, ports, control = start_simulator(args.simulator, args.work)
        try:
            # KVM boots in a second or two where it works; TCG under load can take 30 s.
            text, why = boot(kernel, initramfs, ports, control, slots, args.paced, accel, console,
                             args.timeout - (time.monotonic() - started),
                             10 if accel == "kvm" else 90)
        finally:
            sim.kill()
            sim.wait()
        if text is not None:
            used = accel
            break
        print(f"run_guest: {why}", file=sys.stderr)
    if text is None:
        fail(f"the guest could not be booted: {why}")
    sys.stdout.write(text)
    print(f"run_guest: {used}, {time.monotonic() - started:.1f} s in all")
    if why:
        fail(why)
    status = [l for l in text.splitlines() if l.startswith(MARK_EXIT)]
    if not status:
        fail("the guest ended without reporting an exit status")
    return int(status[-1][len(MARK_EXIT):].strip() or 3)


if __name__ == "__main__":
    sys.exit(main())
