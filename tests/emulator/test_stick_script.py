"""tools/make-stick.sh on the host, no VM: what it refuses (and that it then
leaves nothing behind and builds nothing), the disk it writes, and signing.

The build folders here are made by the tests: for layout checks any bytes
do, for signing a real PE image from the build is copied under each name.
"""

import hashlib
import mmap
import os
import re
import subprocess
from pathlib import Path

import pytest

from built_images import built_images
from stick_disk import (ESP_TYPE, esp_files, esp_free_bytes, esp_info, esp_read,
                        gpt_partitions, run_make_stick, stick_layout)

IMAGE_BYTES = 256 * 1024 * 1024
PICTURE_1920_1080 = 54 + 5760 * 1080


def openssl(*args):
    subprocess.run(["openssl", *args], check=True, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL)


def new_key_pair(folder, name, passphrase=None):
    key, cert = folder / f"{name}.key", folder / f"{name}.pem"
    protect = ["-passout", f"pass:{passphrase}"] if passphrase else ["-nodes"]
    openssl("req", "-new", "-x509", "-newkey", "rsa:2048", *protect, "-keyout", str(key),
            "-out", str(cert), "-days", "30", "-subj", f"/CN=stick test {name}")
    return key, cert


@pytest.fixture(scope="module")
def keys(tmp_path_factory):
    folder = tmp_path_factory.mktemp("keys")
    return {name: new_key_pair(folder, name, passphrase)
            for name, passphrase in (("one", None), ("two", None), ("locked", "secret"))}


def fake_build(folder, archs=("x64",), source=None, leave_out=()):
    """A build folder with <arch>/CaptureLoader.efi and the drivers: copies
    of source, or bytes naming the file."""
    folder = Path(folder)
    for arch, name in stick_layout(archs).values():
        if (arch, name) in leave_out:
            continue
        path = folder / arch / name
        path.parent.mkdir(parents=True, exist_ok=True)
        path.write_bytes(source.read_bytes() if source else f"{arch}/{name}\n".encode() * 100)
    return folder


def real_pe_image():
    """A PE image from the project's build, for sbsign to work on."""
    return built_images("TimedCapture.efi")["TimedCapture.efi"]


def folder_state(folder):
    """{relative path: sha256} of every file under folder."""
    return {str(path.relative_to(folder)): hashlib.sha256(path.read_bytes()).hexdigest()
            for path in sorted(Path(folder).rglob("*")) if path.is_file()}


# -- refused invocations --------------------------------------------------------------

# (arguments, exit status, part of the message). KEY:<name>/CERT:<name> are
# the key pairs above, OUT is a new image path, DIR an existing folder.
BAD_INVOCATIONS = [
    ([], 2, "no IMAGE given"),
    (["OUT", "OUT2"], 2, "one IMAGE only"),
    (["--", "OUT", "OUT2"], 2, "one IMAGE only"),
    (["--size", "1", "OUT"], 2, "unknown option --size"),
    (["--key"], 2, "--key needs a file name"),
    (["--key", "", "--cert", "CERT:one", "OUT"], 2, "--key needs a file name"),
    (["--key", "KEY:one", "OUT"], 2, "--key needs --cert"),
    (["--cert", "CERT:one", "OUT"], 2, "--cert needs --key"),
    (["--key", "KEY:one", "--key", "KEY:two", "--cert", "CERT:one", "OUT"], 2, "--key given twice"),
    (["--key", "DIR/missing.key", "--cert", "CERT:one", "OUT"], 1, "missing.key: no such file"),
    (["--key", "KEY:one", "--cert", "DIR", "OUT"], 1, "work: not a file"),
    (["--key", "CERT:one", "--cert", "CERT:one", "OUT"], 1, "is not a PEM private key"),
    (["--key", "KEY:one", "--cert", "KEY:one", "OUT"], 1, "is not a PEM certificate"),
    (["--key", "KEY:one", "--cert", "CERT:two", "OUT"], 1, "does not belong to the certificate"),
    (["--key", "KEY:locked", "--cert", "CERT:locked", "OUT"], 1, "protected by a passphrase"),
    (["DIR"], 1, "is not a regular file"),
    (["DIR/new/"], 1, "names a folder"),
    (["DIR/no/such/folder/stick.img"], 1, "does not exist"),
    (["/dev/null"], 1, "is under /dev"),
    (["/dev/sdz"], 1, "is under /dev"),
    (["LINK_TO_DEV"], 1, "is under /dev"),
]


@pytest.mark.parametrize("args,status,message", BAD_INVOCATIONS,
                         ids=[" ".join(case[0]) or "nothing" for case in BAD_INVOCATIONS])
def test_bad_invocation_is_refused_before_any_work(tmp_path, keys, args, status, message):
    work = tmp_path / "work"
    work.mkdir()
    (work / "LINK_TO_DEV").symlink_to("/dev/null")
    places = {"OUT": work / "stick.img", "OUT2": work / "other.img", "DIR": work,
              "LINK_TO_DEV": work / "LINK_TO_DEV"}
    for name, (key, cert) in keys.items():
        places[f"KEY:{name}"], places[f"CERT:{name}"] = key, cert

    def place(arg):
        head, _, tail = arg.partition("/")
        return str(places[head]) + ("/" + tail if tail else "") if head in places else arg

    before = folder_state(work)
    # No --no-build: a refusal must come before the build is even configured.
    build = tmp_path / "build"
    result = run_make_stick(*[place(arg) for arg in args], build_dir=build, build=True)
    assert result.returncode == status, result.stderr
    assert message in result.stderr
    assert result.stderr.startswith("make-stick: ")
    assert not build.exists(), "the build started"
    assert folder_state(work) == before
    assert sorted(os.listdir(work)) == ["LINK_TO_DEV"]


def test_help_shows_usage():
    result = run_make_stick("-h", build_dir="/nonexistent")
    assert result.returncode == 0
    assert result.stdout.startswith("Usage: tools/make-stick.sh [--key KEY.pem --cert CERT.pem]")


# -- failures half-way leave the old image and no temp file ---------------------------

FAILURES_HALF_WAY = {
    "no loader built": (dict(archs=()), "no CaptureLoader.efi"),
    "a driver missing": (dict(leave_out={("x64", "TimedCapture.efi")}),
                         "has the loader but no TimedCapture.efi"),
    # The key pair is fine, but sbsign cannot sign what is not a PE image.
    "sbsign fails": (dict(), "signing"),
}


@pytest.mark.parametrize("case", FAILURES_HALF_WAY)
def test_failure_half_way_leaves_old_image_and_nothing_else(tmp_path, keys, case):
    build_args, message = FAILURES_HALF_WAY[case]
    build = fake_build(tmp_path / "build", **build_args)
    out = tmp_path / "out"
    out.mkdir()
    old = out / "stick.img"
    old.write_bytes(b"an earlier stick\n")
    key, cert = keys["one"]
    sign = ["--key", key, "--cert", cert] if case == "sbsign fails" else []
    build_before = folder_state(build)
    temp = tmp_path / "temp"
    temp.mkdir()
    result = run_make_stick(*sign, old, build_dir=build, env={"TMPDIR": str(temp)})
    assert result.returncode == 1, result.stderr
    assert message in result.stderr
    assert sorted(os.listdir(out)) == ["stick.img"]
    assert old.read_bytes() == b"an earlier stick\n"
    assert folder_state(build) == build_before
    assert not os.listdir(temp), "temp files left"


# -- the disk it writes ---------------------------------------------------------------

@pytest.mark.parametrize("archs", [("x64",), ("x64", "ia32", "aa64"), ("aa64",)],
                         ids="-".join)
def test_stick_holds_each_built_architecture(tmp_path, archs):
    build = fake_build(tmp_path / "build", archs)
    image = tmp_path / "stick.img"
    image.write_bytes(b"replaced")
    result = run_make_stick(image, build_dir=build)
    assert result.returncode == 0, result.stderr
    assert str(image) in result.stdout

    assert image.stat().st_size == IMAGE_BYTES
    assert image.stat().st_mode & 0o444 == 0o444, "the image is not readable by others"
    sectors = IMAGE_BYTES // 512
    # One EFI system partition from 1 MiB to the last usable sector.
    assert [entry[:3] for entry in gpt_partitions(image)] == [(ESP_TYPE, 2048, sectors - 34)]
    info = esp_info(image)
    assert 'disk label="CAPTURE    "' in info and 'disk type="FAT32   "' in info, info

    layout = stick_layout(archs)
    assert esp_files(image) == sorted([*layout, "README.TXT"])
    for path, (arch, name) in layout.items():
        assert esp_read(image, path, tmp_path) == (build / arch / name).read_bytes(), path
    readme = esp_read(image, "README.TXT", tmp_path).decode("ascii")
    assert "\r\n" in readme and "\n" not in readme.replace("\r\n", "")
    for text in ("Ctrl+Alt+F9", "SaveScreen00.bmp", "Secure Boot", "not signed",
                 ", ".join(archs) + "."):
        assert text in readme, text
    assert esp_free_bytes(image) >= 30 * PICTURE_1920_1080
    assert not [name for name in os.listdir(tmp_path) if name.startswith(".stick.img")]


def test_signed_stick_carries_only_the_given_signature(tmp_path, keys):
    key, cert = keys["one"]
    other_key, other_cert = keys["two"]
    build = fake_build(tmp_path / "build", source=real_pe_image())
    # A build signed with another key (EFI_SIGN_KEY): the stick replaces that.
    presigned = build / "x64" / "HotKeyCapture.efi"
    subprocess.run(["sbsign", "--key", other_key, "--cert", other_cert, "--output", presigned,
                    presigned], check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    build_before = folder_state(build)
    image = tmp_path / "stick.img"
    result = run_make_stick("--key", key, "--cert", cert, image, build_dir=build)
    assert result.returncode == 0, result.stderr
    assert folder_state(build) == build_before, "the build's own files changed"

    for path in stick_layout(["x64"]):
        copy = tmp_path / "copy.efi"
        copy.write_bytes(esp_read(image, path, tmp_path))
        verified = subprocess.run(["sbverify", "--cert", cert, copy], stdout=subprocess.PIPE,
                                  stderr=subprocess.STDOUT, text=True)
        assert verified.returncode == 0, f"{path}: {verified.stdout}"
        listed = subprocess.run(["sbverify", "--list", copy], stdout=subprocess.PIPE,
                                stderr=subprocess.DEVNULL, text=True).stdout
        assert re.findall(r"(?m)^signature \d+$", listed) == ["signature 1"], f"{path}: {listed}"
    readme = esp_read(image, "README.TXT", tmp_path).decode("ascii")
    assert "CN = stick test one" in readme and "not signed" not in readme

    # Neither the key nor its PEM text is anywhere on the disk.
    pem_lines = [line for line in key.read_text().splitlines() if "-----" not in line]
    der = subprocess.run(["openssl", "pkey", "-in", key, "-outform", "DER"], check=True,
                         stdout=subprocess.PIPE).stdout
    with open(image, "rb") as file, mmap.mmap(file.fileno(), 0, access=mmap.ACCESS_READ) as disk:
        assert not [line for line in pem_lines if disk.find(line.encode()) != -1]
        assert disk.find(der[-64:]) == -1
