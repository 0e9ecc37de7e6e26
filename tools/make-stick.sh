#!/bin/sh
# Writes a disk image to copy onto a USB stick: boot it and the loader starts
# the capture drivers and opens the firmware setup (see usage below).
set -eu

usage() {
  cat <<'EOF'
Usage: tools/make-stick.sh [--key KEY.pem --cert CERT.pem] [--no-build] IMAGE

Builds the loader and the capture drivers (in $BUILD_DIR, default build/)
and writes IMAGE: a 256 MiB disk image with a GPT and one EFI system
partition (FAT32, label CAPTURE) holding, for each architecture the build
has (x64, ia32, aa64):
  EFI/BOOT/BOOT<ARCH>.EFI      the loader
  EFI/BOOT/<arch>/             HotKeyProvider.efi, HotKeyCapture.efi,
                               TimedCapture.efi
  README.TXT                   what the stick does

Copy it to a stick yourself, e.g.
  sudo dd if=IMAGE of=/dev/sdX bs=4M conv=fsync status=progress
(this script never writes to a device).

  --key KEY.pem --cert CERT.pem
              sign every EFI image on the stick with this key pair
              (sbsign), for firmware with Secure Boot on and the
              certificate in its db. The key must not be protected by a
              passphrase. Signatures the images already carry are replaced;
              the build's own files are left as they are.
  --no-build  use the images already in the build folder
  -h, --help  show this text
EOF
}

fail() {
  echo "make-stick: $*" >&2
  exit 1
}

bad_usage() {
  echo "make-stick: $*" >&2
  echo "Try 'tools/make-stick.sh --help'." >&2
  exit 2
}

root=$(cd "$(dirname "$0")/.." && pwd)
build=${BUILD_DIR:-$root/build}
archs_known="x64 ia32 aa64"
drivers="HotKeyProvider.efi HotKeyCapture.efi TimedCapture.efi"
image_mib=256
# The partition starts at 1 MiB (sector 2048), as partitioning tools align it.
first_sector=2048

key='' cert='' image='' no_build=0
while [ $# -gt 0 ]; do
  case $1 in
    -h | --help) usage; exit 0 ;;
    --key | --cert)
      if [ $# -lt 2 ] || [ -z "$2" ]; then bad_usage "$1 needs a file name"; fi
      if [ "$1" = --key ]; then
        [ -z "$key" ] || bad_usage "--key given twice"
        key=$2
      else
        [ -z "$cert" ] || bad_usage "--cert given twice"
        cert=$2
      fi
      shift 2 ;;
    --no-build) no_build=1; shift ;;
    --) shift; break ;;
    -*) bad_usage "unknown option $1" ;;
    *)
      [ -z "$image" ] || bad_usage "one IMAGE only (got '$image' and '$1')"
      image=$1
      shift ;;
  esac
done
if [ $# -gt 0 ]; then
  if [ -n "$image" ] || [ $# -gt 1 ]; then bad_usage "one IMAGE only"; fi
  image=$1
fi
[ -n "$image" ] || bad_usage "no IMAGE given"
if [ -n "$key" ] && [ -z "$cert" ]; then bad_usage "--key needs --cert"; fi
if [ -n "$cert" ] && [ -z "$key" ]; then bad_usage "--cert needs --key"; fi

need() {
  command -v "$1" >/dev/null 2>&1 || fail "$1 not found: install Debian's $2 package"
}
need sgdisk gdisk
need mkfs.fat dosfstools
need mcopy mtools
need mmd mtools
need mdir mtools

# The target: a regular file or nothing yet, never a device. A symbolic link
# is followed, so /dev/disk/by-id/... counts as the device it names.
case $image in
  */) fail "$image names a folder, not an image file" ;;
esac
target=$(readlink -m -- "$image")
case $target in
  /dev/*) fail "$image is under /dev: this script writes an image file only; copy that to the stick with dd yourself" ;;
esac
if [ -e "$target" ] && [ ! -f "$target" ]; then
  fail "$image exists and is not a regular file (a folder or a device?): not touching it"
fi
folder=$(dirname -- "$target")
[ -d "$folder" ] || fail "folder $folder does not exist"
[ -w "$folder" ] || fail "cannot write to folder $folder"

# The key pair, checked before any work: readable, a plain key, and the
# certificate's public key is the key's.
if [ -n "$key" ]; then
  need sbsign sbsigntool
  need sbattach sbsigntool
  need openssl openssl
  for file in "$key" "$cert"; do
    [ -e "$file" ] || fail "$file: no such file"
    [ -f "$file" ] || fail "$file: not a file"
    [ -r "$file" ] || fail "$file: not readable"
  done
  if grep -q ENCRYPTED -- "$key"; then
    fail "$key is protected by a passphrase; sign with a plain copy kept outside the repository, e.g. openssl pkey -in $key -out /tmp/plain-key.pem (delete it afterwards)"
  fi
  key_public=$(openssl pkey -in "$key" -passin pass: -pubout 2>/dev/null) ||
    fail "$key is not a PEM private key"
  cert_public=$(openssl x509 -in "$cert" -noout -pubkey 2>/dev/null) ||
    fail "$cert is not a PEM certificate"
  [ "$key_public" = "$cert_public" ] || fail "$key does not belong to the certificate $cert"
  signer=$(openssl x509 -in "$cert" -noout -subject -nameopt oneline | sed 's/^subject= *//')
fi

work='' partial=''
cleanup() {
  [ -z "$partial" ] || rm -f -- "$partial"
  [ -z "$work" ] || rm -rf -- "$work"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM HUP

# -- the images -------------------------------------------------------------

if [ "$no_build" = 0 ]; then
  if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=Release >/dev/null ||
      fail "configuring $build failed"
  fi
  # The firmware images only (one target per architecture), not the host
  # tests: what the build offers is listed by its "help" target.
  firmware=$(cmake --build "$build" --target help 2>/dev/null |
    sed -n 's/^\(\.\.\. \)\{0,1\}\(efi_[a-z0-9]*\)\(: phony\)\{0,1\}$/\2/p')
  [ -n "$firmware" ] || fail "$build has no firmware targets (efi_<arch>): configure it again"
  # shellcheck disable=SC2086 # a list of target names
  cmake --build "$build" -j "$(nproc)" --target $firmware ||
    fail "building the images in $build failed"
fi

archs=
for arch in $archs_known; do
  [ -f "$build/$arch/CaptureLoader.efi" ] || continue
  for name in $drivers; do
    [ -f "$build/$arch/$name" ] || fail "$build/$arch has the loader but no $name: build again"
  done
  archs="$archs $arch"
done
[ -n "$archs" ] || fail "no CaptureLoader.efi in $build/x64, $build/ia32 or $build/aa64: build first (tools/build.sh)"

work=$(mktemp -d "${TMPDIR:-/tmp}/make-stick.XXXXXX")

# stick_file <arch> <name>: the file to put on the stick, a signed copy when
# signing (earlier signatures removed first, so the key given is the only one).
stick_file() {
  source=$build/$1/$2
  if [ -z "$key" ]; then
    echo "$source"
    return
  fi
  mkdir -p "$work/$1"
  copy=$work/$1/$2
  cp -- "$source" "$copy.unsigned"
  count=0
  while sbverify --list "$copy.unsigned" 2>/dev/null | grep -q '^signature 1'; do
    count=$((count + 1))
    [ "$count" -le 16 ] || return 1
    sbattach --remove "$copy.unsigned" >/dev/null 2>&1 || return 1
  done
  if ! sbsign --key "$key" --cert "$cert" --output "$copy" "$copy.unsigned" \
    >"$work/sbsign.log" 2>&1 </dev/null; then
    cat "$work/sbsign.log" >&2
    return 1
  fi
  echo "$copy"
}

# -- the disk image ---------------------------------------------------------

base=$(basename -- "$target")
partial=$(mktemp "$folder/.$base.XXXXXX")
sectors=$((image_mib * 2048))
# GPT keeps its backup table in the last 33 sectors.
last_sector=$((sectors - 34))
truncate -s "${image_mib}M" "$partial"
sgdisk --clear --new "1:$first_sector:$last_sector" --typecode 1:EF00 \
  --change-name "1:EFI system partition" "$partial" >"$work/sgdisk.log" 2>&1 ||
  { cat "$work/sgdisk.log" >&2; fail "sgdisk could not partition the image"; }

# FAT32 with 2 KiB clusters (130000 of them: FAT32 needs at least 65525);
# hidden sectors = where the partition starts.
partition_kib=$(((last_sector - first_sector + 1) / 2))
mkfs.fat -F 32 -s 4 -h "$first_sector" -n CAPTURE --offset="$first_sector" \
  "$partial" "$partition_kib" >"$work/mkfs.log" 2>&1 ||
  { cat "$work/mkfs.log" >&2; fail "mkfs.fat could not make the file system"; }

export MTOOLS_SKIP_CHECK=1
volume="$partial@@$((first_sector * 512))"
mmd -i "$volume" ::/EFI ::/EFI/BOOT || fail "mtools could not make the folders"
for arch in $archs; do
  mmd -i "$volume" "::/EFI/BOOT/$arch" || fail "mtools could not make EFI/BOOT/$arch"
  boot_name=BOOT$(echo "$arch" | tr '[:lower:]' '[:upper:]').EFI
  file=$(stick_file "$arch" CaptureLoader.efi) || fail "signing $build/$arch/CaptureLoader.efi failed"
  mcopy -i "$volume" "$file" "::/EFI/BOOT/$boot_name" || fail "could not copy $file"
  for name in $drivers; do
    file=$(stick_file "$arch" "$name") || fail "signing $build/$arch/$name failed"
    mcopy -i "$volume" "$file" "::/EFI/BOOT/$arch/$name" || fail "could not copy $file"
  done
done

# Room left, in pictures of 1920 x 1080 (54-byte header, 5760-byte rows).
free=$(mdir -i "$volume" ::/ | sed -n 's/^ *\([0-9 ]*\) bytes free.*/\1/p' | tr -d ' ')
pictures=$((free / (54 + 5760 * 1080)))
archs_text=$(echo "$archs" | sed 's/^ //; s/ /, /g')
if [ -n "$key" ]; then
  secure_boot="its EFI files are signed with the key of the certificate
  $signer
so they start with Secure Boot on when that certificate is in the
firmware's db (Secure Boot settings in setup)."
else
  secure_boot="its EFI files are not signed: with Secure Boot on, the
firmware refuses to start them (it may say \"Access Denied\" or skip the
stick). Turn Secure Boot off in setup for the session, or make a signed
stick:
  tools/make-stick.sh --key KEY.pem --cert CERT.pem IMAGE
with a key whose certificate is enrolled in the firmware's db."
fi
cat >"$work/README.TXT" <<EOF
Screen capture stick
====================

Boot a machine from this stick to take pictures of its firmware's own
screens: setup pages, boot menus, the UEFI shell. It holds the loader for
these processors: $archs_text.

1. Choose the stick in the firmware's boot menu. The loader
   (EFI\\BOOT\\BOOT<arch>.EFI) starts the capture drivers from
   EFI\\BOOT\\<arch>\\ and prints where the pictures will go.
2. After a 3 s countdown it opens the firmware setup. Press any key during
   the countdown to go back to the firmware's boot menu instead.
3. On any firmware screen, Ctrl+Alt+F9 saves the screen as SaveScreen00.bmp,
   SaveScreen01.bmp, ... (24-bit BMP), then draws a small badge near the
   top left corner to show the picture was saved. This works until an
   operating system starts.

The pictures go to the first file-system volume the firmware lists: this
stick, unless the machine has another FAT volume that comes first (then the
loader names that one). Numbering starts at 00 again on every boot, so copy
the pictures off after each session: plug the stick into any computer and
take them from the top folder of the CAPTURE volume. There is room for
about $pictures pictures of 1920 x 1080.

Nothing is installed: the loader changes no boot or driver options. Unplug
the stick and the machine is as before.

Secure Boot: $secure_boot

TimedCapture.efi in EFI\\BOOT\\<arch>\\ saves the screen once, 10 s after
it is loaded (e.g. with "load" in a UEFI shell), as SaveScreen.bmp.
EOF
sed 's/$/\r/' "$work/README.TXT" >"$work/README.crlf"
mcopy -i "$volume" "$work/README.crlf" ::/README.TXT || fail "could not copy README.TXT"

# mktemp made it private; an image is as readable as any new file.
chmod "$(printf %o $((0666 & ~$(umask))))" "$partial"
mv -f -- "$partial" "$target"
partial=
if [ -n "$key" ]; then signed=", signed by $signer"; else signed=", unsigned"; fi
echo "make-stick: wrote $image ($image_mib MiB; loader for $archs_text$signed)"
echo "Copy it to a USB stick with: sudo dd if=$image of=/dev/sdX bs=4M conv=fsync status=progress"
