#!/usr/bin/python3
"""Boot OVMF in QEMU, let the capture drivers save the screen, and bring the
pictures to a host folder (BMP as saved, plus a PNG copy of each).

  run_demo.py [--images BUILD_DIR] [--out DIR] [--only NAME ...]

Each demo is one function in DEMOS: it gets the folder of the built .efi
images and returns {file name on the VM's disk: bytes}. The timed one loads
TimedCapture.efi from the shell, shows some shell output (`ver`, `map`)
and waits for the capture ten seconds later.
"""

import argparse
import io
import re
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(ROOT / "tests" / "emulator"))

from qemu_vm import LOAD_OK, Vm  # noqa: E402


def need_image(images, name):
    path = Path(images) / name
    if not path.is_file():
        sys.exit(f"{path} is missing: build first (tools/build.sh)")
    return path


def timed_demo(images):
    """TimedCapture: the shell screen after `ver` and `map`, saved 10 s
    after `load`."""
    startup = ["fs0:", "ver", "map", "load TimedCapture.efi",
               "echo TimedCapture saves this screen 10 s after the load above."]
    with Vm(files={"TimedCapture.efi": need_image(images, "TimedCapture.efi")},
            startup=startup, timeout=120) as vm:
        vm.skip_startup_countdown()
        print("  ", vm.wait_for(LOAD_OK, 60).group(0))
        loaded = time.monotonic()
        size = vm.wait_for(re.compile(r"ScreenWidth:\d+,ScreenHeight:\d+"), 30).group(0)
        print("  ", size, f"({time.monotonic() - loaded:.1f} s after the load)")
        vm.wait_for("Save is ok ,thank you", 60)
        print("   Save is ok ,thank you")
        vm.stop()
        return {"SaveScreen.bmp": vm.read_file("SaveScreen.bmp")}


DEMOS = {"timed": timed_demo}


def save_pictures(pictures, out):
    """Writes each BMP and a PNG copy to out; returns the paths written."""
    from PIL import Image
    out.mkdir(parents=True, exist_ok=True)
    written = []
    for name, data in pictures.items():
        if data is None:
            sys.exit(f"the VM's disk has no {name}")
        bmp = out / name
        bmp.write_bytes(data)
        png = bmp.with_suffix(".png")
        with Image.open(io.BytesIO(data)) as picture:
            picture.save(png)
            print(f"   {name}: {picture.size[0]}x{picture.size[1]}")
        written += [bmp, png]
    return written


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--images", type=Path, default=ROOT / "build",
                        help="folder with the built .efi images (default: build/)")
    parser.add_argument("--out", type=Path, default=ROOT / "out",
                        help="host folder for the pictures (default: out/)")
    parser.add_argument("--only", choices=sorted(DEMOS), action="append",
                        help="run only this demo (repeatable)")
    args = parser.parse_args()

    written = []
    for name in args.only or list(DEMOS):
        print(f"{name}: booting OVMF in QEMU")
        written += save_pictures(DEMOS[name](args.images), args.out)
    print("pictures written:")
    for path in written:
        print(f"  {path.resolve()}")


if __name__ == "__main__":
    main()
