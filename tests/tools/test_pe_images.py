"""The built firmware images are the PE files each architecture's firmware
loads: the machine, PE32 or PE32+, the subsystem of an application or a
boot-service driver, a base relocation directory that points at a .reloc
section, and every section inside the file and the image. sbsign signs each
one and sbverify accepts the result.

EFI_IMAGE_DIR is the build folder (images in <arch>/), EFI_BUILT_ARCHES the
architectures the build made (space separated)."""

import os
import shutil
import subprocess
from pathlib import Path

import pytest

from pe_image import (DIRECTORY_BASE_RELOCATION, PE32, PE32_PLUS, SUBSYSTEM_APPLICATION,
                      SUBSYSTEM_BOOT_SERVICE_DRIVER, read_pe)

BUILD = Path(os.environ.get("EFI_IMAGE_DIR", Path(__file__).resolve().parents[2] / "build"))
ARCHES = os.environ.get("EFI_BUILT_ARCHES", "x64 ia32 aa64").split()

MACHINE = {"x64": (0x8664, PE32_PLUS), "ia32": (0x14C, PE32), "aa64": (0xAA64, PE32_PLUS)}
APPLICATIONS = {"PaintScreen.efi", "HotKeyProbe.efi", "CaptureLoader.efi"}
DRIVERS = {"TimedCapture.efi", "HotKeyCapture.efi", "HotKeyProvider.efi"}


def images(arch):
    folder = BUILD / arch
    found = sorted(folder.glob("*.efi"))
    names = {path.name for path in found}
    missing = (APPLICATIONS | DRIVERS) - names - {"CaptureLoader.efi"}
    assert not missing, f"{folder} lacks {sorted(missing)}: build first"
    return found


@pytest.mark.parametrize("arch", ARCHES)
def test_headers_fit_the_architecture(arch):
    machine, magic = MACHINE[arch]
    for path in images(arch):
        data = path.read_bytes()
        pe = read_pe(data)
        where = f"{arch}/{path.name}"
        assert (pe.machine, pe.magic) == (machine, magic), where
        expected = SUBSYSTEM_APPLICATION if path.name in APPLICATIONS else \
            SUBSYSTEM_BOOT_SERVICE_DRIVER
        assert pe.subsystem == expected, where

        reloc = pe.section(".reloc")
        assert reloc is not None, f"{where}: no .reloc section"
        rva, size = pe.directories[DIRECTORY_BASE_RELOCATION]
        assert size > 0 and rva == reloc.virtual_address, f"{where}: relocation directory"
        for section in pe.sections:
            assert section.raw_pointer + section.raw_size <= len(data), \
                f"{where}: {section.name} past the end of the file"
            assert section.virtual_address + section.virtual_size <= pe.size_of_image, \
                f"{where}: {section.name} past SizeOfImage"


@pytest.fixture(scope="module")
def signing_key(tmp_path_factory):
    if not shutil.which("sbsign") or not shutil.which("openssl"):
        pytest.fail("sbsign and openssl are needed (Debian: sbsigntool, openssl)")
    folder = tmp_path_factory.mktemp("key")
    key, cert = folder / "test.key", folder / "test.crt"
    subprocess.run(["openssl", "req", "-new", "-x509", "-newkey", "rsa:2048", "-nodes",
                    "-subj", "/CN=image signing test", "-days", "1",
                    "-keyout", key, "-out", cert], check=True, capture_output=True)
    return key, cert


@pytest.mark.parametrize("arch", ARCHES)
def test_sbsign_signs_and_sbverify_accepts(arch, signing_key, tmp_path):
    key, cert = signing_key
    for path in images(arch):
        signed = tmp_path / path.name
        subprocess.run(["sbsign", "--key", key, "--cert", cert, "--output", signed, path],
                       check=True, capture_output=True)
        verify = subprocess.run(["sbverify", "--cert", cert, signed],
                                capture_output=True, text=True)
        assert verify.returncode == 0, f"{arch}/{path.name}: {verify.stdout}{verify.stderr}"
        pe = read_pe(signed.read_bytes())
        assert pe.machine == MACHINE[arch][0], f"{arch}/{path.name}: signing kept the header"
