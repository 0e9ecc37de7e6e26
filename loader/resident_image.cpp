#include "loader/resident_image.h"

#include "common/guards.h"
#include "loader/image_path.h"

namespace {

CHAR16 Folded(CHAR16 Char) {
  return Char >= u'a' && Char <= u'z' ? static_cast<CHAR16>(Char - u'a' + u'A') : Char;
}

bool SameFileName(const UINT8 *A, const UINT8 *B, UINTN Bytes) {
  if (Bytes % sizeof(CHAR16) != 0) {
    return CompareMem(A, B, Bytes) == 0;
  }
  for (UINTN Offset = 0; Offset < Bytes; Offset += sizeof(CHAR16)) {
    const auto CharA = static_cast<CHAR16>(A[Offset] | (A[Offset + 1] << 8));
    const auto CharB = static_cast<CHAR16>(B[Offset] | (B[Offset + 1] << 8));
    if (Folded(CharA) != Folded(CharB)) {
      return false;
    }
  }
  return true;
}

// Byte for byte, except that the names in media file path nodes compare
// without regard to letter case, as FAT does: a loader started once as
// \EFI\BOOT\BOOTX64.EFI and once as \efi\boot\bootx64.efi builds the same
// path in two spellings. Both paths are Bytes long and well formed.
bool SamePath(const EFI_DEVICE_PATH *A, const EFI_DEVICE_PATH *B, UINTN Bytes) {
  const auto *BytesA = reinterpret_cast<const UINT8 *>(A);
  const auto *BytesB = reinterpret_cast<const UINT8 *>(B);
  for (UINTN Offset = 0; Offset < Bytes;) {
    // Equal headers: the same type and the same length.
    if (CompareMem(BytesA + Offset, BytesB + Offset, sizeof(EFI_DEVICE_PATH)) != 0) {
      return false;
    }
    const auto *Node = reinterpret_cast<const EFI_DEVICE_PATH *>(BytesA + Offset);
    const UINTN Length = DevicePathNodeLength(Node);
    const UINT8 *PayloadA = BytesA + Offset + sizeof(EFI_DEVICE_PATH);
    const UINT8 *PayloadB = BytesB + Offset + sizeof(EFI_DEVICE_PATH);
    const UINTN PayloadBytes = Length - sizeof(EFI_DEVICE_PATH);
    const bool FileName =
        DevicePathType(Node) == MEDIA_DEVICE_PATH && DevicePathSubType(Node) == MEDIA_FILEPATH_DP;
    if (FileName ? !SameFileName(PayloadA, PayloadB, PayloadBytes)
                 : CompareMem(PayloadA, PayloadB, PayloadBytes) != 0) {
      return false;
    }
    Offset += Length;
  }
  return true;
}

bool LoadedFrom(EFI_HANDLE Image, EFI_HANDLE Device, const EFI_DEVICE_PATH *FilePath,
                UINTN FilePathBytes) {
  EFI_LOADED_IMAGE *Loaded = nullptr;
  EFI_STATUS Status =
      BS->HandleProtocol(Image, &gEfiLoadedImageProtocolGuid, reinterpret_cast<VOID **>(&Loaded));
  if (EFI_ERROR(Status) || Loaded == nullptr || Loaded->DeviceHandle != Device) {
    return false;
  }
  return DevicePathBytes(Loaded->FilePath) == FilePathBytes &&
         SamePath(Loaded->FilePath, FilePath, FilePathBytes);
}

} // namespace

bool ImageResident(EFI_HANDLE Device, const EFI_DEVICE_PATH *FilePath) {
  const UINTN FilePathBytes = DevicePathBytes(FilePath);
  if (FilePathBytes == 0) {
    return false;
  }
  UINTN Count = 0;
  PoolPtr<EFI_HANDLE> Images;
  EFI_STATUS Status = BS->LocateHandleBuffer(ByProtocol, &gEfiLoadedImageProtocolGuid, nullptr,
                                             &Count, Images.Out());
  if (EFI_ERROR(Status)) {
    return false;
  }
  for (UINTN Index = 0; Index < Count; ++Index) {
    if (LoadedFrom(Images[Index], Device, FilePath, FilePathBytes)) {
      return true;
    }
  }
  return false;
}
