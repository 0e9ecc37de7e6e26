"""The capture stick as the tests see it: tools/make-stick.sh run on a build
folder, and the image it writes read back on the host (GPT entries, the
FAT volume of the EFI system partition through mtools)."""

import os
import struct
import subprocess
import uuid
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
MAKE_STICK = ROOT / "tools" / "make-stick.sh"

ESP_TYPE = uuid.UUID("C12A7328-F81F-11D2-BA4B-00A0C93EC93B")
ESP_OFFSET = 1024 * 1024
SECTOR = 512
DRIVERS = ("HotKeyProvider.efi", "HotKeyCapture.efi", "TimedCapture.efi")
BOOT_NAMES = {"x64": "BOOTX64.EFI", "ia32": "BOOTIA32.EFI", "aa64": "BOOTAA64.EFI"}


def run_make_stick(*args, build_dir, build=False, env=None, timeout=120):
    """Runs make-stick.sh with BUILD_DIR=build_dir (and --no-build unless
    build) and env added to the environment; returns the CompletedProcess,
    output as text."""
    env = dict(os.environ, BUILD_DIR=str(build_dir), **(env or {}))
    command = [str(MAKE_STICK)] + ([] if build else ["--no-build"]) + [str(arg) for arg in args]
    return subprocess.run(command, env=env, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                          text=True, timeout=timeout)


def stick_layout(archs):
    """{path on the volume: (arch, build file name)} the stick should hold."""
    files = {}
    for arch in archs:
        files[f"EFI/BOOT/{BOOT_NAMES[arch]}"] = (arch, "CaptureLoader.efi")
        for name in DRIVERS:
            files[f"EFI/BOOT/{arch}/{name}"] = (arch, name)
    return files


def gpt_partitions(path):
    """[(type UUID, first LBA, last LBA, name)] of the used GPT entries,
    after checking the header's signature."""
    with open(path, "rb") as disk:
        disk.seek(SECTOR)
        header = disk.read(92)
        assert header[:8] == b"EFI PART", "no GPT header at LBA 1"
        entries_lba, count, entry_size = struct.unpack_from("<QII", header, 72)
        disk.seek(entries_lba * SECTOR)
        table = disk.read(count * entry_size)
    partitions = []
    for index in range(count):
        entry = table[index * entry_size:][:entry_size]
        kind = uuid.UUID(bytes_le=entry[:16])
        if kind.int == 0:
            continue
        first, last = struct.unpack_from("<QQ", entry, 32)
        name = entry[56:128].decode("utf-16-le").rstrip("\0")
        partitions.append((kind, first, last, name))
    return partitions


def _mtools(*args, image):
    env = dict(os.environ, MTOOLS_SKIP_CHECK="1")
    return subprocess.run([args[0], "-i", f"{image}@@{ESP_OFFSET}", *args[1:]], env=env,
                          check=True, stdout=subprocess.PIPE, stderr=subprocess.PIPE)


def esp_files(image):
    """Paths of the files (not folders) on the stick's volume, without a
    leading slash."""
    listing = _mtools("mdir", "-/", "-b", "::/", image=image).stdout.decode()
    return sorted(line[3:] for line in listing.splitlines()
                  if line.startswith("::/") and not line.endswith("/"))


def esp_read(image, name, folder):
    """Bytes of a file on the stick's volume (copied out into folder)."""
    out = Path(folder) / Path(name).name
    _mtools("mcopy", "-n", f"::/{name}", str(out), image=image)
    return out.read_bytes()


def esp_info(image):
    """minfo's report on the stick's volume, as text."""
    return _mtools("minfo", "::", image=image).stdout.decode()


def esp_free_bytes(image):
    listing = _mtools("mdir", "::/", image=image).stdout.decode()
    line = next(line for line in listing.splitlines() if line.strip().endswith("bytes free"))
    return int(line.replace("bytes free", "").replace(" ", ""))
