"""Starts usb_bridge and speaks its line protocol, for tests and users.

    with UsbBridge(binary) as bridge:
        bridge.add("40F5849A", 0x0005, "127.0.0.1", module_port)
        subprocess.run(cmd, env=bridge.environment())

The bridge runs under umockdev's preload library (so that its hotplug events
reach the programs under test); programs that should see the emulated
modules run with `environment()`: umockdev's preload library, and before it
the bridge's own (libtv_usbfs_preload.so, beside the bridge), which lets
their requests on the modules' nodes reach the bridge's FUSE filesystem."""
import os
import subprocess

PRELOAD = "libumockdev-preload.so.0"


class BridgeError(RuntimeError):
    pass


class UsbBridge:
    def __init__(self, binary):
        self.preload = os.path.join(os.path.dirname(os.path.abspath(binary)), "libtv_usbfs_preload.so")
        env = dict(os.environ)
        env.pop("UMOCKDEV_DIR", None)
        env["LD_PRELOAD"] = PRELOAD
        env["ASAN_OPTIONS"] = "detect_leaks=0:verify_asan_link_order=0"
        self.process = subprocess.Popen([binary], stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=env,
                                        text=True, bufsize=1)
        first = self.process.stdout.readline().strip()
        if not first.startswith("UMOCKDEV_DIR="):
            self.process.kill()
            raise BridgeError(f"usb_bridge did not start: {first!r}")
        self.root = first.split("=", 1)[1]

    def command(self, line):
        self.process.stdin.write(line + "\n")
        self.process.stdin.flush()
        answer = self.process.stdout.readline().strip()
        if not answer.startswith("ok"):
            raise BridgeError(f"{line!r}: {answer!r}")
        return answer[3:]

    def add(self, serial, product, host, port, max_packet=512):
        return self.command(f"add {serial} {product:04x} {host} {port} {max_packet}")

    def hotplug(self, on, serial=None):
        """With False, modules plugged from now on raise no hotplug event
        (only the module `serial`, when named)."""
        self.command(f"hotplug {1 if on else 0}" + (f" {serial}" if serial else ""))

    def opens(self, serial):
        """How often programs opened the module's device node."""
        return int(self.command(f"opens {serial}"))

    def requests(self, serial):
        """How many requests (ioctls) programs made on the module's node."""
        return int(self.command(f"requests {serial}"))

    def incomplete(self, ms):
        """With hotplug off: modules plugged from now on show their vendor in
        sysfs `ms` milliseconds before an enumeration lists them."""
        self.command(f"incomplete {int(ms)}")

    def remove(self, serial):
        self.command(f"remove {serial}")

    def replug(self, serial):
        return self.command(f"replug {serial}")

    def stall(self, serial, direction, after=0):
        """Stall the next transfer of `direction` ("in" or "out"), once
        `after` more bulk OUT transfers went through."""
        self.command(f"stall {serial} {direction} after {after}")

    def fail(self, serial, count, direction="both", after=0):
        """Fail the next `count` transfers of `direction` ("in", "out" or
        "both"), once `after` more bulk OUT transfers went through."""
        self.command(f"fail {serial} {count} {direction} after {after}")

    def plugged(self, serial):
        """Whether the module is on the bus now (it leaves while it restarts)."""
        return self.command(f"plugged {serial}") == "1"

    def outs(self, serial):
        """Lengths of the bulk OUT transfers since the last call."""
        return [int(n) for n in self.command(f"outs {serial}").split()]

    def hid(self, serial, vendor, product, host, port):
        """A hidraw device whose reports travel to host:port framed as a
        2-byte big-endian length and the report bytes."""
        return self.command(f"hid {serial} {vendor:04x} {product:04x} {host} {port}")

    def deny(self, node):
        """Leaves the device node NODE (as `add` or `hid` answered) to root
        alone, so that another user cannot open it, and lets other users
        use the rest of the testbed: umockdev's library makes the sockets
        that stand for udev's event channel in its folder, and connects to
        a node's ioctl socket whenever the node is opened. The node's own
        mode then decides, as on a real bus."""
        os.chmod(self.root, 0o1777)
        for folder, subfolders, files in os.walk(os.path.join(self.root, "ioctl")):
            for name in [*subfolders, *files]:
                os.chmod(os.path.join(folder, name), 0o777)
        os.chmod(os.path.join(self.root, "ioctl"), 0o777)
        os.chmod(os.path.join(self.root, node.lstrip("/")), 0o600)

    def environment(self, base=None):
        env = dict(os.environ if base is None else base)
        env["UMOCKDEV_DIR"] = self.root
        env["LD_PRELOAD"] = self.preload + " " + PRELOAD
        options = env.get("ASAN_OPTIONS", "")
        env["ASAN_OPTIONS"] = (options + ":" if options else "") + "verify_asan_link_order=0"
        return env

    def close(self):
        if self.process.poll() is None:
            try:
                self.command("quit")
            except (BridgeError, BrokenPipeError, OSError):
                pass
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()
        for stream in (self.process.stdin, self.process.stdout):
            try:
                stream.close()
            except OSError:
                pass
        if os.path.isdir(self.root):  # a killed bridge leaves its mount and folder behind
            subprocess.run(["fusermount3", "-u", "-z", "-q", os.path.join(self.root, "usbfs")], check=False,
                           stderr=subprocess.DEVNULL)
            subprocess.run(["rm", "-rf", self.root], check=False)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
