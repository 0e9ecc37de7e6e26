#include "loader/image_path.h"

#include "loader/arch.h"

namespace {

// Device paths from the firmware carry their own lengths; a walk longer than
// this is a corrupt path, not a real one.
constexpr UINTN MaxPathNodes = 64;
constexpr UINTN NodeHeaderBytes = 4;

// A bounded, always NUL-terminated text in the caller's buffer.
class PathText {
public:
  explicit PathText(CHAR16 (&Buffer)[MaxImagePathChars]) : Buffer_(Buffer) { Buffer_[0] = 0; }

  void Append(CHAR16 Char) {
    if (Length_ + 1 >= MaxImagePathChars) {
      Overflow_ = true;
      return;
    }
    Buffer_[Length_++] = Char;
    Buffer_[Length_] = 0;
  }
  void Append(const CHAR16 *Text) {
    for (; *Text != 0; ++Text) {
      Append(*Text);
    }
  }
  // Appends one file path node's text as the next part of the path: '/' read
  // as '\', exactly one backslash between parts.
  void AppendPart(const UINT8 *Chars, UINTN Count) {
    bool First = true;
    for (UINTN Index = 0; Index < Count; ++Index) {
      CHAR16 Char;
      CopyMem(&Char, Chars + Index * sizeof(CHAR16), sizeof Char); // nodes are byte-packed
      if (Char == 0) {
        break;
      }
      if (Char == u'/') {
        Char = u'\\';
      }
      if (First && Length_ != 0) {
        const bool HasSeparator = Buffer_[Length_ - 1] == u'\\';
        if (HasSeparator && Char == u'\\') {
          First = false;
          continue;
        }
        if (!HasSeparator && Char != u'\\') {
          Append(u'\\');
        }
      }
      First = false;
      Append(Char);
    }
  }
  // Keeps the text before the last backslash (nothing when there is none).
  void CutToFolder() {
    UINTN Cut = 0;
    for (UINTN Index = 0; Index < Length_; ++Index) {
      if (Buffer_[Index] == u'\\') {
        Cut = Index;
      }
    }
    Length_ = Cut;
    Buffer_[Length_] = 0;
  }
  bool Overflow() const { return Overflow_; }

private:
  CHAR16 *Buffer_;
  UINTN Length_ = 0;
  bool Overflow_ = false;
};

} // namespace

EFI_STATUS SiblingImagePath(const EFI_DEVICE_PATH *FilePath, const CHAR16 *Arch, const CHAR16 *Name,
                            CHAR16 (&Out)[MaxImagePathChars]) {
  PathText Path(Out);
  if (FilePath == nullptr) {
    return EFI_NOT_FOUND;
  }
  bool FoundFile = false;
  const auto *Node = reinterpret_cast<const UINT8 *>(FilePath);
  for (UINTN Count = 0;; ++Count) {
    if (Count == MaxPathNodes) {
      return EFI_INVALID_PARAMETER;
    }
    const auto *Header = reinterpret_cast<const EFI_DEVICE_PATH *>(Node);
    const UINTN Length = DevicePathNodeLength(Header);
    if (Length < NodeHeaderBytes) {
      return EFI_INVALID_PARAMETER;
    }
    if (IsDevicePathEndType(Header)) {
      break; // the first instance is the image's path
    }
    if (DevicePathType(Header) == MEDIA_DEVICE_PATH &&
        DevicePathSubType(Header) == MEDIA_FILEPATH_DP) {
      FoundFile = true;
      Path.AppendPart(Node + NodeHeaderBytes, (Length - NodeHeaderBytes) / sizeof(CHAR16));
    }
    Node += Length;
  }
  if (!FoundFile) {
    return EFI_NOT_FOUND;
  }
  Path.CutToFolder();
  Path.Append(u'\\');
  Path.Append(Arch);
  Path.Append(u'\\');
  Path.Append(Name);
  return Path.Overflow() ? EFI_BUFFER_TOO_SMALL : EFI_SUCCESS;
}

EFI_STATUS StickImageFilePath(EFI_HANDLE ImageHandle, const CHAR16 *Name, EFI_HANDLE &Device,
                              PoolPtr<EFI_DEVICE_PATH> &FilePath) {
  EFI_LOADED_IMAGE *Loaded = nullptr;
  EFI_STATUS Status = BS->HandleProtocol(ImageHandle, &gEfiLoadedImageProtocolGuid,
                                         reinterpret_cast<VOID **>(&Loaded));
  if (EFI_ERROR(Status)) {
    return Status;
  }
  CHAR16 File[MaxImagePathChars];
  Status = SiblingImagePath(Loaded->FilePath, ArchFolderName(), Name, File);
  if (EFI_ERROR(Status)) {
    return Status;
  }
  Device = Loaded->DeviceHandle;
  // libefi: without a device, just the file path node and the end node.
  *FilePath.Out() = FileDevicePath(nullptr, File);
  return FilePath ? EFI_SUCCESS : EFI_OUT_OF_RESOURCES;
}

UINTN DevicePathBytes(const EFI_DEVICE_PATH *Path) {
  if (Path == nullptr) {
    return 0;
  }
  const auto *Node = reinterpret_cast<const UINT8 *>(Path);
  UINTN Bytes = 0;
  for (UINTN Count = 0; Count < MaxPathNodes; ++Count) {
    const auto *Header = reinterpret_cast<const EFI_DEVICE_PATH *>(Node + Bytes);
    const UINTN Length = DevicePathNodeLength(Header);
    if (Length < NodeHeaderBytes) {
      return 0;
    }
    Bytes += Length;
    if (IsDevicePathEndType(Header)) {
      return Bytes;
    }
  }
  return 0;
}
