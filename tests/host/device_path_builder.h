// Device paths and load options as bytes, for tests of code that reads them.
#pragma once

#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "common/uefi.h"

namespace dp {

using Bytes = std::vector<UINT8>;

inline void PutLe(Bytes &Out, UINT64 Value, size_t Width) {
  for (size_t I = 0; I < Width; ++I) {
    Out.push_back(static_cast<UINT8>(Value >> (8 * I)));
  }
}

// One node; Length overrides the length field (for malformed nodes).
inline Bytes Node(UINT8 Type, UINT8 SubType, const Bytes &Payload = {}, int Length = -1) {
  Bytes Out{Type, SubType};
  PutLe(Out, Length >= 0 ? static_cast<UINT64>(Length) : 4 + Payload.size(), 2);
  Out.insert(Out.end(), Payload.begin(), Payload.end());
  return Out;
}

inline Bytes Text16(const std::u16string &Text, bool Terminated = true) {
  Bytes Out;
  for (char16_t Char : Text) {
    PutLe(Out, Char, 2);
  }
  if (Terminated) {
    PutLe(Out, 0, 2);
  }
  return Out;
}

inline Bytes GuidBytes(const EFI_GUID &Guid) {
  Bytes Out(sizeof Guid);
  std::memcpy(Out.data(), &Guid, sizeof Guid);
  return Out;
}

inline Bytes File(const std::u16string &Path, bool Terminated = true) {
  return Node(MEDIA_DEVICE_PATH, MEDIA_FILEPATH_DP, Text16(Path, Terminated));
}
inline Bytes Fv(const EFI_GUID &Volume) {
  return Node(MEDIA_DEVICE_PATH, MEDIA_PIWG_FW_VOL_DP, GuidBytes(Volume));
}
inline Bytes FvFile(const EFI_GUID &FileName) {
  return Node(MEDIA_DEVICE_PATH, MEDIA_PIWG_FW_FILE_DP, GuidBytes(FileName));
}
inline Bytes PciRoot(UINT32 Uid) {
  Bytes Payload;
  PutLe(Payload, 0x0A0341D0, 4); // EISA PNP0A03
  PutLe(Payload, Uid, 4);
  return Node(ACPI_DEVICE_PATH, ACPI_DP, Payload);
}
inline Bytes Pci(UINT8 Device, UINT8 Function) {
  return Node(HARDWARE_DEVICE_PATH, HW_PCI_DP, {Function, Device});
}
inline Bytes End() {
  return Node(END_DEVICE_PATH_TYPE, END_ENTIRE_DEVICE_PATH_SUBTYPE);
}
inline Bytes EndInstance() {
  return Node(END_DEVICE_PATH_TYPE, END_INSTANCE_DEVICE_PATH_SUBTYPE);
}

inline Bytes Join(std::initializer_list<Bytes> Parts) {
  Bytes Out;
  for (const Bytes &Part : Parts) {
    Out.insert(Out.end(), Part.begin(), Part.end());
  }
  return Out;
}

// An EFI_LOAD_OPTION (UEFI 2.x, 3.1.3). ListLength overrides FilePathListLength.
inline Bytes LoadOption(UINT32 Attributes, const Bytes &Description, const Bytes &PathList,
                        const Bytes &OptionalData = {}, int ListLength = -1) {
  Bytes Out;
  PutLe(Out, Attributes, 4);
  PutLe(Out, ListLength >= 0 ? static_cast<UINT64>(ListLength) : PathList.size(), 2);
  Out.insert(Out.end(), Description.begin(), Description.end());
  Out.insert(Out.end(), PathList.begin(), PathList.end());
  Out.insert(Out.end(), OptionalData.begin(), OptionalData.end());
  return Out;
}

inline const EFI_DEVICE_PATH *AsPath(const Bytes &Path) {
  return reinterpret_cast<const EFI_DEVICE_PATH *>(Path.data());
}

} // namespace dp

// OVMF's firmware volume with its setup (UiApp) and shell files, written out
// here rather than taken from the loader.
inline const EFI_GUID UiAppFile = {
    0x462CAA21, 0x7614, 0x4503, {0x83, 0x6E, 0x8A, 0xB6, 0xF4, 0x66, 0x23, 0x31}};
inline const EFI_GUID ShellFile = {
    0x7C04A583, 0x9E3E, 0x4F1C, {0xAD, 0x65, 0xE0, 0x52, 0x68, 0xD0, 0xB4, 0xD1}};
inline const EFI_GUID OvmfVolume = {
    0x7CB8BDC9, 0xF8EB, 0x4F34, {0xAA, 0xEA, 0x3E, 0xE4, 0xAF, 0x65, 0x16, 0xA1}};
inline const dp::Bytes UiAppPath = dp::Join({dp::Fv(OvmfVolume), dp::FvFile(UiAppFile), dp::End()});
inline const dp::Bytes ShellPath = dp::Join({dp::Fv(OvmfVolume), dp::FvFile(ShellFile), dp::End()});
