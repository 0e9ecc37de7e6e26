#include "loader/setup_option.h"

namespace {

constexpr UINTN FixedPartBytes = sizeof(UINT32) + sizeof(UINT16);
constexpr UINTN NodeHeaderBytes = 4;

// {462CAA21-7614-4503-836E-8AB6F4662331}: UiApp's file name in EDK2.
const EFI_GUID UiAppFileGuid = {
    0x462CAA21, 0x7614, 0x4503, {0x83, 0x6E, 0x8A, 0xB6, 0xF4, 0x66, 0x23, 0x31}};

const char16_t *const SetupDescriptions[] = {u"UiApp", u"Enter Setup"};

UINT16 ReadU16(const UINT8 *Bytes) {
  return static_cast<UINT16>(Bytes[0] | (Bytes[1] << 8));
}

bool SameText(const LoadOptionView &Option, const char16_t *Expected) {
  UINTN Index = 0;
  for (; Expected[Index] != 0; ++Index) {
    if (Index == Option.DescriptionChars) {
      return false;
    }
    const auto *Bytes = reinterpret_cast<const UINT8 *>(Option.Description) + Index * 2;
    if (ReadU16(Bytes) != Expected[Index]) {
      return false;
    }
  }
  return Index == Option.DescriptionChars;
}

// The list is one or more device paths, each ending with an end-of-entire-path
// node. Walks all of it: every node at least a header long and inside the
// list, the last one such an end node. Notes the last node of the first path.
bool CheckPathList(const UINT8 *List, UINTN Length, const EFI_DEVICE_PATH **LastNode) {
  *LastNode = nullptr;
  bool InFirstPath = true;
  bool EndsPath = false;
  UINTN Offset = 0;
  while (Offset < Length) {
    if (Length - Offset < NodeHeaderBytes) {
      return false;
    }
    const auto *Node = reinterpret_cast<const EFI_DEVICE_PATH *>(List + Offset);
    const UINTN NodeLength = ReadU16(List + Offset + 2);
    if (NodeLength < NodeHeaderBytes || NodeLength > Length - Offset) {
      return false;
    }
    Offset += NodeLength;
    const bool End = DevicePathType(Node) == END_DEVICE_PATH_TYPE;
    EndsPath = End && DevicePathSubType(Node) == END_ENTIRE_DEVICE_PATH_SUBTYPE;
    if (End) {
      InFirstPath = false;
    } else if (InFirstPath) {
      *LastNode = Node;
    }
  }
  return EndsPath;
}

} // namespace

bool ParseLoadOption(const VOID *Data, UINTN Size, LoadOptionView *Option) {
  const auto *Bytes = static_cast<const UINT8 *>(Data);
  if (Data == nullptr || Option == nullptr || Size < FixedPartBytes) {
    return false;
  }
  LoadOptionView View{};
  View.Attributes = static_cast<UINT32>(Bytes[0] | (Bytes[1] << 8) | (Bytes[2] << 16) |
                                        (static_cast<UINT32>(Bytes[3]) << 24));
  View.FilePathListLength = ReadU16(Bytes + 4);

  UINTN Offset = FixedPartBytes;
  View.Description = reinterpret_cast<const CHAR16 *>(Bytes + Offset);
  for (;; ++View.DescriptionChars) {
    if (Size - Offset < sizeof(CHAR16)) {
      return false; // no NUL before the end
    }
    const UINT16 Char = ReadU16(Bytes + Offset);
    Offset += sizeof(CHAR16);
    if (Char == 0) {
      break;
    }
  }

  if (View.FilePathListLength > Size - Offset) {
    return false;
  }
  View.FilePathList = reinterpret_cast<const EFI_DEVICE_PATH *>(Bytes + Offset);
  if (!CheckPathList(Bytes + Offset, View.FilePathListLength, &View.LastNode)) {
    return false;
  }
  Offset += View.FilePathListLength;
  View.OptionalData = Bytes + Offset;
  View.OptionalDataSize = Size - Offset;
  *Option = View;
  return true;
}

bool IsFirmwareSetup(const LoadOptionView &Option) {
  for (const char16_t *Description : SetupDescriptions) {
    if (SameText(Option, Description)) {
      return true;
    }
  }
  const EFI_DEVICE_PATH *Node = Option.LastNode;
  if (Node == nullptr || DevicePathType(Node) != MEDIA_DEVICE_PATH ||
      DevicePathSubType(Node) != MEDIA_PIWG_FW_FILE_DP ||
      static_cast<UINTN>(DevicePathNodeLength(Node)) < NodeHeaderBytes + sizeof(EFI_GUID)) {
    return false;
  }
  EFI_GUID File;
  CopyMem(&File, reinterpret_cast<const UINT8 *>(Node) + NodeHeaderBytes, sizeof File);
  return CompareGuid(&File, const_cast<EFI_GUID *>(&UiAppFileGuid)) == 0;
}
