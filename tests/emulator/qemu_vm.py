r"""Boot Debian's UEFI firmware under QEMU and drive its UEFI shell, for tests
and demos, on three platforms: "x64" (OVMF), "ia32" (OVMF32) and "aa64"
(AAVMF); the platform is a parameter of the VM, `Vm(platform="aa64")`.

One VM = one temp folder holding its disk image, firmware variables, serial
and QMP sockets and screen dumps; the folder and the QEMU process are gone
when the `with` block ends, on every path. Nothing needs root: the disk is a
FAT image made and read with mtools.

    disk = FatDisk.create(workdir, files={"TimedCapture.efi": path},
                          startup=["fs0:", "load TimedCapture.efi"])
    with Vm(disk=disk) as vm:
        vm.skip_startup_countdown()
        vm.wait_for("Save is ok")
    data = disk.read("SaveScreen.bmp")

Usually `with Vm(files=..., startup=[...]) as vm:` makes the disk itself in
the VM's folder; `vm.read_file(name)` reads it back once the VM has stopped.

How the awkward set-ups are made (each checked on OVMF 2022.11, QEMU 7.2):

* Console: the firmware's text console is mirrored on the serial port, which
  is a unix socket here. Its output is logged (ANSI escapes kept in the raw
  log, stripped for `console`/`wait_for`), and bytes written to it are keys
  for the shell: `type_line("ver")` runs a command. QMP `send-key` presses
  keys on the emulated keyboard instead (hot keys, held modifiers).
* startup.nsh: the shell runs it from the first volume after a 5 s
  countdown, which it shows even when there is no script;
  `skip_startup_countdown()` presses a key at it, saving the 5 s.
* Read-only volume (`read_only=True`): the disk is a virtio-blk device on a
  `readonly=on` drive. QEMU then offers the device as read-only, OVMF marks
  the medium ReadOnly and its FAT driver refuses to create or write files
  (EFI_WRITE_PROTECTED), while reading (startup.nsh, .efi images) works.
  An IDE disk would not do: QEMU refuses a read-only drive for ide-hd.
* No volume at all: a driver has to come from somewhere, so load it from the
  disk and then take the file system away with the shell's `disconnect`
  (the disk's block device stays, its FAT driver lets go): see
  `remove_volumes()`. Typed over the serial console right after `load`,
  this takes well under a second of the 10 s a timed driver waits.
* No graphics device (`graphics=False`): `-vga none` and no other display
  device, so OVMF installs no graphics output protocol at all (the serial
  console keeps working; `screendump` has nothing to dump).
* Screen modes: OVMF boots at 1280x800 on QEMU's standard VGA and offers
  30 modes from 640x480 to 2560x1600; code in the VM switches them (the
  PaintScreen test app calls the graphics output protocol's SetMode). For
  a width that is not a multiple of 8 (1366) QEMU's display rounds its
  line length down (1360) while OVMF lays out 1366-pixel lines, so the
  screendump shows the frame buffer sheared; the firmware's own view
  (what a capture reads) is unaffected.
* Platforms (see PLATFORMS): x64 is q35 with standard VGA and a PS/2
  keyboard. ia32 is OVMF32, built only with Secure Boot support, so it
  needs SMM and a secure flash (`-machine q35,smm=on` and the pflash
  `secure` property); its variable store has no keys enrolled, so Secure
  Boot is off and unsigned images load. aa64 is AAVMF on `virt` with a
  Cortex-A57: its only display is `ramfb` (virtio-gpu-pci has no frame
  buffer a graphics output protocol could offer) and its keyboard a USB one
  on an xHCI controller (QMP send-key reaches it); the console is the PL011
  serial port. All three print the same console: "BdsDxe: loading Boot0001
  ..." lines, then the shell's banner, countdown and prompt, with the same
  escapes. From QEMU's start to the shell prompt (countdown skipped), on
  this 2-core machine without KVM: x64 and ia32 about 6 s, aa64 about 9 s.
* Secure Boot (`secure_boot=True`, x64 only): OVMF built with Secure Boot
  support and a variable store with Debian's snakeoil keys enrolled
  (SNAKEOIL_KEY_PEM / SNAKEOIL_CERT_PEM sign images it accepts, e.g.
  `sbsign` with the key decrypted by `openssl rsa -passin pass:snakeoil`).
  The firmware's own shell is refused there ("failed to start Boot0002
  "EFI Internal Shell" ...: Security Violation", then "No bootable option
  or device was found."), so such a VM runs only what it boots from a disk,
  e.g. a signed \EFI\BOOT\BOOTX64.EFI; an unsigned one gets "Security
  Violation" on the console.
* Disks: the main disk is a virtio-blk device, or with `disk_bus="usb"` a
  USB mass-storage device on an xHCI controller; `extra_disks` are
  virtio-blk devices placed before it, so the firmware usually lists their
  volumes first. `FatDisk(path, offset)` reaches a FAT volume inside a
  partitioned image (offset 1048576: the first partition of a stick image).
* `load X.efi` reports "Image 'FS0:\X.efi' loaded at <addr> - Success", or
  after a driver's own message "Image '...' error in StartImage: <status>"
  (LOAD_OK / LOAD_ERROR below).

QEMU gets PR_SET_PDEATHSIG, so it dies with the thread that started it even
if the test process is killed hard: start VMs from a thread that outlives
them (the main thread, normally).
"""

import ctypes
import dataclasses
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import tempfile
import threading
import time
from dataclasses import dataclass
from pathlib import Path

QEMU = "qemu-system-x86_64"
OVMF_CODE = Path("/usr/share/OVMF/OVMF_CODE_4M.fd")
OVMF_VARS = Path("/usr/share/OVMF/OVMF_VARS_4M.fd")

SNAKEOIL_KEY_PEM = Path("/usr/share/ovmf/PkKek-1-snakeoil.key")  # password "snakeoil"
SNAKEOIL_CERT_PEM = Path("/usr/share/ovmf/PkKek-1-snakeoil.pem")

# Flash writes only from SMM: what Secure Boot builds of OVMF need.
_SECURE_FLASH = ("-machine", "q35,smm=on",
                 "-global", "driver=cfi.pflash01,property=secure,value=on")


@dataclass(frozen=True)
class Platform:
    """How one firmware is run: the QEMU binary and machine, the firmware
    code and variable store files, the display and keyboard devices."""
    arch: str           # build folder name of the images: x64, ia32, aa64
    qemu: str
    machine: tuple      # machine and CPU arguments
    code: Path          # firmware code, attached read-only
    vars: Path          # variable store, copied for each VM
    display: tuple      # the graphics device (left out with graphics=False)
    keyboard: tuple     # extra devices for the keyboard
    usb_controller: str = ""  # id of an xHCI controller `keyboard` adds, if any

    def installed(self):
        """None, or why this platform cannot run here."""
        if shutil.which(self.qemu) is None:
            return f"{self.qemu} is not installed"
        for path in (self.code, self.vars):
            if not path.is_file():
                return f"{path} is missing"
        return None


PLATFORMS = {
    "x64": Platform("x64", QEMU, ("-machine", "q35"), OVMF_CODE, OVMF_VARS,
                    display=("-vga", "std"), keyboard=()),  # PS/2 keyboard of q35
    "ia32": Platform("ia32", "qemu-system-i386", _SECURE_FLASH,
                     Path("/usr/share/OVMF/OVMF32_CODE_4M.secboot.fd"),
                     Path("/usr/share/OVMF/OVMF32_VARS_4M.fd"),
                     display=("-vga", "std"), keyboard=()),
    "aa64": Platform("aa64", "qemu-system-aarch64", ("-machine", "virt", "-cpu", "cortex-a57"),
                     Path("/usr/share/AAVMF/AAVMF_CODE.fd"), Path("/usr/share/AAVMF/AAVMF_VARS.fd"),
                     display=("-device", "ramfb"),
                     keyboard=("-device", "qemu-xhci,id=xhci", "-device", "usb-kbd,bus=xhci.0"),
                     usb_controller="xhci"),
}
SECURE_X64 = dataclasses.replace(PLATFORMS["x64"], machine=_SECURE_FLASH,
                                 code=Path("/usr/share/OVMF/OVMF_CODE_4M.snakeoil.fd"),
                                 vars=Path("/usr/share/OVMF/OVMF_VARS_4M.snakeoil.fd"))


def platform_named(name, secure_boot=False):
    """The Platform for "x64", "ia32" or "aa64" (a Platform passes through)."""
    platform = name if isinstance(name, Platform) else PLATFORMS.get(name)
    if platform is None:
        raise ValueError(f"unknown platform {name!r}; known: {', '.join(PLATFORMS)}")
    if secure_boot:
        if platform.arch != "x64":
            raise ValueError("secure_boot=True is set up for x64 only")
        return SECURE_X64
    return platform

# Console escapes OVMF's terminal driver sends: CSI sequences (colours,
# cursor moves, "ESC [=3h" mode sets) and two-byte ESC sequences.
_ESCAPE = re.compile(rb"\x1b\[[0-9;=?]*[A-Za-z]|\x1b[()][0-9A-Za-z]|\x1b[0-9A-Za-z=>]")

# The shell's prompt ("Shell> ", "FS0:\> "); the `load` command's reports.
PROMPT = re.compile(r"(?m)^(?:Shell|[A-Za-z0-9]+:\\[^\n>]*)> ")
LOAD_OK = re.compile(r"Image '([^']*)' loaded at [0-9A-Fa-f]+ - Success")
# Up to the line end, so the status text is never matched half-arrived.
LOAD_ERROR = re.compile(r"Image '([^']*)' error in StartImage: ([^\n]*)\n")


def strip_console(raw):
    """Serial console bytes as plain text: escapes gone, CR LF -> LF."""
    text = _ESCAPE.sub(b"", raw).decode("latin-1")
    return text.replace("\r\n", "\n")


def _incomplete_tail(raw):
    """Length of an unfinished escape or CR at the end of raw."""
    escape = raw.rfind(b"\x1b")
    if escape != -1 and len(raw) - escape < 16 and not _ESCAPE.match(raw, escape):
        return len(raw) - escape
    return 1 if raw.endswith(b"\r") else 0


def console_lines(text):
    """Non-empty lines of a stripped console text (a lone CR also ends one)."""
    return [line for line in re.split(r"[\r\n]", text) if line.strip()]


class VmError(RuntimeError):
    """The VM did not do what was waited for (timeout, QEMU exited, ...)."""


def _run(args, **kwargs):
    return subprocess.run(args, check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE, **kwargs)


class FatDisk:
    """A FAT file system in an image file, written and read with mtools: at
    offset 0 a "superfloppy" (no partition table: OVMF mounts it directly),
    or at `offset` bytes into a partitioned image (1048576: the first
    partition of a stick image). Names may hold folders ("EFI/BOOT/x.efi")."""

    def __init__(self, path, offset=0):
        self.path = Path(path)
        self.offset = offset

    @classmethod
    def create(cls, folder, name="disk.img", size_mb=64, label="TESTVOL", files=None,
               startup=None):
        path = Path(folder) / name
        with open(path, "wb") as image:
            image.truncate(size_mb * 1024 * 1024)
        _run(["mkfs.fat", "-n", label, str(path)])
        disk = cls(path)
        for target, source in (files or {}).items():
            disk.put(target, source)
        if startup is not None:
            disk.put_script("startup.nsh", startup)
        return disk

    def _image(self):
        """mtools' -i argument: the image, and the volume's offset in it."""
        return f"{self.path}@@{self.offset}" if self.offset else str(self.path)

    def _missing(self, name):
        """Index of the first part of the path name that is not on the
        volume, or None when the whole path is there."""
        parts = name.strip("/").split("/")
        for depth, part in enumerate(parts):
            listed = self.names("/".join(parts[:depth]))
            if part.casefold() not in (entry.casefold() for entry in listed):
                return depth
        return None

    def _make_folders(self, name):
        """Creates the folders above name that are not there yet."""
        parts = name.strip("/").split("/")[:-1]
        missing = self._missing("/".join(parts)) if parts else None
        if missing is not None:
            for depth in range(missing + 1, len(parts) + 1):
                _run(["mmd", "-i", self._image(), "::" + "/".join(parts[:depth])])

    def put(self, name, source):
        """Copies a host file, or writes bytes, to \\name on the volume,
        creating the folders on the way."""
        self._make_folders(name)
        if isinstance(source, (bytes, bytearray)):
            with tempfile.NamedTemporaryFile(dir=self.path.parent) as data:
                data.write(source)
                data.flush()
                _run(["mcopy", "-o", "-i", self._image(), data.name, "::" + name])
        else:
            _run(["mcopy", "-o", "-i", self._image(), str(source), "::" + name])

    def put_script(self, name, lines):
        """A shell script, one command per line (CR LF, as the shell expects)."""
        self.put(name, ("\r\n".join(lines) + "\r\n").encode("ascii"))

    @staticmethod
    def _split(name):
        folder, _, base = name.strip("/").rpartition("/")
        return folder, base

    def read(self, name):
        """Bytes of \\name, or None when there is no such file."""
        if self._missing(name) is not None:
            return None
        with tempfile.TemporaryDirectory(dir=self.path.parent) as scratch:
            out = Path(scratch) / "file"
            _run(["mcopy", "-n", "-i", self._image(), "::" + name, str(out)])
            return out.read_bytes()

    def names(self, folder=""):
        """Long names of the files and folders in a folder (default: the
        root); the folder must exist."""
        listing = _run(["mdir", "-b", "-i", self._image(), "::/" + folder.strip("/")]).stdout
        return [line.rstrip("/").rsplit("/", 1)[-1] for line in listing.decode().splitlines()
                if line]

    _LISTED = re.compile(r"(?m)^(\S+) +(\S*) +(\d+) \d{4}-\d\d-\d\d +\d+:\d\d *(.*?) *$")

    def length(self, name):
        """Length of \\name as its directory entry says now, or None. Only
        reads, so it may be asked while the VM runs (the firmware writes the
        length when it closes the file)."""
        folder, base = self._split(name)
        listing = subprocess.run(["mdir", "-a", "-i", self._image(), "::/" + folder],
                                 stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        for short, extension, length, long_name in self._LISTED.findall(listing.stdout.decode()):
            listed = long_name or (f"{short}.{extension}" if extension else short)
            if listed.casefold() == base.casefold():
                return int(length)
        return None


def _die_with_parent():
    # QEMU must not outlive the test process, even if that is killed hard.
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(1, signal.SIGKILL)  # PR_SET_PDEATHSIG


class Vm:
    """One QEMU + UEFI firmware machine; use as a context manager.

    platform    "x64", "ia32" or "aa64" (see PLATFORMS); `vm.platform.arch`
                names the build folder of the images to test on it
    secure_boot True (x64 only): Secure Boot on, snakeoil keys enrolled
    disk        a FatDisk to attach, or None; default: a new one made in the
                VM's folder from `files` and `startup` (pass disk=None and no
                files for a machine without any disk)
    disk_bus    "virtio" (default) or "usb": the main disk as a USB stick
    extra_disks more FatDisks (any image file with a `path`), attached as
                virtio-blk devices before the main disk
    files       {name on the volume: host path or bytes}
    startup     lines of startup.nsh (None: no startup.nsh)
    read_only   attach the disk read-only (see the module notes)
    graphics    False: no display device, hence no graphics output protocol
    reboot      True: a guest reset restarts the firmware (the variable store
                copy is kept); default: QEMU exits on reset
    timeout     hard limit in seconds for the VM's whole life; QEMU is killed
                then and every wait fails at once

    `vm.vars_path` is the VM's copy of the firmware's variable store, made
    when the VM is made; it stays until close() and is complete once the VM
    has stopped.
    """

    _DEFAULT = object()

    def __init__(self, disk=_DEFAULT, files=None, startup=None, read_only=False, graphics=True,
                 timeout=120, memory_mb=256, disk_mb=64, extra_args=(), reboot=False,
                 platform="x64", secure_boot=False, disk_bus="virtio", extra_disks=()):
        self.platform = platform_named(platform, secure_boot)
        if disk_bus not in ("virtio", "usb"):
            raise ValueError(f"disk_bus {disk_bus!r}: virtio or usb")
        self.folder = Path(tempfile.mkdtemp(prefix=f"qemu-vm-{self.platform.arch}-"))
        self._process = None
        self._serial = None
        self._qmp = None
        self._qmp_buffer = b""
        self._qmp_lock = threading.Lock()
        self._raw = bytearray()
        self._text = ""
        self._raw_lock = threading.Lock()
        self._changed = threading.Condition(self._raw_lock)
        self._reader = None
        self._killer = None
        self._stderr = None
        self.killed_by_timeout = False
        self._cursor = 0
        try:
            if disk is Vm._DEFAULT:
                disk = FatDisk.create(self.folder, size_mb=disk_mb, files=files, startup=startup)
            elif files or startup is not None:
                raise ValueError("files/startup go on a disk the VM makes itself")
            self.disk = disk
            self.read_only = read_only
            self.graphics = graphics
            self.timeout = timeout
            self.memory_mb = memory_mb
            self.extra_args = list(extra_args)
            self.reboot = reboot
            self.disk_bus = disk_bus
            self.extra_disks = list(extra_disks)
            self.vars_path = self.folder / self.platform.vars.name
            shutil.copyfile(self.platform.vars, self.vars_path)
        except BaseException:
            shutil.rmtree(self.folder, ignore_errors=True)
            raise

    # -- life cycle -------------------------------------------------------

    def __enter__(self):
        try:
            self.start()
        except BaseException:
            self.close()
            raise
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    def command_line(self):
        platform = self.platform
        args = [
            platform.qemu, *platform.machine, "-m", str(self.memory_mb), "-nodefaults",
            "-no-user-config", "-display", "none", "-net", "none",
            "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={platform.code}",
            "-drive", f"if=pflash,format=raw,unit=1,file={self.vars_path}",
            # wait=on: the guest starts only once start() is connected, so no
            # console output is lost.
            "-chardev", f"socket,id=serial0,path={self.folder / 'serial.sock'},server=on,wait=on",
            "-serial", "chardev:serial0",
            "-qmp", f"unix:{self.folder / 'qmp.sock'},server=on,wait=off",
        ]
        if self.graphics:
            args += platform.display
        elif platform.display[0] == "-vga":
            args += ["-vga", "none"]
        args += platform.keyboard
        if not self.reboot:
            args.append("-no-reboot")
        for number, extra in enumerate(self.extra_disks, 1):
            args += ["-drive", f"if=none,id=disk{number},format=raw,file={extra.path}",
                     "-device", f"virtio-blk-pci,drive=disk{number}"]
        if self.disk is not None:
            readonly = ",readonly=on" if self.read_only else ""
            args += ["-drive", f"if=none,id=disk0,format=raw,file={self.disk.path}{readonly}"]
            if self.disk_bus == "usb":
                controller = platform.usb_controller
                if not controller:
                    controller = "usbdisk"
                    args += ["-device", f"qemu-xhci,id={controller}"]
                args += ["-device", f"usb-storage,bus={controller}.0,drive=disk0"]
            else:
                args += ["-device", "virtio-blk-pci,drive=disk0"]
        return args + self.extra_args

    def start(self):
        self.started_at = time.monotonic()
        self._stderr = open(self.folder / "qemu.stderr", "wb")
        self._process = subprocess.Popen(self.command_line(), stdin=subprocess.DEVNULL,
                                         stdout=self._stderr, stderr=subprocess.STDOUT,
                                         preexec_fn=_die_with_parent)
        self._killer = threading.Timer(self.timeout, self._kill_for_timeout)
        self._killer.daemon = True
        self._killer.start()
        self._serial = self._connect(self.folder / "serial.sock")
        self._reader = threading.Thread(target=self._read_serial, daemon=True)
        self._reader.start()
        self._qmp = self._connect(self.folder / "qmp.sock")
        self._qmp.settimeout(30)
        self._qmp_receive()  # greeting
        self.qmp("qmp_capabilities")

    def _connect(self, path):
        deadline = time.monotonic() + 30
        while True:
            self._check_running()
            try:
                sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
                sock.connect(str(path))
                return sock
            except (FileNotFoundError, ConnectionRefusedError):
                sock.close()
                if time.monotonic() > deadline:
                    raise VmError(f"QEMU did not open {path.name}")
                time.sleep(0.05)

    def _kill_for_timeout(self):
        self.killed_by_timeout = True
        self._kill()

    def _kill(self):
        if self._process is not None and self._process.poll() is None:
            self._process.kill()

    def running(self):
        return self._process is not None and self._process.poll() is None

    def _check_running(self):
        if self._process.poll() is not None:
            why = "killed after its %d s limit" % self.timeout if self.killed_by_timeout else \
                "exited with %s" % self._process.returncode
            raise VmError(f"QEMU {why}; stderr: {self.qemu_stderr()[-2000:]}\n"
                          f"console tail:\n{self.console()[-3000:]}")

    def qemu_stderr(self):
        try:
            return (self.folder / "qemu.stderr").read_text(errors="replace")
        except OSError:
            return ""

    def stop(self, timeout=20):
        """Ends QEMU (QMP quit, then kill); the disk image stays readable."""
        if self._process is None:
            return
        if self._process.poll() is None and self._qmp is not None:
            try:
                self.qmp("quit")
            except (OSError, VmError, ValueError):
                pass
        try:
            self._process.wait(timeout)
        except subprocess.TimeoutExpired:
            self._process.kill()
            self._process.wait()
        if self._killer is not None:
            self._killer.cancel()
        for sock in (self._serial, self._qmp):
            if sock is not None:
                sock.close()
        self._serial = self._qmp = None
        if self._reader is not None:
            self._reader.join(5)
        if self._stderr is not None:
            self._stderr.close()

    def close(self):
        """Stops QEMU and removes the VM's folder (disk image included when
        the VM made it). Set QEMU_VM_KEEP=1 to keep folders for debugging."""
        try:
            self.stop()
        finally:
            if os.environ.get("QEMU_VM_KEEP"):
                (self.folder / "console.log").write_bytes(bytes(self._raw))
                print(f"kept VM folder {self.folder}")
            else:
                shutil.rmtree(self.folder, ignore_errors=True)

    # -- serial console ---------------------------------------------------

    def _read_serial(self):
        sock = self._serial
        pending = b""
        while True:
            try:
                data = sock.recv(65536)
            except OSError:
                data = b""
            with self._changed:
                if data:
                    self._raw += data
                    # A chunk may end inside an escape or between CR and LF:
                    # keep that tail back so offsets into the text never move.
                    pending += data
                    keep = _incomplete_tail(pending)
                    self._text += strip_console(pending[:len(pending) - keep])
                    pending = pending[len(pending) - keep:]
                else:
                    self._text += strip_console(pending)
                self._changed.notify_all()
            if not data:
                return

    def raw_console(self):
        with self._raw_lock:
            return bytes(self._raw)

    def console(self):
        """Everything the console printed so far, as plain text."""
        with self._raw_lock:
            return self._text

    def wait_for(self, pattern, timeout=60, since=None):
        """Waits until the console shows `pattern` (text or compiled regex)
        after the end of the previous match (or the offset `since`) and
        returns the match; its end is where the next wait starts."""
        regex = pattern if isinstance(pattern, re.Pattern) else re.compile(re.escape(pattern))
        start = self._cursor if since is None else since
        deadline = time.monotonic() + timeout
        with self._changed:
            while True:
                text = self._text
                match = regex.search(text, start)
                if match:
                    self._cursor = match.end()
                    return match
                left = deadline - time.monotonic()
                if left <= 0 or self._serial is None or not self.running():
                    break
                self._changed.wait(min(left, 0.5))
        if not self.running():
            self._check_running()
        raise VmError(f"console did not show {regex.pattern!r} within {timeout} s; "
                      f"after offset {start}:\n{text[start:][-3000:]}")

    def wait_for_file(self, name, length, timeout=30, since=None):
        """Waits until the disk's directory lists `name` at `length` bytes (a
        file system writes the length when the file is closed); returns the
        seconds since `since` (a time.monotonic() value, default now), from
        which the timeout also counts."""
        since = time.monotonic() if since is None else since
        while True:
            if self.disk.length(name) == length:
                return time.monotonic() - since
            if time.monotonic() - since > timeout or not self.running():
                break
            time.sleep(0.05)
        self._check_running()
        saved = sorted(self.disk.names())
        raise VmError(f"{name} ({length} bytes) not saved within {timeout} s; its length: "
                      f"{self.disk.length(name)}, files on the disk: {saved}")

    def mark(self):
        """Offset where the next wait starts (for slicing `console()`)."""
        return self._cursor

    def type_text(self, text):
        """Sends text to the shell as key strokes over the serial console."""
        self._check_running()
        self._serial.sendall(text.encode("ascii"))

    def type_line(self, command):
        self.type_text(command + "\r")

    def skip_startup_countdown(self, timeout=60):
        """Waits for the shell's startup.nsh countdown and ends it with a key."""
        self.wait_for("startup.nsh or any other key to continue", timeout)
        self.type_text(" ")

    def wait_for_prompt(self, timeout=60):
        return self.wait_for(PROMPT, timeout)

    def run_command(self, command, timeout=60):
        """Types a shell command at the prompt that was waited for last and
        returns what it printed up to the next prompt (the echoed command
        and the new prompt excluded)."""
        start = self._cursor
        self.type_line(command)
        end = self.wait_for(PROMPT, timeout).start()
        output = self.console()[start:end]
        return output.split("\n", 1)[1] if "\n" in output else ""

    def remove_volumes(self, timeout=60):
        """Disconnects every file-system volume, at a shell prompt: the drivers
        above each block device let go, so no simple-file-system handle is
        left. Returns the shell's numbers of the handles disconnected. The
        shell's current directory goes too: use absolute commands afterwards,
        and `connect -r` brings the volumes back."""
        listing = self.run_command("dh -p SimpleFileSystem", timeout)
        handles = re.findall(r"(?m)^\s*([0-9A-Fa-f]+): ", listing)
        for handle in handles:
            output = self.run_command(f"disconnect {handle}", timeout)
            if "Success" not in output:
                raise VmError(f"disconnect {handle}: {output}")
        return handles

    # -- QMP --------------------------------------------------------------

    def _qmp_receive(self):
        while b"\n" not in self._qmp_buffer:
            data = self._qmp.recv(65536)
            if not data:
                raise VmError("QMP connection closed")
            self._qmp_buffer += data
        line, self._qmp_buffer = self._qmp_buffer.split(b"\n", 1)
        return json.loads(line)

    def qmp(self, command, **arguments):
        """Runs a QMP command and returns its "return" value."""
        with self._qmp_lock:
            message = {"execute": command}
            if arguments:
                message["arguments"] = arguments
            self._qmp.sendall(json.dumps(message).encode() + b"\n")
            while True:
                reply = self._qmp_receive()
                if "event" in reply:
                    continue
                if "error" in reply:
                    raise VmError(f"QMP {command}: {reply['error']}")
                return reply.get("return")

    def send_key(self, *keys, hold_ms=None):
        """Presses keys together on the emulated keyboard, by QEMU key codes
        ("ctrl", "alt", "f12", "a", "ret", ...), then lets go of them."""
        arguments = {"keys": [{"type": "qcode", "data": key} for key in keys]}
        if hold_ms is not None:
            arguments["hold-time"] = hold_ms
        self.qmp("send-key", **arguments)

    def screendump(self, name="screen.ppm"):
        """The emulated display now, as a Pillow RGB image."""
        from PIL import Image
        path = self.folder / name
        self.qmp("screendump", filename=str(path))
        with Image.open(path) as image:
            return image.convert("RGB")

    # -- disk -------------------------------------------------------------

    def read_file(self, name):
        """A file from the VM's disk (None if absent); only once stopped,
        so the firmware's writes are all in the image."""
        if self.running():
            raise VmError("stop the VM before reading its disk")
        return self.disk.read(name)
