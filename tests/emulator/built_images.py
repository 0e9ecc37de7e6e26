"""Where the emulator tests find the built .efi images: $EFI_IMAGE_DIR (ctest
sets it to the build folder), else build/ in the repository; the images of
each architecture are in its folder there (x64/, ia32/, aa64/)."""

import os
from pathlib import Path

import pytest

EFI_DIR = Path(os.environ.get("EFI_IMAGE_DIR", Path(__file__).resolve().parents[2] / "build"))


def built_images(*names, arch="x64"):
    """{name: path} of the named images of one architecture; fails the test
    if one is missing."""
    files = {}
    for name in names:
        path = EFI_DIR / arch / name
        if not path.is_file():
            pytest.fail(f"{path} is missing: build the project first (EFI_IMAGE_DIR={EFI_DIR})")
        files[name] = path
    return files
