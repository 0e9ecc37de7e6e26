#include "tests/host/fake_firmware.h"
#include "tests/host/pattern_pixel.h"

#include <algorithm>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

// An open file or directory: the protocol the code holds, and what it is on.
struct FakeOpenFile {
  struct ProtocolWithOwner {
    EFI_FILE_PROTOCOL Protocol;
    FakeOpenFile *Owner;
  };
  ProtocolWithOwner File{};
  FakeVolume *Volume = nullptr;
  std::string Name; // "\" for the root directory
  bool Directory = false;
  UINT64 Mode = 0;
  UINT64 Position = 0;
  bool Open = true;
};

// libefi's handle of the running image, declared only in its private lib.h.
extern "C" EFI_HANDLE LibImageHandle;

namespace {

// The one live FakeFirmware; the table functions have no other way to it.
FakeFirmware *Current = nullptr;

const UINT64 ValidOpenModes[] = {
    EFI_FILE_MODE_READ,
    EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE,
    EFI_FILE_MODE_CREATE | EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE,
};

bool SameGuid(const EFI_GUID &A, const EFI_GUID &B) {
  return std::memcmp(&A, &B, sizeof A) == 0;
}

std::string GuidName(const EFI_GUID *Guid) {
  if (Guid == nullptr) {
    return "null";
  }
  const std::pair<const EFI_GUID *, const char *> Known[] = {
      {&gEfiGraphicsOutputProtocolGuid, "GraphicsOutput"},
      {&gEfiSimpleFileSystemProtocolGuid, "SimpleFileSystem"},
      {&gEfiLoadedImageProtocolGuid, "LoadedImage"},
      {&gEfiFileInfoGuid, "FileInfo"},
      {&gEfiUnicodeCollationProtocolGuid, "UnicodeCollation"},
      {&gEfiSimpleTextOutProtocolGuid, "SimpleTextOut"},
      {&gEfiSimpleTextInProtocolGuid, "SimpleTextIn"},
  };
  for (const auto &Entry : Known) {
    if (SameGuid(*Entry.first, *Guid)) {
      return Entry.second;
    }
  }
  char Text[40];
  std::snprintf(Text, sizeof Text, "%08x-%04x-%04x-%02x%02x-%02x%02x%02x%02x%02x%02x", Guid->Data1,
                Guid->Data2, Guid->Data3, Guid->Data4[0], Guid->Data4[1], Guid->Data4[2],
                Guid->Data4[3], Guid->Data4[4], Guid->Data4[5], Guid->Data4[6], Guid->Data4[7]);
  return Text;
}

// The registry format, upper case, as device path texts show GUIDs.
std::string GuidText(const EFI_GUID &Guid) {
  char Text[40];
  std::snprintf(Text, sizeof Text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", Guid.Data1,
                Guid.Data2, Guid.Data3, Guid.Data4[0], Guid.Data4[1], Guid.Data4[2], Guid.Data4[3],
                Guid.Data4[4], Guid.Data4[5], Guid.Data4[6], Guid.Data4[7]);
  return Text;
}

std::string Hex(UINT64 Value, int Digits = 2) {
  char Text[24];
  std::snprintf(Text, sizeof Text, "0x%0*llX", Digits, static_cast<unsigned long long>(Value));
  return Text;
}

const char *BltName(EFI_GRAPHICS_OUTPUT_BLT_OPERATION Operation) {
  switch (Operation) {
  case EfiBltVideoFill:
    return "VideoFill";
  case EfiBltVideoToBltBuffer:
    return "VideoToBltBuffer";
  case EfiBltBufferToVideo:
    return "BufferToVideo";
  case EfiBltVideoToVideo:
    return "VideoToVideo";
  default:
    return "invalid";
  }
}

// --- slots the fake leaves unimplemented ----------------------------------

// clang-format off
#define FAKE_BOOT_SLOTS(X)                                                                         \
  X(RaiseTPL) X(RestoreTPL) X(AllocatePages) X(FreePages) X(GetMemoryMap) X(AllocatePool)          \
  X(FreePool) X(CreateEvent) X(SetTimer) X(WaitForEvent) X(SignalEvent) X(CloseEvent)              \
  X(CheckEvent) X(InstallProtocolInterface) X(ReinstallProtocolInterface)                          \
  X(UninstallProtocolInterface) X(HandleProtocol) X(PCHandleProtocol) X(RegisterProtocolNotify)    \
  X(LocateHandle) X(LocateDevicePath) X(InstallConfigurationTable) X(LoadImage) X(StartImage)      \
  X(Exit) X(UnloadImage) X(ExitBootServices) X(GetNextMonotonicCount) X(Stall)                    \
  X(SetWatchdogTimer) X(ConnectController) X(DisconnectController) X(OpenProtocol)                 \
  X(CloseProtocol) X(OpenProtocolInformation) X(ProtocolsPerHandle) X(LocateHandleBuffer)          \
  X(LocateProtocol) X(InstallMultipleProtocolInterfaces) X(UninstallMultipleProtocolInterfaces)    \
  X(CalculateCrc32) X(CopyMem) X(SetMem) X(CreateEventEx)
#define FAKE_RUNTIME_SLOTS(X)                                                                      \
  X(GetTime) X(SetTime) X(GetWakeupTime) X(SetWakeupTime) X(SetVirtualAddressMap)                  \
  X(ConvertPointer) X(GetVariable) X(GetNextVariableName) X(SetVariable)                           \
  X(GetNextHighMonotonicCount) X(ResetSystem) X(UpdateCapsule) X(QueryCapsuleCapabilities)         \
  X(QueryVariableInfo)
#define FAKE_CONOUT_SLOTS(X)                                                                       \
  X(Reset) X(OutputString) X(TestString) X(QueryMode) X(SetMode) X(SetAttribute) X(ClearScreen)    \
  X(SetCursorPosition) X(EnableCursor)
#define FAKE_CONIN_SLOTS(X) X(Reset) X(ReadKeyStroke)
#define FAKE_GOP_SLOTS(X) X(QueryMode) X(SetMode) X(Blt)
#define FAKE_FILE_SLOTS(X)                                                                         \
  X(Open) X(Close) X(Delete) X(Read) X(Write) X(GetPosition) X(SetPosition) X(GetInfo) X(SetInfo)  \
  X(Flush) X(OpenEx) X(ReadEx) X(WriteEx) X(FlushEx)
// clang-format on

#define FAKE_COUNT(Member) +1
static_assert(sizeof(EFI_BOOT_SERVICES) ==
                  sizeof(EFI_TABLE_HEADER) + (0 FAKE_BOOT_SLOTS(FAKE_COUNT)) * sizeof(VOID *),
              "every boot service slot is listed");
static_assert(sizeof(EFI_RUNTIME_SERVICES) ==
                  sizeof(EFI_TABLE_HEADER) + (0 FAKE_RUNTIME_SLOTS(FAKE_COUNT)) * sizeof(VOID *),
              "every runtime service slot is listed");
static_assert(sizeof(SIMPLE_TEXT_OUTPUT_INTERFACE) ==
                  (1 FAKE_CONOUT_SLOTS(FAKE_COUNT)) * sizeof(VOID *),
              "every console output slot is listed (and Mode)");
static_assert(sizeof(EFI_FILE_PROTOCOL) == (1 FAKE_FILE_SLOTS(FAKE_COUNT)) * sizeof(VOID *),
              "every file slot is listed (and Revision)");

enum SlotTable { BootTable, RuntimeTable, ConOutTable, ConInTable, GopTable, FileTable };

std::string SlotName(int Table, size_t Offset) {
#define FAKE_NAME(Struct, Prefix, Member)                                                          \
  if (Offset == offsetof(Struct, Member)) {                                                        \
    return Prefix #Member;                                                                         \
  }
#define FAKE_NAME_BOOT(Member) FAKE_NAME(EFI_BOOT_SERVICES, "BS->", Member)
#define FAKE_NAME_RUNTIME(Member) FAKE_NAME(EFI_RUNTIME_SERVICES, "RT->", Member)
#define FAKE_NAME_CONOUT(Member) FAKE_NAME(SIMPLE_TEXT_OUTPUT_INTERFACE, "ConOut->", Member)
#define FAKE_NAME_CONIN(Member) FAKE_NAME(SIMPLE_INPUT_INTERFACE, "ConIn->", Member)
#define FAKE_NAME_GOP(Member) FAKE_NAME(EFI_GRAPHICS_OUTPUT_PROTOCOL, "Gop->", Member)
#define FAKE_NAME_FILE(Member) FAKE_NAME(EFI_FILE_PROTOCOL, "File->", Member)
  switch (Table) {
  case BootTable:
    FAKE_BOOT_SLOTS(FAKE_NAME_BOOT)
    break;
  case RuntimeTable:
    FAKE_RUNTIME_SLOTS(FAKE_NAME_RUNTIME)
    break;
  case ConOutTable:
    FAKE_CONOUT_SLOTS(FAKE_NAME_CONOUT)
    break;
  case ConInTable:
    FAKE_CONIN_SLOTS(FAKE_NAME_CONIN)
    break;
  case GopTable:
    FAKE_GOP_SLOTS(FAKE_NAME_GOP)
    break;
  case FileTable:
    FAKE_FILE_SLOTS(FAKE_NAME_FILE)
    break;
  }
  return "slot " + std::to_string(Offset) + " of table " + std::to_string(Table);
}

// Stores a function of another signature in a table slot (the unimplemented
// stubs take no arguments; with ms_abi the caller cleans up, so that is safe).
template <typename Slot, typename Function> void SetSlot(Slot &Target, Function Value) {
  static_assert(sizeof(Slot) == sizeof(Function), "function pointer slot");
  std::memcpy(&Target, &Value, sizeof Target);
}

EFI_STATUS ReportUnimplemented(const std::string &Name);

template <int Table, size_t Offset> EFI_STATUS EFIAPI UnimplementedSlot() {
  return ReportUnimplemented(SlotName(Table, Offset));
}

} // namespace

std::string ToUtf8(const CHAR16 *Text) {
  std::string Out;
  if (Text == nullptr) {
    return Out;
  }
  for (; *Text != 0; ++Text) {
    UINT32 Code = *Text;
    if (Code >= 0xD800 && Code < 0xDC00 && Text[1] >= 0xDC00 && Text[1] < 0xE000) {
      Code = 0x10000 + ((Code - 0xD800) << 10) + (Text[1] - 0xDC00);
      ++Text;
    }
    if (Code < 0x80) {
      Out += static_cast<char>(Code);
    } else if (Code < 0x800) {
      Out += static_cast<char>(0xC0 | (Code >> 6));
      Out += static_cast<char>(0x80 | (Code & 0x3F));
    } else if (Code < 0x10000) {
      Out += static_cast<char>(0xE0 | (Code >> 12));
      Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
      Out += static_cast<char>(0x80 | (Code & 0x3F));
    } else {
      Out += static_cast<char>(0xF0 | (Code >> 18));
      Out += static_cast<char>(0x80 | ((Code >> 12) & 0x3F));
      Out += static_cast<char>(0x80 | ((Code >> 6) & 0x3F));
      Out += static_cast<char>(0x80 | (Code & 0x3F));
    }
  }
  return Out;
}

std::u16string ToUtf16(const std::string &Text) {
  std::u16string Out;
  for (size_t I = 0; I < Text.size();) {
    const auto Byte = static_cast<unsigned char>(Text[I]);
    UINT32 Code = Byte;
    size_t Length = 1;
    if (Byte >= 0xF0) {
      Code = Byte & 0x07;
      Length = 4;
    } else if (Byte >= 0xE0) {
      Code = Byte & 0x0F;
      Length = 3;
    } else if (Byte >= 0xC0) {
      Code = Byte & 0x1F;
      Length = 2;
    }
    for (size_t K = 1; K < Length && I + K < Text.size(); ++K) {
      Code = (Code << 6) | (static_cast<unsigned char>(Text[I + K]) & 0x3F);
    }
    I += Length;
    if (Code >= 0x10000) {
      Code -= 0x10000;
      Out += static_cast<char16_t>(0xD800 + (Code >> 10));
      Out += static_cast<char16_t>(0xDC00 + (Code & 0x3FF));
    } else {
      Out += static_cast<char16_t>(Code);
    }
  }
  return Out;
}

const char *FwCallName(FwCall Call) {
  switch (Call) {
#define FAKE_CALL_NAME(Name)                                                                       \
  case FwCall::Name:                                                                               \
    return #Name;
    FAKE_CALL_NAME(RaiseTPL)
    FAKE_CALL_NAME(RestoreTPL)
    FAKE_CALL_NAME(AllocatePool)
    FAKE_CALL_NAME(FreePool)
    FAKE_CALL_NAME(CreateEvent)
    FAKE_CALL_NAME(SetTimer)
    FAKE_CALL_NAME(SignalEvent)
    FAKE_CALL_NAME(CloseEvent)
    FAKE_CALL_NAME(HandleProtocol)
    FAKE_CALL_NAME(LocateHandle)
    FAKE_CALL_NAME(LocateHandleBuffer)
    FAKE_CALL_NAME(LocateProtocol)
    FAKE_CALL_NAME(OpenProtocol)
    FAKE_CALL_NAME(CloseProtocol)
    FAKE_CALL_NAME(Stall)
    FAKE_CALL_NAME(LoadImage)
    FAKE_CALL_NAME(StartImage)
    FAKE_CALL_NAME(UnloadImage)
    FAKE_CALL_NAME(WaitForEvent)
    FAKE_CALL_NAME(GetVariable)
    FAKE_CALL_NAME(OutputString)
    FAKE_CALL_NAME(SetAttribute)
    FAKE_CALL_NAME(ClearScreen)
    FAKE_CALL_NAME(SetCursorPosition)
    FAKE_CALL_NAME(EnableCursor)
    FAKE_CALL_NAME(ReadKeyStroke)
    FAKE_CALL_NAME(GopQueryMode)
    FAKE_CALL_NAME(GopSetMode)
    FAKE_CALL_NAME(Blt)
    FAKE_CALL_NAME(OpenVolume)
    FAKE_CALL_NAME(Open)
    FAKE_CALL_NAME(Close)
    FAKE_CALL_NAME(Delete)
    FAKE_CALL_NAME(Read)
    FAKE_CALL_NAME(Write)
    FAKE_CALL_NAME(GetPosition)
    FAKE_CALL_NAME(SetPosition)
    FAKE_CALL_NAME(GetInfo)
    FAKE_CALL_NAME(SetInfo)
    FAKE_CALL_NAME(Flush)
    FAKE_CALL_NAME(Unimplemented)
#undef FAKE_CALL_NAME
  }
  return "?";
}

std::string FwCallRecord::Text() const {
  std::string Out = FwCallName(Call);
  if (!Detail.empty()) {
    Out += "(" + Detail + ")";
  }
  return Out;
}

// --- the table functions ------------------------------------------------------

struct FakeFirmwareEntry {
  // The call being served: its log entry and whether it was made to fail.
  struct Scope {
    FakeFirmware &Fw;
    size_t LogIndex;
    bool Fails;
    EFI_STATUS Injected;
    EFI_STATUS Return(EFI_STATUS Status) const {
      Fw.Calls_[LogIndex].Status = Status;
      return Status;
    }
  };

  static FakeFirmware &Fw() {
    if (Current == nullptr) {
      std::fprintf(stderr, "fake firmware called while no FakeFirmware exists\n");
      std::abort();
    }
    return *Current;
  }

  static Scope Begin(FwCall Call, std::string Detail = {}) {
    FakeFirmware &F = Fw();
    Scope S{F, 0, false, EFI_SUCCESS};
    S.Fails = F.Enter(Call, std::move(Detail), &S.Injected, &S.LogIndex);
    return S;
  }

  static EFI_STATUS Unimplemented(const std::string &Name) {
    FakeFirmware &F = Fw();
    F.Calls_.push_back({FwCall::Unimplemented, Name, EFI_UNSUPPORTED});
    F.ReportMisuse("call of " + Name + ", which the fake firmware does not implement");
    return EFI_UNSUPPORTED;
  }

  // Boot services -----------------------------------------------------------

  static EFI_TPL EFIAPI RaiseTPL(EFI_TPL NewTpl) {
    Scope S = Begin(FwCall::RaiseTPL, std::to_string(NewTpl));
    const EFI_TPL Old = S.Fw.Tpl_;
    if (NewTpl < Old) {
      S.Fw.ReportMisuse("RaiseTPL to " + std::to_string(NewTpl) + " below the current " +
                        std::to_string(Old));
    }
    S.Fw.Tpl_ = NewTpl;
    return Old;
  }

  static VOID EFIAPI RestoreTPL(EFI_TPL OldTpl) {
    Scope S = Begin(FwCall::RestoreTPL, std::to_string(OldTpl));
    if (OldTpl > S.Fw.Tpl_) {
      S.Fw.ReportMisuse("RestoreTPL to " + std::to_string(OldTpl) + " above the current " +
                        std::to_string(S.Fw.Tpl_));
    }
    S.Fw.Tpl_ = OldTpl;
  }

  static EFI_STATUS EFIAPI AllocatePool(EFI_MEMORY_TYPE PoolType, UINTN Size, VOID **Buffer) {
    Scope S = Begin(FwCall::AllocatePool, std::to_string(Size));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    if (Buffer == nullptr || PoolType >= EfiMaxMemoryType) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    if (Size >= S.Fw.FailFromBytes_) {
      return S.Return(EFI_OUT_OF_RESOURCES);
    }
    return S.Return(S.Fw.PoolAllocate(Size, Buffer, false, "AllocatePool"));
  }

  static EFI_STATUS EFIAPI FreePool(VOID *Buffer) {
    FakeFirmware &F = Fw();
    const auto Block = F.Pool_.find(Buffer);
    Scope S =
        Begin(FwCall::FreePool, Block != F.Pool_.end() ? std::to_string(Block->second.Bytes) : "?");
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    if (Block == F.Pool_.end()) {
      F.ReportMisuse(F.Freed_.count(Buffer) != 0
                         ? "FreePool of pool memory already freed"
                         : "FreePool of a pointer the pool never handed out");
      return S.Return(EFI_INVALID_PARAMETER);
    }
    // Scribble over it first, so a use after free shows in the plain build too.
    std::memset(Buffer, 0xDD, Block->second.Bytes);
    F.LiveBytes_ -= Block->second.Bytes;
    F.Pool_.erase(Block);
    F.Freed_.insert(Buffer);
    std::free(Buffer);
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI CreateEvent(UINT32 Type, EFI_TPL NotifyTpl, EFI_EVENT_NOTIFY Notify,
                                       VOID *Context, EFI_EVENT *Event) {
    Scope S = Begin(FwCall::CreateEvent, Hex(Type, 8));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    if (Event == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    const UINT32 NotifyKinds = Type & (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT);
    if (NotifyKinds == (EVT_NOTIFY_SIGNAL | EVT_NOTIFY_WAIT)) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    if (NotifyKinds != 0 &&
        (Notify == nullptr || (NotifyTpl != TPL_APPLICATION &&
                               (NotifyTpl <= TPL_APPLICATION || NotifyTpl >= TPL_HIGH_LEVEL)))) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    auto Record = std::make_unique<FakeEvent>();
    Record->Type = Type;
    Record->NotifyTpl = NotifyTpl;
    Record->Notify = Notify;
    Record->Context = Context;
    *Event = Record.get();
    S.Fw.Events_.push_back(std::move(Record));
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI SetTimer(EFI_EVENT Event, EFI_TIMER_DELAY Type, UINT64 TriggerTime) {
    const char *TypeName = Type == TimerCancel     ? "Cancel"
                           : Type == TimerPeriodic ? "Periodic"
                           : Type == TimerRelative ? "Relative"
                                                   : "invalid";
    Scope S = Begin(FwCall::SetTimer, std::string(TypeName) + "," + std::to_string(TriggerTime));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    FakeEvent *Record = S.Fw.OpenEvent(Event, "SetTimer");
    if (Record == nullptr || (Record->Type & EVT_TIMER) == 0 || Type > TimerRelative) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    Record->TimerType = Type;
    Record->TriggerTime = TriggerTime;
    Record->ArmedAt = S.Fw.Now_;
    Record->Armed = Type != TimerCancel;
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI SignalEvent(EFI_EVENT Event) {
    Scope S = Begin(FwCall::SignalEvent);
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    FakeEvent *Record = S.Fw.OpenEvent(Event, "SignalEvent");
    if (Record == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    ++Record->Signals;
    S.Return(EFI_SUCCESS);
    if ((Record->Type & EVT_NOTIFY_SIGNAL) != 0) {
      S.Fw.RunNotify(Record, Event);
    }
    return EFI_SUCCESS;
  }

  static EFI_STATUS EFIAPI CloseEvent(EFI_EVENT Event) {
    Scope S = Begin(FwCall::CloseEvent);
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    FakeEvent *Record = S.Fw.OpenEvent(Event, "CloseEvent");
    if (Record == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    Record->Open = false;
    Record->Armed = false;
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI HandleProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface) {
    Scope S = Begin(FwCall::HandleProtocol, GuidName(Protocol));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    FakeFirmware::HandleRecord *Record = S.Fw.FindHandle(Handle);
    if (Record == nullptr || Protocol == nullptr || Interface == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    VOID *Found = S.Fw.FindInterface(*Record, *Protocol);
    if (Found == nullptr) {
      return S.Return(EFI_UNSUPPORTED);
    }
    *Interface = Found;
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI LocateHandle(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol,
                                        VOID *, UINTN *BufferSize, EFI_HANDLE *Buffer) {
    Scope S = Begin(FwCall::LocateHandle, GuidName(Protocol));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    if (BufferSize == nullptr || (SearchType == ByProtocol && Protocol == nullptr)) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    if (SearchType != AllHandles && SearchType != ByProtocol) {
      return S.Return(EFI_UNSUPPORTED);
    }
    const std::vector<EFI_HANDLE> Found = S.Fw.HandlesWith(SearchType, Protocol);
    if (Found.empty()) {
      return S.Return(EFI_NOT_FOUND);
    }
    const UINTN Needed = Found.size() * sizeof(EFI_HANDLE);
    if (*BufferSize < Needed) {
      *BufferSize = Needed;
      return S.Return(EFI_BUFFER_TOO_SMALL);
    }
    if (Buffer == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    std::memcpy(Buffer, Found.data(), Needed);
    *BufferSize = Needed;
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI LocateHandleBuffer(EFI_LOCATE_SEARCH_TYPE SearchType, EFI_GUID *Protocol,
                                              VOID *, UINTN *NoHandles, EFI_HANDLE **Buffer) {
    Scope S = Begin(FwCall::LocateHandleBuffer, GuidName(Protocol));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    if (NoHandles == nullptr || Buffer == nullptr ||
        (SearchType == ByProtocol && Protocol == nullptr)) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    *NoHandles = 0;
    *Buffer = nullptr;
    if (SearchType != AllHandles && SearchType != ByProtocol) {
      return S.Return(EFI_UNSUPPORTED);
    }
    const std::vector<EFI_HANDLE> Found = S.Fw.HandlesWith(SearchType, Protocol);
    if (Found.empty()) {
      return S.Return(EFI_NOT_FOUND);
    }
    VOID *List = nullptr;
    const EFI_STATUS Status =
        S.Fw.PoolAllocate(Found.size() * sizeof(EFI_HANDLE), &List, true, "LocateHandleBuffer");
    if (EFI_ERROR(Status)) {
      return S.Return(Status);
    }
    std::memcpy(List, Found.data(), Found.size() * sizeof(EFI_HANDLE));
    *NoHandles = Found.size();
    *Buffer = static_cast<EFI_HANDLE *>(List);
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI LocateProtocol(EFI_GUID *Protocol, VOID *, VOID **Interface) {
    Scope S = Begin(FwCall::LocateProtocol, GuidName(Protocol));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    if (Protocol == nullptr || Interface == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    for (const auto &Record : S.Fw.Handles_) {
      if (VOID *Found = S.Fw.FindInterface(*Record, *Protocol)) {
        *Interface = Found;
        return S.Return(EFI_SUCCESS);
      }
    }
    *Interface = nullptr;
    return S.Return(EFI_NOT_FOUND);
  }

  static EFI_STATUS EFIAPI OpenProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID **Interface,
                                        EFI_HANDLE, EFI_HANDLE, UINT32 Attributes) {
    Scope S = Begin(FwCall::OpenProtocol, GuidName(Protocol));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    FakeFirmware::HandleRecord *Record = S.Fw.FindHandle(Handle);
    if (Record == nullptr || Protocol == nullptr ||
        (Interface == nullptr && Attributes != EFI_OPEN_PROTOCOL_TEST_PROTOCOL)) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    VOID *Found = S.Fw.FindInterface(*Record, *Protocol);
    if (Found == nullptr) {
      return S.Return(EFI_UNSUPPORTED);
    }
    if (Interface != nullptr) {
      *Interface = Found;
    }
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI CloseProtocol(EFI_HANDLE Handle, EFI_GUID *Protocol, EFI_HANDLE,
                                         EFI_HANDLE) {
    Scope S = Begin(FwCall::CloseProtocol, GuidName(Protocol));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    FakeFirmware::HandleRecord *Record = S.Fw.FindHandle(Handle);
    if (Record == nullptr || Protocol == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    return S.Return(S.Fw.FindInterface(*Record, *Protocol) != nullptr ? EFI_SUCCESS
                                                                      : EFI_NOT_FOUND);
  }

  static EFI_STATUS EFIAPI Stall(UINTN Microseconds) {
    Scope S = Begin(FwCall::Stall, std::to_string(Microseconds));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    S.Fw.Stalled_ += Microseconds;
    return S.Return(EFI_SUCCESS);
  }

  // Runtime services: variables from PutVariable.
  static EFI_STATUS EFIAPI GetVariable(CHAR16 *Name, EFI_GUID *Guid, UINT32 *Attributes,
                                       UINTN *DataSize, VOID *Data) {
    Scope S = Begin(FwCall::GetVariable, ToUtf8(Name));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    if (Name == nullptr || Guid == nullptr || DataSize == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    std::u16string Key;
    for (const CHAR16 *Char = Name; *Char != 0; ++Char) {
      Key += static_cast<char16_t>(*Char);
    }
    const auto Found = S.Fw.Variables_.find({Key, GuidText(*Guid)});
    if (Found == S.Fw.Variables_.end()) {
      return S.Return(EFI_NOT_FOUND);
    }
    const std::vector<UINT8> &Value = Found->second.second;
    if (*DataSize < Value.size()) {
      *DataSize = Value.size();
      return S.Return(EFI_BUFFER_TOO_SMALL);
    }
    if (Data == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    S.Fw.CheckPoolExtent(Data, Value.size(), "GetVariable");
    if (!Value.empty()) {
      std::memcpy(Data, Value.data(), Value.size());
    }
    *DataSize = Value.size();
    if (Attributes != nullptr) {
      *Attributes = Found->second.first;
    }
    return S.Return(EFI_SUCCESS);
  }

  // Images ------------------------------------------------------------------

  static EFI_STATUS EFIAPI LoadImage(BOOLEAN BootPolicy, EFI_HANDLE Parent,
                                     EFI_DEVICE_PATH *DevicePath, VOID *SourceBuffer, UINTN,
                                     EFI_HANDLE *ImageHandle) {
    const std::string Path = FakeFirmware::DevicePathText(DevicePath);
    Scope S = Begin(FwCall::LoadImage, Path);
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    FakeFirmware &F = S.Fw;
    const FakeFirmware::HandleRecord *ParentRecord = F.FindHandle(Parent);
    if (ImageHandle == nullptr || ParentRecord == nullptr ||
        F.FindInterface(*ParentRecord, gEfiLoadedImageProtocolGuid) == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    if (SourceBuffer != nullptr || BootPolicy) {
      return S.Return(EFI_UNSUPPORTED); // the fake loads files by their device path only
    }
    if (DevicePath == nullptr) {
      return S.Return(EFI_NOT_FOUND);
    }
    if (Path == "<malformed>") {
      F.ReportMisuse("LoadImage of a malformed device path");
      return S.Return(EFI_INVALID_PARAMETER);
    }
    const auto File = F.ImageFiles_.find(Path);
    if (File == F.ImageFiles_.end()) {
      return S.Return(EFI_NOT_FOUND);
    }
    const EFI_STATUS LoadStatus = File->second.LoadStatus;
    if (EFI_ERROR(LoadStatus) && LoadStatus != EFI_SECURITY_VIOLATION) {
      return S.Return(LoadStatus);
    }
    auto State = std::make_unique<FakeFirmware::ImageState>();
    State->File = File->second;
    F.SplitImagePath(DevicePath, &State->Protocol.DeviceHandle, &State->FilePath);
    State->Protocol.FilePath = reinterpret_cast<EFI_DEVICE_PATH *>(State->FilePath.data());
    State->Protocol.Revision = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
    State->Protocol.ParentHandle = Parent;
    State->Protocol.SystemTable = &F.SystemTable_;
    State->Protocol.ImageCodeType = EfiBootServicesCode;
    State->Protocol.ImageDataType = EfiBootServicesData;
    const EFI_HANDLE Handle = F.InstallProtocol(gEfiLoadedImageProtocolGuid, &State->Protocol);
    FakeFirmware::LoadedImageRecord Record;
    Record.Path = Path;
    Record.Handle = Handle;
    Record.Startable = LoadStatus == EFI_SUCCESS;
    F.LoadedImages_.push_back(Record);
    F.ImageStates_.push_back(std::move(State));
    *ImageHandle = Handle;
    return S.Return(LoadStatus);
  }

  static EFI_STATUS EFIAPI StartImage(EFI_HANDLE ImageHandle, UINTN *ExitDataSize,
                                      CHAR16 **ExitData) {
    FakeFirmware &F = Fw();
    const size_t Index = F.LoadedImageIndex(ImageHandle);
    const bool Known = Index < F.LoadedImages_.size();
    Scope S = Begin(FwCall::StartImage, Known ? F.LoadedImages_[Index].Path : "?");
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    FakeFirmware::LoadedImageRecord *Record = Known ? &F.LoadedImages_[Index] : nullptr;
    if (Record == nullptr || !Record->Loaded || Record->Started) {
      F.ReportMisuse("StartImage of a handle that is no loaded, unstarted image");
      return S.Return(EFI_INVALID_PARAMETER);
    }
    if (!Record->Startable) {
      F.ReportMisuse("StartImage of an image loaded despite a security violation");
      return S.Return(EFI_SECURITY_VIOLATION);
    }
    const FakeFirmware::ImageFile File = F.ImageStates_[Index]->File;
    Record->Started = true;
    const EFI_STATUS Status = File.Start ? File.Start(ImageHandle) : EFI_SUCCESS;
    // The entry point may have loaded images; find the record again.
    Record = &F.LoadedImages_[Index];
    Record->StartStatus = Status;
    if (ExitDataSize != nullptr) {
      *ExitDataSize = 0;
    }
    if (ExitData != nullptr) {
      *ExitData = nullptr;
    }
    if (!File.ExitData.empty() && ExitDataSize != nullptr && ExitData != nullptr) {
      const std::u16string Text = ToUtf16(File.ExitData);
      VOID *Copy = nullptr;
      const UINTN Bytes = (Text.size() + 1) * sizeof(CHAR16);
      if (!EFI_ERROR(F.PoolAllocate(Bytes, &Copy, true, "StartImage exit data"))) {
        std::memcpy(Copy, Text.c_str(), Bytes);
        *ExitDataSize = Bytes;
        *ExitData = static_cast<CHAR16 *>(Copy);
      }
    }
    if (File.Application && Status == EFI_SUCCESS) {
      Record->Loaded = false;
      F.UninstallProtocol(gEfiLoadedImageProtocolGuid, ImageHandle);
    }
    return S.Return(Status);
  }

  static EFI_STATUS EFIAPI UnloadImage(EFI_HANDLE ImageHandle) {
    FakeFirmware &F = Fw();
    const size_t Index = F.LoadedImageIndex(ImageHandle);
    const bool Known = Index < F.LoadedImages_.size();
    Scope S = Begin(FwCall::UnloadImage, Known ? F.LoadedImages_[Index].Path : "?");
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    FakeFirmware::LoadedImageRecord *Record = Known ? &F.LoadedImages_[Index] : nullptr;
    if (Record == nullptr || !Record->Loaded) {
      F.ReportMisuse("UnloadImage of a handle that is no loaded image");
      return S.Return(EFI_INVALID_PARAMETER);
    }
    if (Record->Started && !EFI_ERROR(Record->StartStatus)) {
      const FakeFirmware::ImageFile File = F.ImageStates_[Index]->File;
      const EFI_STATUS Status = File.Unload ? File.Unload() : EFI_UNSUPPORTED;
      if (EFI_ERROR(Status)) {
        return S.Return(Status);
      }
      Record = &F.LoadedImages_[Index];
    }
    Record->Loaded = false;
    F.UninstallProtocol(gEfiLoadedImageProtocolGuid, ImageHandle);
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI WaitForEvent(UINTN Count, EFI_EVENT *Events, UINTN *Index) {
    Scope S = Begin(FwCall::WaitForEvent, std::to_string(Count));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    FakeFirmware &F = S.Fw;
    if (Count == 0 || Events == nullptr || Index == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    if (F.Tpl_ != TPL_APPLICATION) {
      F.ReportMisuse("WaitForEvent at TPL " + std::to_string(F.Tpl_));
      return S.Return(EFI_UNSUPPORTED);
    }
    for (;;) {
      UINT64 Next = ~UINT64{0};
      FakeEvent *NextTimer = nullptr;
      for (UINTN I = 0; I < Count; ++I) {
        if (Events[I] == &F.KeyEvent_) {
          if (F.KeyReady()) {
            *Index = I;
            return S.Return(EFI_SUCCESS);
          }
          if (!F.Keys_.empty() && F.Keys_.front().second < Next) {
            Next = F.Keys_.front().second;
            NextTimer = nullptr;
          }
          continue;
        }
        FakeEvent *Record = F.OpenEvent(Events[I], "WaitForEvent");
        if (Record == nullptr || (Record->Type & EVT_NOTIFY_SIGNAL) != 0) {
          *Index = I;
          return S.Return(EFI_INVALID_PARAMETER);
        }
        unsigned &Seen = F.SignalsSeen_[Record];
        if (Record->Signals > Seen) {
          Seen = Record->Signals; // waiting clears the signalled state
          *Index = I;
          return S.Return(EFI_SUCCESS);
        }
        const UINT64 Due = Record->ArmedAt + Record->TriggerTime;
        if (Record->Armed && Due < Next) {
          Next = Due;
          NextTimer = Record;
        }
      }
      if (Next == ~UINT64{0}) {
        F.ReportMisuse("WaitForEvent on events that can never be signalled");
        return S.Return(EFI_UNSUPPORTED);
      }
      F.Now_ = std::max(F.Now_, Next);
      if (NextTimer != nullptr) {
        if (NextTimer->TimerType == TimerPeriodic) {
          NextTimer->ArmedAt = F.Now_;
        }
        F.FireTimer(NextTimer);
      }
    }
  }

  static EFI_STATUS EFIAPI ReadKeyStroke(SIMPLE_INPUT_INTERFACE *, EFI_INPUT_KEY *Key) {
    Scope S = Begin(FwCall::ReadKeyStroke);
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    if (Key == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    if (!S.Fw.KeyReady()) {
      return S.Return(EFI_NOT_READY);
    }
    *Key = S.Fw.Keys_.front().first;
    S.Fw.Keys_.pop_front();
    return S.Return(EFI_SUCCESS);
  }

  // Console output ----------------------------------------------------------

  static EFI_STATUS EFIAPI OutputString(SIMPLE_TEXT_OUTPUT_INTERFACE *, CHAR16 *String) {
    const std::string Text = ToUtf8(String);
    Scope S = Begin(FwCall::OutputString, Text);
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    S.Fw.TextOut(Text);
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI SetAttribute(SIMPLE_TEXT_OUTPUT_INTERFACE *, UINTN Attribute) {
    Scope S = Begin(FwCall::SetAttribute, Hex(Attribute));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    if (Attribute > 0x7F) {
      return S.Return(EFI_UNSUPPORTED);
    }
    S.Fw.ConOutMode_.Attribute = static_cast<INT32>(Attribute);
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI ClearScreen(SIMPLE_TEXT_OUTPUT_INTERFACE *) {
    Scope S = Begin(FwCall::ClearScreen);
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    S.Fw.ConOutMode_.CursorColumn = 0;
    S.Fw.ConOutMode_.CursorRow = 0;
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI SetCursorPosition(SIMPLE_TEXT_OUTPUT_INTERFACE *, UINTN Column,
                                             UINTN Row) {
    Scope S = Begin(FwCall::SetCursorPosition, std::to_string(Column) + "," + std::to_string(Row));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    S.Fw.ConOutMode_.CursorColumn = static_cast<INT32>(Column);
    S.Fw.ConOutMode_.CursorRow = static_cast<INT32>(Row);
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI EnableCursor(SIMPLE_TEXT_OUTPUT_INTERFACE *, BOOLEAN Enable) {
    Scope S = Begin(FwCall::EnableCursor, Enable ? "on" : "off");
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    S.Fw.ConOutMode_.CursorVisible = Enable;
    return S.Return(EFI_SUCCESS);
  }

  // Graphics output ---------------------------------------------------------

  static EFI_STATUS EFIAPI GopQueryMode(EFI_GRAPHICS_OUTPUT_PROTOCOL *This, UINT32 ModeNumber,
                                        UINTN *SizeOfInfo,
                                        EFI_GRAPHICS_OUTPUT_MODE_INFORMATION **Info) {
    Scope S = Begin(FwCall::GopQueryMode, std::to_string(ModeNumber));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    if (This != S.Fw.Gop() || SizeOfInfo == nullptr || Info == nullptr ||
        ModeNumber >= S.Fw.GopMode_.MaxMode) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    VOID *Copy = nullptr;
    const EFI_STATUS Status = S.Fw.PoolAllocate(sizeof S.Fw.GopInfo_, &Copy, true, "QueryMode");
    if (EFI_ERROR(Status)) {
      return S.Return(Status);
    }
    std::memcpy(Copy, &S.Fw.GopInfo_, sizeof S.Fw.GopInfo_);
    *SizeOfInfo = sizeof S.Fw.GopInfo_;
    *Info = static_cast<EFI_GRAPHICS_OUTPUT_MODE_INFORMATION *>(Copy);
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI GopSetMode(EFI_GRAPHICS_OUTPUT_PROTOCOL *This, UINT32 ModeNumber) {
    Scope S = Begin(FwCall::GopSetMode, std::to_string(ModeNumber));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    if (This != S.Fw.Gop()) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    if (ModeNumber >= S.Fw.GopMode_.MaxMode) {
      return S.Return(EFI_UNSUPPORTED);
    }
    // Setting a mode clears the screen to black.
    std::fill(S.Fw.Screen_.begin(), S.Fw.Screen_.end(), EFI_GRAPHICS_OUTPUT_BLT_PIXEL{});
    return S.Return(EFI_SUCCESS);
  }

  static bool FitsScreen(const FakeFirmware &F, UINTN X, UINTN Y, UINTN Width, UINTN Height) {
    const UINTN ScreenW = F.GopInfo_.HorizontalResolution;
    const UINTN ScreenH = F.GopInfo_.VerticalResolution;
    return X <= ScreenW && Width <= ScreenW - X && Y <= ScreenH && Height <= ScreenH - Y;
  }

  static EFI_STATUS EFIAPI Blt(EFI_GRAPHICS_OUTPUT_PROTOCOL *This,
                               EFI_GRAPHICS_OUTPUT_BLT_PIXEL *Buffer,
                               EFI_GRAPHICS_OUTPUT_BLT_OPERATION Operation, UINTN SourceX,
                               UINTN SourceY, UINTN DestinationX, UINTN DestinationY, UINTN Width,
                               UINTN Height, UINTN Delta) {
    Scope S = Begin(FwCall::Blt, BltName(Operation));
    FakeFirmware &F = S.Fw;
    F.Blts_.push_back({Buffer, Operation, SourceX, SourceY, DestinationX, DestinationY, Width,
                       Height, Delta, EFI_SUCCESS});
    const size_t Index = F.Blts_.size() - 1;
    auto Return = [&](EFI_STATUS Status) {
      F.Blts_[Index].Status = Status;
      return S.Return(Status);
    };
    if (S.Fails) {
      return Return(S.Injected);
    }
    if (This != F.Gop() || Operation >= EfiGraphicsOutputBltOperationMax || Width == 0 ||
        Height == 0) {
      return Return(EFI_INVALID_PARAMETER);
    }
    if (Operation != EfiBltVideoToVideo && Buffer == nullptr) {
      return Return(EFI_INVALID_PARAMETER);
    }
    const UINTN Stride = Delta != 0 ? Delta : Width * sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL);
    const UINTN ScreenW = F.GopInfo_.HorizontalResolution;
    auto BufferPixel = [&](UINTN X, UINTN Y) {
      return reinterpret_cast<EFI_GRAPHICS_OUTPUT_BLT_PIXEL *>(reinterpret_cast<UINT8 *>(Buffer) +
                                                               Y * Stride) +
             X;
    };
    auto BufferExtent = [&](UINTN X, UINTN Y) {
      return UINT64{Y + Height - 1} * Stride + (X + Width) * sizeof(EFI_GRAPHICS_OUTPUT_BLT_PIXEL);
    };
    switch (Operation) {
    case EfiBltVideoFill:
      if (!FitsScreen(F, DestinationX, DestinationY, Width, Height)) {
        return Return(EFI_INVALID_PARAMETER);
      }
      F.CheckPoolExtent(Buffer, sizeof *Buffer, "Blt(VideoFill)");
      for (UINTN Y = 0; Y < Height; ++Y) {
        for (UINTN X = 0; X < Width; ++X) {
          F.Screen_[(DestinationY + Y) * ScreenW + DestinationX + X] = *Buffer;
        }
      }
      break;
    case EfiBltVideoToBltBuffer:
      if (!FitsScreen(F, SourceX, SourceY, Width, Height)) {
        return Return(EFI_INVALID_PARAMETER);
      }
      F.CheckPoolExtent(BufferPixel(0, 0), BufferExtent(DestinationX, DestinationY),
                        "Blt(VideoToBltBuffer)");
      for (UINTN Y = 0; Y < Height; ++Y) {
        for (UINTN X = 0; X < Width; ++X) {
          *BufferPixel(DestinationX + X, DestinationY + Y) =
              F.Screen_[(SourceY + Y) * ScreenW + SourceX + X];
        }
      }
      break;
    case EfiBltBufferToVideo:
      if (!FitsScreen(F, DestinationX, DestinationY, Width, Height)) {
        return Return(EFI_INVALID_PARAMETER);
      }
      F.CheckPoolExtent(BufferPixel(0, 0), BufferExtent(SourceX, SourceY), "Blt(BufferToVideo)");
      for (UINTN Y = 0; Y < Height; ++Y) {
        for (UINTN X = 0; X < Width; ++X) {
          F.Screen_[(DestinationY + Y) * ScreenW + DestinationX + X] =
              *BufferPixel(SourceX + X, SourceY + Y);
        }
      }
      break;
    default: { // EfiBltVideoToVideo; the rectangles may overlap
      if (!FitsScreen(F, SourceX, SourceY, Width, Height) ||
          !FitsScreen(F, DestinationX, DestinationY, Width, Height)) {
        return Return(EFI_INVALID_PARAMETER);
      }
      const std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> Before = F.Screen_;
      for (UINTN Y = 0; Y < Height; ++Y) {
        for (UINTN X = 0; X < Width; ++X) {
          F.Screen_[(DestinationY + Y) * ScreenW + DestinationX + X] =
              Before[(SourceY + Y) * ScreenW + SourceX + X];
        }
      }
      break;
    }
    }
    return Return(EFI_SUCCESS);
  }

  // Simple file system --------------------------------------------------------

  static EFI_STATUS EFIAPI OpenVolume(EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *This,
                                      EFI_FILE_PROTOCOL **Root) {
    Scope S = Begin(FwCall::OpenVolume);
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    S.Fw.CheckFileTpl("OpenVolume");
    FakeVolume *Volume = S.Fw.FindVolume(This);
    if (Volume == nullptr || Root == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    FakeOpenFile *Handle =
        S.Fw.NewFileHandle(Volume, "\\", true, EFI_FILE_MODE_READ | EFI_FILE_MODE_WRITE);
    *Root = &Handle->File.Protocol;
    return S.Return(EFI_SUCCESS);
  }

  // Looks up This; a closed or foreign handle is misuse.
  static FakeOpenFile *Use(FakeFirmware &F, EFI_FILE_PROTOCOL *This, const char *What) {
    FakeOpenFile *File = F.FindFile(This);
    if (File == nullptr) {
      F.ReportMisuse(std::string(What) + " on a file handle the firmware never handed out");
      return nullptr;
    }
    if (!File->Open) {
      F.ReportMisuse(std::string(What) + " on the closed handle of " + File->Name);
      return nullptr;
    }
    F.CheckFileTpl(What);
    return File;
  }

  static std::string NameOf(FakeFirmware &F, EFI_FILE_PROTOCOL *This) {
    const FakeOpenFile *File = F.FindFile(This);
    return File != nullptr ? File->Name : "?";
  }

  static EFI_STATUS EFIAPI Open(EFI_FILE_PROTOCOL *This, EFI_FILE_PROTOCOL **NewHandle,
                                CHAR16 *FileName, UINT64 OpenMode, UINT64 Attributes) {
    std::string Name = ToUtf8(FileName);
    Scope S = Begin(FwCall::Open, Name);
    FakeFirmware &F = S.Fw;
    F.Opens_.push_back({Name, OpenMode, Attributes, EFI_SUCCESS});
    const size_t Index = F.Opens_.size() - 1;
    auto Return = [&](EFI_STATUS Status) {
      F.Opens_[Index].Status = Status;
      return S.Return(Status);
    };
    if (S.Fails) {
      return Return(S.Injected);
    }
    FakeOpenFile *Dir = Use(F, This, "Open");
    if (Dir == nullptr || NewHandle == nullptr || FileName == nullptr ||
        std::find(std::begin(ValidOpenModes), std::end(ValidOpenModes), OpenMode) ==
            std::end(ValidOpenModes) ||
        (Attributes & ~UINT64{EFI_FILE_VALID_ATTR}) != 0) {
      return Return(EFI_INVALID_PARAMETER);
    }
    if (!Dir->Directory) {
      return Return(EFI_NOT_FOUND);
    }
    if (!Name.empty() && Name[0] == '\\') {
      Name.erase(0, 1);
    }
    FakeVolume *Volume = Dir->Volume;
    const bool Writes = (OpenMode & EFI_FILE_MODE_WRITE) != 0;
    if (Name.empty() || Name == ".") {
      *NewHandle = &F.NewFileHandle(Volume, "\\", true, OpenMode)->File.Protocol;
      return Return(EFI_SUCCESS);
    }
    if (Name.find('\\') != std::string::npos) {
      return Return(EFI_NOT_FOUND); // one flat directory
    }
    const auto Existing = Volume->Files_.find(Name);
    if (Existing == Volume->Files_.end()) {
      if ((OpenMode & EFI_FILE_MODE_CREATE) == 0) {
        return Return(EFI_NOT_FOUND);
      }
      if (Volume->ReadOnly) {
        return Return(EFI_WRITE_PROTECTED);
      }
      if ((Attributes & EFI_FILE_DIRECTORY) != 0) {
        return Return(EFI_UNSUPPORTED);
      }
      Volume->Files_[Name].Attributes = Attributes;
    } else if (Writes && Volume->ReadOnly) {
      return Return(EFI_WRITE_PROTECTED);
    }
    *NewHandle = &F.NewFileHandle(Volume, Name, false, OpenMode)->File.Protocol;
    return Return(EFI_SUCCESS);
  }

  // Closing always closes; an injected status is only what the caller sees.
  static EFI_STATUS EFIAPI Close(EFI_FILE_PROTOCOL *This) {
    Scope S = Begin(FwCall::Close, NameOf(Fw(), This));
    FakeOpenFile *File = Use(S.Fw, This, "Close");
    if (File == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    File->Open = false;
    return S.Return(S.Fails ? S.Injected : EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI Delete(EFI_FILE_PROTOCOL *This) {
    Scope S = Begin(FwCall::Delete, NameOf(Fw(), This));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    FakeOpenFile *File = Use(S.Fw, This, "Delete");
    if (File == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    File->Open = false;
    if (File->Directory || File->Volume->ReadOnly) {
      return S.Return(EFI_WARN_DELETE_FAILURE);
    }
    File->Volume->Files_.erase(File->Name);
    return S.Return(EFI_SUCCESS);
  }

  static FakeFileData *DataOf(FakeOpenFile *File) {
    const auto Found = File->Volume->Files_.find(File->Name);
    return Found != File->Volume->Files_.end() ? &Found->second : nullptr;
  }

  static EFI_STATUS EFIAPI Read(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer) {
    Scope S = Begin(FwCall::Read, NameOf(Fw(), This) + "," +
                                      (BufferSize != nullptr ? std::to_string(*BufferSize) : "?"));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    FakeOpenFile *File = Use(S.Fw, This, "Read");
    if (File == nullptr || BufferSize == nullptr || (Buffer == nullptr && *BufferSize != 0)) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    if (File->Directory) {
      return S.Return(EFI_UNSUPPORTED); // no directory listings
    }
    FakeFileData *Data = DataOf(File);
    if (Data == nullptr || File->Position > Data->Bytes.size()) {
      return S.Return(EFI_DEVICE_ERROR);
    }
    const UINTN Count = std::min<UINT64>(*BufferSize, Data->Bytes.size() - File->Position);
    if (Count != 0) {
      std::memcpy(Buffer, Data->Bytes.data() + File->Position, Count);
    }
    File->Position += Count;
    *BufferSize = Count;
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI Write(EFI_FILE_PROTOCOL *This, UINTN *BufferSize, VOID *Buffer) {
    FakeFirmware &F = Fw();
    const FakeOpenFile *Known = F.FindFile(This);
    const std::string Name = Known != nullptr ? Known->Name : "?";
    Scope S = Begin(FwCall::Write,
                    Name + "," + (BufferSize != nullptr ? std::to_string(*BufferSize) : "?"));
    F.Writes_.push_back({Name, Known != nullptr ? Known->Position : 0,
                         BufferSize != nullptr ? *BufferSize : 0, EFI_SUCCESS});
    const size_t Index = F.Writes_.size() - 1;
    auto Return = [&](EFI_STATUS Status) {
      F.Writes_[Index].Status = Status;
      return S.Return(Status);
    };
    if (S.Fails) {
      return Return(S.Injected);
    }
    FakeOpenFile *File = Use(F, This, "Write");
    if (File == nullptr || BufferSize == nullptr || (Buffer == nullptr && *BufferSize != 0)) {
      return Return(EFI_INVALID_PARAMETER);
    }
    if (File->Directory) {
      return Return(EFI_UNSUPPORTED);
    }
    if (File->Volume->ReadOnly) {
      return Return(EFI_WRITE_PROTECTED);
    }
    if ((File->Mode & EFI_FILE_MODE_WRITE) == 0) {
      return Return(EFI_ACCESS_DENIED);
    }
    FakeFileData *Data = DataOf(File);
    if (Data == nullptr) {
      return Return(EFI_DEVICE_ERROR);
    }
    const UINT64 End = File->Position + *BufferSize;
    const UINT64 NewSize = std::max<UINT64>(Data->Bytes.size(), End);
    if (File->Volume->UsedBytes() - Data->Bytes.size() + NewSize > File->Volume->Capacity) {
      *BufferSize = 0;
      return Return(EFI_VOLUME_FULL);
    }
    Data->Bytes.resize(NewSize);
    if (*BufferSize != 0) {
      std::memcpy(Data->Bytes.data() + File->Position, Buffer, *BufferSize);
    }
    File->Position = End;
    return Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI GetPosition(EFI_FILE_PROTOCOL *This, UINT64 *Position) {
    Scope S = Begin(FwCall::GetPosition, NameOf(Fw(), This));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    FakeOpenFile *File = Use(S.Fw, This, "GetPosition");
    if (File == nullptr || Position == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    if (File->Directory) {
      return S.Return(EFI_UNSUPPORTED);
    }
    *Position = File->Position;
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI SetPosition(EFI_FILE_PROTOCOL *This, UINT64 Position) {
    Scope S = Begin(FwCall::SetPosition, NameOf(Fw(), This) + "," + std::to_string(Position));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    FakeOpenFile *File = Use(S.Fw, This, "SetPosition");
    if (File == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    if (File->Directory) {
      return S.Return(Position == 0 ? EFI_SUCCESS : EFI_UNSUPPORTED);
    }
    const FakeFileData *Data = DataOf(File);
    if (Data == nullptr) {
      return S.Return(EFI_DEVICE_ERROR);
    }
    File->Position = Position == ~UINT64{0} ? Data->Bytes.size() : Position;
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI GetInfo(EFI_FILE_PROTOCOL *This, EFI_GUID *Type, UINTN *BufferSize,
                                   VOID *Buffer) {
    Scope S = Begin(FwCall::GetInfo, NameOf(Fw(), This));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    FakeOpenFile *File = Use(S.Fw, This, "GetInfo");
    if (File == nullptr || Type == nullptr || BufferSize == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    if (File->Directory && File->Name == "\\" &&
        (SameGuid(*Type, gEfiFileSystemVolumeLabelInfoIdGuid) ||
         (SameGuid(*Type, gEfiFileSystemInfoGuid) && !File->Volume->VolumeLabelInfoOnly))) {
      return S.Return(VolumeInfo(*File->Volume, *Type, BufferSize, Buffer));
    }
    if (!SameGuid(*Type, gEfiFileInfoGuid)) {
      return S.Return(EFI_UNSUPPORTED);
    }
    const FakeFileData *Data = File->Directory ? nullptr : DataOf(File);
    if (!File->Directory && Data == nullptr) {
      return S.Return(EFI_DEVICE_ERROR);
    }
    const std::u16string Name = ToUtf16(File->Directory ? "" : File->Name);
    const UINTN Needed = SIZE_OF_EFI_FILE_INFO + (Name.size() + 1) * sizeof(CHAR16);
    if (*BufferSize < Needed) {
      *BufferSize = Needed;
      return S.Return(EFI_BUFFER_TOO_SMALL);
    }
    if (Buffer == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    EFI_FILE_INFO Info{};
    Info.Size = Needed;
    Info.FileSize = Data != nullptr ? Data->Bytes.size() : 0;
    Info.PhysicalSize = (Info.FileSize + 511) / 512 * 512;
    Info.Attribute = File->Directory ? EFI_FILE_DIRECTORY : Data->Attributes;
    auto *Out = static_cast<UINT8 *>(Buffer);
    std::memcpy(Out, &Info, SIZE_OF_EFI_FILE_INFO);
    std::memcpy(Out + SIZE_OF_EFI_FILE_INFO, Name.c_str(), (Name.size() + 1) * sizeof(CHAR16));
    *BufferSize = Needed;
    return S.Return(EFI_SUCCESS);
  }

  // EFI_FILE_SYSTEM_VOLUME_LABEL or EFI_FILE_SYSTEM_INFO of a root directory.
  static EFI_STATUS VolumeInfo(const FakeVolume &Volume, const EFI_GUID &Type, UINTN *BufferSize,
                               VOID *Buffer) {
    const bool LabelOnly = SameGuid(Type, gEfiFileSystemVolumeLabelInfoIdGuid);
    const UINTN Fixed =
        LabelOnly ? SIZE_OF_EFI_FILE_SYSTEM_VOLUME_LABEL_INFO : SIZE_OF_EFI_FILE_SYSTEM_INFO;
    const std::u16string Label = ToUtf16(Volume.Label);
    const UINTN Needed = Fixed + (Label.size() + 1) * sizeof(CHAR16);
    if (*BufferSize < Needed) {
      *BufferSize = Needed;
      return EFI_BUFFER_TOO_SMALL;
    }
    if (Buffer == nullptr) {
      return EFI_INVALID_PARAMETER;
    }
    auto *Out = static_cast<UINT8 *>(Buffer);
    if (!LabelOnly) {
      EFI_FILE_SYSTEM_INFO Info{};
      Info.Size = Needed;
      Info.ReadOnly = Volume.ReadOnly;
      Info.VolumeSize = Volume.Capacity;
      Info.FreeSpace = Volume.Capacity - Volume.UsedBytes();
      Info.BlockSize = 512;
      std::memcpy(Out, &Info, Fixed);
    }
    std::memcpy(Out + Fixed, Label.c_str(), (Label.size() + 1) * sizeof(CHAR16));
    *BufferSize = Needed;
    return EFI_SUCCESS;
  }

  static EFI_STATUS EFIAPI SetInfo(EFI_FILE_PROTOCOL *This, EFI_GUID *Type, UINTN BufferSize,
                                   VOID *Buffer) {
    Scope S = Begin(FwCall::SetInfo, NameOf(Fw(), This));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    FakeOpenFile *File = Use(S.Fw, This, "SetInfo");
    if (File == nullptr || Type == nullptr) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    if (!SameGuid(*Type, gEfiFileInfoGuid)) {
      return S.Return(EFI_UNSUPPORTED);
    }
    EFI_FILE_INFO Info{};
    if (Buffer == nullptr || BufferSize < SIZE_OF_EFI_FILE_INFO + sizeof(CHAR16)) {
      return S.Return(EFI_BAD_BUFFER_SIZE);
    }
    std::memcpy(&Info, Buffer, SIZE_OF_EFI_FILE_INFO);
    if (Info.Size < SIZE_OF_EFI_FILE_INFO + sizeof(CHAR16) || Info.Size > BufferSize) {
      return S.Return(EFI_BAD_BUFFER_SIZE);
    }
    std::u16string Name16((Info.Size - SIZE_OF_EFI_FILE_INFO) / sizeof(CHAR16), u'\0');
    std::memcpy(&Name16[0], static_cast<const UINT8 *>(Buffer) + SIZE_OF_EFI_FILE_INFO,
                Name16.size() * sizeof(CHAR16));
    if (Name16.find(u'\0') == std::u16string::npos) {
      return S.Return(EFI_BAD_BUFFER_SIZE);
    }
    Name16.resize(Name16.find(u'\0'));
    FakeVolume *Volume = File->Volume;
    if (Volume->ReadOnly) {
      return S.Return(EFI_WRITE_PROTECTED);
    }
    if (File->Directory || (File->Mode & EFI_FILE_MODE_WRITE) == 0) {
      return S.Return(EFI_ACCESS_DENIED);
    }
    if ((Info.Attribute & ~UINT64{EFI_FILE_VALID_ATTR}) != 0 ||
        (Info.Attribute & EFI_FILE_DIRECTORY) != 0) {
      return S.Return(EFI_INVALID_PARAMETER);
    }
    FakeFileData *Data = DataOf(File);
    if (Data == nullptr) {
      return S.Return(EFI_DEVICE_ERROR);
    }
    if (Volume->UsedBytes() - Data->Bytes.size() + Info.FileSize > Volume->Capacity) {
      return S.Return(EFI_VOLUME_FULL);
    }
    std::u16string NewName16 = Name16;
    if (!NewName16.empty() && NewName16[0] == u'\\') {
      NewName16.erase(0, 1);
    }
    std::string NewName;
    for (char16_t C : NewName16) {
      const CHAR16 One[2] = {static_cast<CHAR16>(C), 0};
      NewName += ToUtf8(One);
    }
    if (!NewName.empty() && NewName != File->Name) {
      if (Volume->Files_.count(NewName) != 0 || NewName.find('\\') != std::string::npos) {
        return S.Return(EFI_ACCESS_DENIED);
      }
      FakeFileData Moved = std::move(*Data);
      Volume->Files_.erase(File->Name);
      Data = &(Volume->Files_[NewName] = std::move(Moved));
      for (const auto &Other : S.Fw.Files_) {
        if (Other->Volume == Volume && Other->Name == File->Name && Other.get() != File) {
          Other->Name = NewName;
        }
      }
      File->Name = NewName;
    }
    Data->Bytes.resize(Info.FileSize);
    Data->Attributes = Info.Attribute;
    return S.Return(EFI_SUCCESS);
  }

  static EFI_STATUS EFIAPI Flush(EFI_FILE_PROTOCOL *This) {
    Scope S = Begin(FwCall::Flush, NameOf(Fw(), This));
    if (S.Fails) {
      return S.Return(S.Injected);
    }
    return S.Return(Use(S.Fw, This, "Flush") != nullptr ? EFI_SUCCESS : EFI_INVALID_PARAMETER);
  }
};

namespace {
EFI_STATUS ReportUnimplemented(const std::string &Name) {
  return FakeFirmwareEntry::Unimplemented(Name);
}

EFI_FILE_PROTOCOL FileProtocolTemplate() {
  EFI_FILE_PROTOCOL File{};
#define FAKE_FILL_FILE(Member)                                                                     \
  SetSlot(File.Member, &UnimplementedSlot<FileTable, offsetof(EFI_FILE_PROTOCOL, Member)>);
  FAKE_FILE_SLOTS(FAKE_FILL_FILE)
  File.Revision = EFI_FILE_PROTOCOL_REVISION;
  File.Open = &FakeFirmwareEntry::Open;
  File.Close = &FakeFirmwareEntry::Close;
  File.Delete = &FakeFirmwareEntry::Delete;
  File.Read = &FakeFirmwareEntry::Read;
  File.Write = &FakeFirmwareEntry::Write;
  File.GetPosition = &FakeFirmwareEntry::GetPosition;
  File.SetPosition = &FakeFirmwareEntry::SetPosition;
  File.GetInfo = &FakeFirmwareEntry::GetInfo;
  File.SetInfo = &FakeFirmwareEntry::SetInfo;
  File.Flush = &FakeFirmwareEntry::Flush;
  return File;
}
} // namespace

// --- FakeVolume ------------------------------------------------------------

void FakeVolume::PutFile(const std::string &Name, std::vector<UINT8> Bytes, UINT64 Attributes) {
  Files_[Name] = FakeFileData{std::move(Bytes), Attributes};
}

const std::vector<UINT8> *FakeVolume::File(const std::string &Name) const {
  const FakeFileData *Data = FileData(Name);
  return Data != nullptr ? &Data->Bytes : nullptr;
}

const FakeFileData *FakeVolume::FileData(const std::string &Name) const {
  const auto Found = Files_.find(Name);
  return Found != Files_.end() ? &Found->second : nullptr;
}

std::vector<std::string> FakeVolume::FileNames() const {
  std::vector<std::string> Names;
  for (const auto &Entry : Files_) {
    Names.push_back(Entry.first);
  }
  return Names;
}

UINT64 FakeVolume::UsedBytes() const {
  UINT64 Used = 0;
  for (const auto &Entry : Files_) {
    Used += Entry.second.Bytes.size();
  }
  return Used;
}

// --- FakeFirmware ----------------------------------------------------------

FakeFirmware::FakeFirmware() {
  if (Current != nullptr) {
    std::fprintf(stderr, "only one FakeFirmware may exist at a time\n");
    std::abort();
  }

  // Every slot first reports itself when called; then the served ones.
#define FAKE_FILL(Object, Struct, Table, Member)                                                   \
  SetSlot((Object).Member, &UnimplementedSlot<Table, offsetof(Struct, Member)>);
#define FAKE_FILL_BOOT(Member) FAKE_FILL(BootServices_, EFI_BOOT_SERVICES, BootTable, Member)
#define FAKE_FILL_RUNTIME(Member)                                                                  \
  FAKE_FILL(RuntimeServices_, EFI_RUNTIME_SERVICES, RuntimeTable, Member)
#define FAKE_FILL_CONOUT(Member)                                                                   \
  FAKE_FILL(ConOut_, SIMPLE_TEXT_OUTPUT_INTERFACE, ConOutTable, Member)
#define FAKE_FILL_CONIN(Member) FAKE_FILL(ConIn_, SIMPLE_INPUT_INTERFACE, ConInTable, Member)
#define FAKE_FILL_GOP(Member) FAKE_FILL(Gop_, EFI_GRAPHICS_OUTPUT_PROTOCOL, GopTable, Member)
  FAKE_BOOT_SLOTS(FAKE_FILL_BOOT)
  FAKE_RUNTIME_SLOTS(FAKE_FILL_RUNTIME)
  FAKE_CONOUT_SLOTS(FAKE_FILL_CONOUT)
  FAKE_CONIN_SLOTS(FAKE_FILL_CONIN)
  FAKE_GOP_SLOTS(FAKE_FILL_GOP)

  using E = FakeFirmwareEntry;
  BootServices_.Hdr.Signature = EFI_BOOT_SERVICES_SIGNATURE;
  BootServices_.Hdr.Revision = EFI_BOOT_SERVICES_REVISION;
  BootServices_.Hdr.HeaderSize = sizeof BootServices_;
  BootServices_.RaiseTPL = &E::RaiseTPL;
  BootServices_.RestoreTPL = &E::RestoreTPL;
  BootServices_.AllocatePool = &E::AllocatePool;
  BootServices_.FreePool = &E::FreePool;
  BootServices_.CreateEvent = &E::CreateEvent;
  BootServices_.SetTimer = &E::SetTimer;
  BootServices_.SignalEvent = &E::SignalEvent;
  BootServices_.CloseEvent = &E::CloseEvent;
  BootServices_.HandleProtocol = &E::HandleProtocol;
  BootServices_.LocateHandle = &E::LocateHandle;
  BootServices_.LocateHandleBuffer = &E::LocateHandleBuffer;
  BootServices_.LocateProtocol = &E::LocateProtocol;
  BootServices_.OpenProtocol = &E::OpenProtocol;
  BootServices_.CloseProtocol = &E::CloseProtocol;
  BootServices_.Stall = &E::Stall;
  BootServices_.LoadImage = &E::LoadImage;
  BootServices_.StartImage = &E::StartImage;
  BootServices_.UnloadImage = &E::UnloadImage;
  BootServices_.WaitForEvent = &E::WaitForEvent;

  RuntimeServices_.Hdr.Signature = EFI_RUNTIME_SERVICES_SIGNATURE;
  RuntimeServices_.Hdr.Revision = EFI_RUNTIME_SERVICES_REVISION;
  RuntimeServices_.Hdr.HeaderSize = sizeof RuntimeServices_;
  RuntimeServices_.GetVariable = &E::GetVariable;

  ConOut_.OutputString = &E::OutputString;
  ConOut_.SetAttribute = &E::SetAttribute;
  ConOut_.ClearScreen = &E::ClearScreen;
  ConOut_.SetCursorPosition = &E::SetCursorPosition;
  ConOut_.EnableCursor = &E::EnableCursor;
  ConOutMode_.MaxMode = 1;
  ConOutMode_.Attribute = EFI_TEXT_ATTR(EFI_LIGHTGRAY, EFI_BLACK);
  ConOutMode_.CursorVisible = TRUE;
  ConOut_.Mode = &ConOutMode_;
  ConIn_.ReadKeyStroke = &E::ReadKeyStroke;
  ConIn_.WaitForKey = &KeyEvent_;
  KeyEvent_.Type = EVT_NOTIFY_WAIT;
  KeyEvent_.NotifyTpl = TPL_NOTIFY;

  Gop_.QueryMode = &E::GopQueryMode;
  Gop_.SetMode = &E::GopSetMode;
  Gop_.Blt = &E::Blt;
  GopMode_.MaxMode = 1;
  GopMode_.Mode = 0;
  GopMode_.Info = &GopInfo_;
  GopMode_.SizeOfInfo = sizeof GopInfo_;
  Gop_.Mode = &GopMode_;

  SystemTable_.Hdr.Signature = EFI_SYSTEM_TABLE_SIGNATURE;
  SystemTable_.Hdr.Revision = EFI_SYSTEM_TABLE_REVISION;
  SystemTable_.Hdr.HeaderSize = sizeof SystemTable_;
  SystemTable_.FirmwareVendor = MutableText(u"Fake firmware");
  SystemTable_.ConIn = &ConIn_;
  SystemTable_.ConOut = &ConOut_;
  SystemTable_.StdErr = &ConOut_;
  SystemTable_.RuntimeServices = &RuntimeServices_;
  SystemTable_.BootServices = &BootServices_;

  EFI_HANDLE Console = InstallProtocol(gEfiSimpleTextOutProtocolGuid, &ConOut_);
  InstallProtocol(gEfiSimpleTextInProtocolGuid, &ConIn_, Console);
  SystemTable_.ConsoleInHandle = Console;
  SystemTable_.ConsoleOutHandle = Console;
  SystemTable_.StandardErrorHandle = Console;

  LoadedImage_.Revision = EFI_LOADED_IMAGE_PROTOCOL_REVISION;
  LoadedImage_.SystemTable = &SystemTable_;
  LoadedImage_.ImageCodeType = EfiBootServicesCode;
  LoadedImage_.ImageDataType = EfiBootServicesData;
  ImageHandle_ = InstallProtocol(gEfiLoadedImageProtocolGuid, &LoadedImage_);

  Current = this;
  // libefi keeps its own copies; InitializeLib sets them only on its first
  // call in a process, so they are set here for every firmware.
  ST = &SystemTable_;
  BS = &BootServices_;
  RT = &RuntimeServices_;
  LibImageHandle = ImageHandle_;
  InitializeLib(ImageHandle_, &SystemTable_);

  // What libefi did while starting up is no part of any test.
  Calls_.clear();
  CallsSoFar_.clear();
  AllocationSerial_ = 0;
  Freed_.clear();
  PeakBytes_ = LiveBytes_;
  ConsoleText_.clear();
  Segments_.clear();
  if (!Misuse_.empty() || !Pool_.empty()) {
    ADD_FAILURE() << "libefi's InitializeLib left pool memory or misused the firmware";
  }
}

FakeFirmware::~FakeFirmware() {
  for (const auto &Block : Pool_) {
    std::free(const_cast<void *>(Block.first));
  }
  ST = nullptr;
  BS = nullptr;
  RT = nullptr;
  LibImageHandle = nullptr;
  Current = nullptr;
}

bool FakeFirmware::Enter(FwCall Call, std::string Detail, EFI_STATUS *Injected, size_t *LogIndex) {
  const size_t Number = CallsSoFar_[Call]++;
  Calls_.push_back({Call, std::move(Detail), EFI_SUCCESS});
  *LogIndex = Calls_.size() - 1;
  const auto At = FailAt_.find({Call, Number});
  if (At != FailAt_.end()) {
    *Injected = At->second;
    FailAt_.erase(At);
    return true;
  }
  const auto Always = FailAlways_.find(Call);
  if (Always != FailAlways_.end()) {
    *Injected = Always->second;
    return true;
  }
  return false;
}

void FakeFirmware::FailNext(FwCall Call, EFI_STATUS Status, unsigned Skip) {
  FailAt_[{Call, CallsSoFar_[Call] + Skip}] = Status;
}

void FakeFirmware::FailAlways(FwCall Call, EFI_STATUS Status) {
  FailAlways_[Call] = Status;
}

void FakeFirmware::ClearFailures() {
  FailAt_.clear();
  FailAlways_.clear();
  FailFromBytes_ = ~UINTN{0};
}

std::vector<std::string> FakeFirmware::CallLog(std::initializer_list<FwCall> Only) const {
  std::vector<std::string> Log;
  for (const FwCallRecord &Record : Calls_) {
    if (Only.size() == 0 || std::find(Only.begin(), Only.end(), Record.Call) != Only.end()) {
      Log.push_back(Record.Text());
    }
  }
  return Log;
}

size_t FakeFirmware::CallCount(FwCall Call) const {
  return static_cast<size_t>(std::count_if(
      Calls_.begin(), Calls_.end(), [Call](const FwCallRecord &R) { return R.Call == Call; }));
}

void FakeFirmware::ReportMisuse(const std::string &What) {
  Misuse_.push_back(What);
  ADD_FAILURE() << "firmware misuse: " << What;
}

EFI_STATUS FakeFirmware::PoolAllocate(UINTN Bytes, VOID **Buffer, bool FromFirmware,
                                      const std::string &Origin) {
  void *Memory = std::malloc(Bytes != 0 ? Bytes : 1);
  if (Memory == nullptr) {
    return EFI_OUT_OF_RESOURCES;
  }
  // Pool memory is not cleared; make code that assumes so fail.
  std::memset(Memory, 0xA5, Bytes);
  Pool_[Memory] = PoolBlock{Bytes, FromFirmware ? 0 : ++AllocationSerial_, Origin};
  Freed_.erase(Memory);
  LiveBytes_ += Bytes;
  PeakBytes_ = std::max(PeakBytes_, LiveBytes_);
  *Buffer = Memory;
  return EFI_SUCCESS;
}

bool FakeFirmware::IsPoolMemory(const void *Pointer) const {
  auto After = Pool_.upper_bound(Pointer);
  if (After == Pool_.begin()) {
    return false;
  }
  --After;
  const auto Start = reinterpret_cast<uintptr_t>(After->first);
  const auto At = reinterpret_cast<uintptr_t>(Pointer);
  return At < Start + std::max<UINTN>(After->second.Bytes, 1);
}

void FakeFirmware::CheckPoolExtent(const void *Begin, UINT64 Bytes, const char *Use) {
  if (!IsPoolMemory(Begin)) {
    return; // not pool memory (a test's own buffer): ASan watches those
  }
  auto Block = --Pool_.upper_bound(Begin);
  const auto Start = reinterpret_cast<uintptr_t>(Block->first);
  const auto At = reinterpret_cast<uintptr_t>(Begin);
  if (At - Start + Bytes > Block->second.Bytes) {
    ReportMisuse(std::string(Use) + " reaches " + std::to_string(At - Start + Bytes) +
                 " bytes into a pool block of " + std::to_string(Block->second.Bytes));
  }
}

::testing::AssertionResult FakeFirmware::AllPoolFreed() const {
  if (Pool_.empty()) {
    return ::testing::AssertionSuccess();
  }
  auto Result = ::testing::AssertionFailure();
  Result << Pool_.size() << " pool block(s), " << LiveBytes_ << " bytes, never freed:";
  for (const auto &Block : Pool_) {
    Result << "\n  " << Block.second.Bytes << " bytes from " << Block.second.Origin;
    if (Block.second.Serial != 0) {
      Result << " #" << Block.second.Serial;
    }
  }
  return Result;
}

void FakeFirmware::TextOut(const std::string &Text) {
  ConsoleText_ += Text;
  const auto Attribute = static_cast<UINTN>(ConOutMode_.Attribute);
  if (Segments_.empty() || Segments_.back().Attribute != Attribute) {
    Segments_.push_back({Attribute, ""});
  }
  Segments_.back().Text += Text;
}

EFI_GRAPHICS_OUTPUT_BLT_PIXEL FakeFirmware::PatternPixel(UINT32 X, UINT32 Y) {
  return ::PatternPixel(X, Y);
}

void FakeFirmware::SetScreen(UINT32 Width, UINT32 Height) {
  GopInfo_ = {};
  GopInfo_.Version = 0;
  GopInfo_.HorizontalResolution = Width;
  GopInfo_.VerticalResolution = Height;
  GopInfo_.PixelFormat = PixelBlueGreenRedReserved8BitPerColor;
  GopInfo_.PixelsPerScanLine = Width;
  // No frame buffer to write directly: everything goes through Blt.
  GopMode_.FrameBufferBase = 0;
  GopMode_.FrameBufferSize = 0;
  Screen_.assign(UINTN{Width} * Height, EFI_GRAPHICS_OUTPUT_BLT_PIXEL{});
  for (UINT32 Y = 0; Y < Height; ++Y) {
    for (UINT32 X = 0; X < Width; ++X) {
      Screen_[UINTN{Y} * Width + X] = PatternPixel(X, Y);
    }
  }
  if (GopHandle_ == nullptr) {
    GopHandle_ = InstallProtocol(gEfiGraphicsOutputProtocolGuid, &Gop_);
  }
}

void FakeFirmware::RemoveGop() {
  if (GopHandle_ != nullptr) {
    UninstallProtocol(gEfiGraphicsOutputProtocolGuid, GopHandle_);
    GopHandle_ = nullptr;
  }
}

EFI_HANDLE FakeFirmware::NewHandle() {
  Handles_.push_back(std::make_unique<HandleRecord>());
  return Handles_.back().get();
}

EFI_HANDLE FakeFirmware::InstallProtocol(const EFI_GUID &Guid, VOID *Interface, EFI_HANDLE Handle) {
  if (Handle == nullptr) {
    Handle = NewHandle();
  }
  HandleRecord *Record = FindHandle(Handle);
  if (Record == nullptr) {
    ADD_FAILURE() << "InstallProtocol on a handle the fake never made";
    return nullptr;
  }
  for (auto &Entry : Record->Protocols) {
    if (SameGuid(Entry.first, Guid)) {
      Entry.second = Interface;
      return Handle;
    }
  }
  Record->Protocols.emplace_back(Guid, Interface);
  return Handle;
}

void FakeFirmware::UninstallProtocol(const EFI_GUID &Guid, EFI_HANDLE Handle) {
  HandleRecord *Record = FindHandle(Handle);
  if (Record == nullptr) {
    return;
  }
  auto &List = Record->Protocols;
  List.erase(std::remove_if(List.begin(), List.end(),
                            [&](const auto &Entry) { return SameGuid(Entry.first, Guid); }),
             List.end());
}

FakeFirmware::HandleRecord *FakeFirmware::FindHandle(EFI_HANDLE Handle) const {
  for (const auto &Record : Handles_) {
    if (Record.get() == Handle) {
      return Record.get();
    }
  }
  return nullptr;
}

VOID *FakeFirmware::FindInterface(const HandleRecord &Record, const EFI_GUID &Guid) const {
  for (const auto &Entry : Record.Protocols) {
    if (SameGuid(Entry.first, Guid)) {
      return Entry.second;
    }
  }
  return nullptr;
}

std::vector<EFI_HANDLE> FakeFirmware::HandlesWith(EFI_LOCATE_SEARCH_TYPE Type,
                                                  const EFI_GUID *Guid) const {
  std::vector<EFI_HANDLE> Found;
  for (const auto &Record : Handles_) {
    const bool Any = !Record->Protocols.empty();
    if (Type == AllHandles ? Any : FindInterface(*Record, *Guid) != nullptr) {
      Found.push_back(Record.get());
    }
  }
  return Found;
}

FakeVolume &FakeFirmware::AddVolume() {
  Volumes_.push_back(std::make_unique<FakeVolume>());
  FakeVolume &Volume = *Volumes_.back();
  Volume.Protocol_.Protocol.Revision = EFI_SIMPLE_FILE_SYSTEM_PROTOCOL_REVISION;
  Volume.Protocol_.Protocol.OpenVolume = &FakeFirmwareEntry::OpenVolume;
  Volume.Protocol_.Owner = &Volume;
  Volume.Handle_ = InstallProtocol(gEfiSimpleFileSystemProtocolGuid, &Volume.Protocol_.Protocol);
  return Volume;
}

FakeVolume *FakeFirmware::FindVolume(const EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *Protocol) const {
  for (const auto &Volume : Volumes_) {
    if (&Volume->Protocol_.Protocol == Protocol) {
      return Volume.get();
    }
  }
  return nullptr;
}

FakeOpenFile *FakeFirmware::NewFileHandle(FakeVolume *Volume, const std::string &Name,
                                          bool Directory, UINT64 Mode) {
  Files_.push_back(std::make_unique<FakeOpenFile>());
  FakeOpenFile *File = Files_.back().get();
  File->File.Protocol = FileProtocolTemplate();
  File->File.Owner = File;
  File->Volume = Volume;
  File->Name = Name;
  File->Directory = Directory;
  File->Mode = Mode;
  return File;
}

FakeOpenFile *FakeFirmware::FindFile(const EFI_FILE_PROTOCOL *File) const {
  for (const auto &Open : Files_) {
    if (&Open->File.Protocol == File) {
      return Open.get();
    }
  }
  return nullptr;
}

void FakeFirmware::CheckFileTpl(const char *Use) {
  if (Tpl_ > TPL_CALLBACK) {
    ReportMisuse(std::string(Use) + " at TPL " + std::to_string(Tpl_) +
                 "; file system calls are allowed up to TPL_CALLBACK");
  }
}

size_t FakeFirmware::OpenFileCount() const {
  return static_cast<size_t>(
      std::count_if(Files_.begin(), Files_.end(), [](const auto &File) { return File->Open; }));
}

::testing::AssertionResult FakeFirmware::AllFilesClosed() const {
  if (OpenFileCount() == 0) {
    return ::testing::AssertionSuccess();
  }
  auto Result = ::testing::AssertionFailure();
  Result << OpenFileCount() << " file handle(s) never closed:";
  for (const auto &File : Files_) {
    if (File->Open) {
      Result << " " << File->Name;
    }
  }
  return Result;
}

std::vector<const FakeEvent *> FakeFirmware::Events() const {
  std::vector<const FakeEvent *> All;
  for (const auto &Event : Events_) {
    All.push_back(Event.get());
  }
  return All;
}

const FakeEvent *FakeFirmware::FindEvent(EFI_EVENT Event) const {
  for (const auto &Record : Events_) {
    if (Record.get() == Event) {
      return Record.get();
    }
  }
  return nullptr;
}

FakeEvent *FakeFirmware::OpenEvent(EFI_EVENT Event, const char *Use) {
  FakeEvent *Record = const_cast<FakeEvent *>(FindEvent(Event));
  if (Record == nullptr) {
    ReportMisuse(std::string(Use) + " of an event the firmware never created");
    return nullptr;
  }
  if (!Record->Open) {
    ReportMisuse(std::string(Use) + " of a closed event");
    return nullptr;
  }
  return Record;
}

size_t FakeFirmware::OpenEventCount() const {
  return static_cast<size_t>(
      std::count_if(Events_.begin(), Events_.end(), [](const auto &Event) { return Event->Open; }));
}

::testing::AssertionResult FakeFirmware::AllEventsClosed() const {
  if (OpenEventCount() == 0) {
    return ::testing::AssertionSuccess();
  }
  return ::testing::AssertionFailure() << OpenEventCount() << " event(s) never closed";
}

void FakeFirmware::RunNotify(FakeEvent *Record, EFI_EVENT Event) {
  const EFI_TPL Before = Tpl_;
  if (Record->NotifyTpl < Tpl_) {
    return; // would be queued until the TPL drops; the fake does not queue
  }
  Tpl_ = Record->NotifyTpl;
  ++Record->Notifications;
  Record->Notify(Event, Record->Context);
  Tpl_ = Before;
}

bool FakeFirmware::FireTimer(EFI_EVENT Event) {
  FakeEvent *Record = const_cast<FakeEvent *>(FindEvent(Event));
  if (Record == nullptr || !Record->Open || !Record->Armed) {
    ADD_FAILURE() << "FireTimer: the event is not an open event with an armed timer";
    return false;
  }
  if (Record->TimerType == TimerRelative) {
    Record->Armed = false;
  }
  ++Record->Signals;
  if ((Record->Type & EVT_NOTIFY_SIGNAL) != 0) {
    RunNotify(Record, Event);
  }
  return true;
}

void FakeFirmware::AddImageFile(const std::string &Path, ImageFile File) {
  ImageFiles_[Path] = std::move(File);
}

size_t FakeFirmware::LoadedImageIndex(EFI_HANDLE Handle) const {
  size_t Index = 0;
  while (Index < LoadedImages_.size() && LoadedImages_[Index].Handle != Handle) {
    ++Index;
  }
  return Index;
}

std::vector<std::string> FakeFirmware::ImagesLoadedNow() const {
  std::vector<std::string> Paths;
  for (const LoadedImageRecord &Record : LoadedImages_) {
    if (Record.Loaded) {
      Paths.push_back(Record.Path);
    }
  }
  return Paths;
}

namespace {

// Bytes of a device path's first instance, end node included; 0 when malformed.
size_t DevicePathBytes(const EFI_DEVICE_PATH *Path) {
  constexpr size_t MaxBytes = 4096;
  const auto *Bytes = reinterpret_cast<const UINT8 *>(Path);
  for (size_t Offset = 0; Offset + 4 <= MaxBytes;) {
    const UINT8 *Node = Bytes + Offset;
    const size_t Length = Node[2] | (Node[3] << 8);
    if (Length < 4 || Offset + Length > MaxBytes) {
      return 0;
    }
    Offset += Length;
    if (Node[0] == END_DEVICE_PATH_TYPE) {
      return Offset;
    }
  }
  return 0;
}

} // namespace

void FakeFirmware::SplitImagePath(const EFI_DEVICE_PATH *Path, EFI_HANDLE *Device,
                                  std::vector<UINT8> *FilePath) const {
  const size_t PathBytes = DevicePathBytes(Path);
  const auto *Bytes = reinterpret_cast<const UINT8 *>(Path);
  size_t DeviceBytes = 0;
  *Device = nullptr;
  for (EFI_HANDLE Handle : HandlesWith(ByProtocol, &gEfiSimpleFileSystemProtocolGuid)) {
    const auto *Own = static_cast<const EFI_DEVICE_PATH *>(
        FindInterface(*FindHandle(Handle), gEfiDevicePathProtocolGuid));
    const size_t OwnBytes = Own != nullptr ? DevicePathBytes(Own) : 0;
    if (OwnBytes == 0) {
      continue;
    }
    const size_t Prefix = OwnBytes - 4; // without its end node
    if (Prefix > DeviceBytes && Prefix < PathBytes && std::memcmp(Own, Bytes, Prefix) == 0) {
      *Device = Handle;
      DeviceBytes = Prefix;
    }
  }
  FilePath->assign(Bytes + DeviceBytes, Bytes + PathBytes);
}

std::string FakeFirmware::DevicePathText(const EFI_DEVICE_PATH *Path) {
  if (Path == nullptr) {
    return "";
  }
  constexpr size_t MaxBytes = 4096;
  const auto *Bytes = reinterpret_cast<const UINT8 *>(Path);
  std::string Text;
  for (size_t Offset = 0; Offset + 4 <= MaxBytes;) {
    const UINT8 *Node = Bytes + Offset;
    const size_t Length = Node[2] | (Node[3] << 8);
    if (Length < 4 || Offset + Length > MaxBytes) {
      break;
    }
    if (Node[0] == END_DEVICE_PATH_TYPE && Node[1] == END_ENTIRE_DEVICE_PATH_SUBTYPE) {
      return Text;
    }
    if (!Text.empty()) {
      Text += "/";
    }
    EFI_GUID Guid{};
    if (Node[0] == MEDIA_DEVICE_PATH && Node[1] == MEDIA_FILEPATH_DP) {
      std::u16string Name((Length - 4) / 2, u'\0');
      std::memcpy(&Name[0], Node + 4, Name.size() * 2);
      Name.resize(std::min(Name.size(), Name.find(u'\0')));
      std::vector<CHAR16> Chars(Name.begin(), Name.end());
      Chars.push_back(0);
      Text += ToUtf8(Chars.data());
    } else if (Node[0] == MEDIA_DEVICE_PATH &&
               (Node[1] == MEDIA_PIWG_FW_FILE_DP || Node[1] == MEDIA_PIWG_FW_VOL_DP) &&
               Length >= 4 + sizeof Guid) {
      std::memcpy(&Guid, Node + 4, sizeof Guid);
      Text +=
          std::string(Node[1] == MEDIA_PIWG_FW_FILE_DP ? "FvFile(" : "Fv(") + GuidText(Guid) + ")";
    } else {
      Text += "Node(" + std::to_string(Node[0]) + "," + std::to_string(Node[1]);
      if (Length > 4) {
        Text += ",";
        for (size_t I = 4; I < Length; ++I) {
          char Byte[3];
          std::snprintf(Byte, sizeof Byte, "%02x", Node[I]);
          Text += Byte;
        }
      }
      Text += ")";
    }
    Offset += Length;
  }
  return "<malformed>";
}

void FakeFirmware::PutVariable(const std::string &Name, const EFI_GUID &Guid,
                               std::vector<UINT8> Data, UINT32 Attributes) {
  Variables_[{ToUtf16(Name), GuidText(Guid)}] = {Attributes, std::move(Data)};
}

void FakeFirmware::QueueKey(EFI_INPUT_KEY Key, UINT64 At) {
  Keys_.emplace_back(Key, At);
}

::testing::AssertionResult FakeFirmware::Clean() const {
  const auto Pool = AllPoolFreed();
  const auto Files = AllFilesClosed();
  const auto Events = AllEventsClosed();
  if (Pool && Files && Events && Misuse_.empty()) {
    return ::testing::AssertionSuccess();
  }
  auto Result = ::testing::AssertionFailure();
  if (!Pool) {
    Result << Pool.message() << "\n";
  }
  if (!Files) {
    Result << Files.message() << "\n";
  }
  if (!Events) {
    Result << Events.message() << "\n";
  }
  for (const std::string &What : Misuse_) {
    Result << "misuse: " << What << "\n";
  }
  return Result;
}
