// A fake UEFI firmware for host tests of firmware code.
//
// The code under test reaches the firmware only through libefi's globals
// BS/ST/RT (and the protocols found through them), so a FakeFirmware object
// builds a system table, boot and runtime services, a console, a graphics
// output protocol and in-memory volumes, and points libefi's globals at them
// for its lifetime. Every table slot the fake does not implement fails the
// running test with the slot's name when called.
//
// One FakeFirmware may exist at a time; FirmwareTest gives each test a fresh
// one and checks on TearDown that the code freed its pool memory, closed its
// files and events and misused nothing.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <deque>
#include <functional>
#include <initializer_list>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "common/uefi.h"

// Firmware entry points the fake implements. Each one is logged and can be
// made to fail (FailNext / FailAlways).
enum class FwCall {
  // boot services
  RaiseTPL,
  RestoreTPL,
  AllocatePool,
  FreePool,
  CreateEvent,
  SetTimer,
  SignalEvent,
  CloseEvent,
  HandleProtocol,
  LocateHandle,
  LocateHandleBuffer,
  LocateProtocol,
  OpenProtocol,
  CloseProtocol,
  Stall,
  LoadImage,
  StartImage,
  UnloadImage,
  WaitForEvent,
  // runtime services
  GetVariable,
  // console output
  OutputString,
  SetAttribute,
  ClearScreen,
  SetCursorPosition,
  EnableCursor,
  // console input
  ReadKeyStroke,
  // graphics output
  GopQueryMode,
  GopSetMode,
  Blt,
  // simple file system and its files
  OpenVolume,
  Open,
  Close,
  Delete,
  Read,
  Write,
  GetPosition,
  SetPosition,
  GetInfo,
  SetInfo,
  Flush,
  // a slot the fake leaves unimplemented (always a test failure)
  Unimplemented,
};
const char *FwCallName(FwCall Call);

// One entry of the call log. Detail names what the call worked on:
//   Open/Close/Write/Read/...  the file name ("\" for a root directory),
//                              Write and Read add ",<bytes>"
//   OutputString               the text (UTF-8)
//   SetAttribute               the attribute as 0xNN
//   Blt                        the operation (VideoToBltBuffer, ...)
//   AllocatePool/FreePool      the byte count
struct FwCallRecord {
  FwCall Call;
  std::string Detail;
  EFI_STATUS Status;
  // "Name" or "Name(Detail)"
  std::string Text() const;
};

struct BltRecord {
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL *Buffer;
  EFI_GRAPHICS_OUTPUT_BLT_OPERATION Operation;
  UINTN SourceX, SourceY, DestinationX, DestinationY, Width, Height, Delta;
  EFI_STATUS Status;
};

struct OpenRecord {
  std::string Name;
  UINT64 Mode;
  UINT64 Attributes;
  EFI_STATUS Status;
};

struct WriteRecord {
  std::string Name;
  UINT64 Position; // where the write started
  UINTN Bytes;     // as asked for
  EFI_STATUS Status;
};

// Text printed while one attribute was set.
struct ConsoleSegment {
  UINTN Attribute;
  std::string Text;
};

struct FakeEvent {
  UINT32 Type;
  EFI_TPL NotifyTpl;
  EFI_EVENT_NOTIFY Notify;
  VOID *Context;
  bool Open = true;
  // Timer state from SetTimer.
  bool Armed = false;
  EFI_TIMER_DELAY TimerType = TimerCancel;
  UINT64 TriggerTime = 0;
  unsigned Signals = 0;
  unsigned Notifications = 0;
  // When SetTimer armed it, on the fake clock (FakeFirmware::Now).
  UINT64 ArmedAt = 0;
};

struct FakeFileData {
  std::vector<UINT8> Bytes;
  UINT64 Attributes = 0;
};

class FakeFirmware;
struct FakeOpenFile; // an open file or directory handle (fake_firmware.cpp)

// A volume with a simple file system: one flat root directory of files.
class FakeVolume {
public:
  // Creating files, writing and SetInfo fail with EFI_WRITE_PROTECTED.
  bool ReadOnly = false;
  // The root directory's GetInfo answers EFI_FILE_SYSTEM_VOLUME_LABEL with
  // this; EFI_FILE_SYSTEM_INFO too, unless VolumeLabelInfoOnly.
  std::string Label;
  bool VolumeLabelInfoOnly = false;
  // Total bytes the files may hold; a Write or SetInfo that would pass it
  // fails with EFI_VOLUME_FULL and changes nothing.
  UINT64 Capacity = UINT64_MAX;

  void PutFile(const std::string &Name, std::vector<UINT8> Bytes, UINT64 Attributes = 0);
  // nullptr when there is no such file.
  const std::vector<UINT8> *File(const std::string &Name) const;
  const FakeFileData *FileData(const std::string &Name) const;
  std::vector<std::string> FileNames() const;
  UINT64 UsedBytes() const;
  EFI_HANDLE Handle() const { return Handle_; }
  EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *Protocol() { return &Protocol_.Protocol; }

private:
  friend class FakeFirmware;
  friend struct FakeFirmwareEntry;
  struct ProtocolWithOwner {
    EFI_SIMPLE_FILE_SYSTEM_PROTOCOL Protocol;
    FakeVolume *Owner;
  };
  ProtocolWithOwner Protocol_{};
  EFI_HANDLE Handle_ = nullptr;
  std::map<std::string, FakeFileData> Files_;
};

class FakeFirmware {
public:
  FakeFirmware();
  ~FakeFirmware();
  FakeFirmware(const FakeFirmware &) = delete;
  FakeFirmware &operator=(const FakeFirmware &) = delete;

  EFI_HANDLE ImageHandle() const { return ImageHandle_; }
  EFI_SYSTEM_TABLE *SystemTable() { return &SystemTable_; }
  EFI_BOOT_SERVICES *BootServices() { return &BootServices_; }

  // --- failure injection -------------------------------------------------
  // The (Skip + 1)-th call of Call from now returns Status and does nothing.
  void FailNext(FwCall Call, EFI_STATUS Status, unsigned Skip = 0);
  // Every call of Call from now returns Status and does nothing.
  void FailAlways(FwCall Call, EFI_STATUS Status);
  void ClearFailures();

  // --- call log ------------------------------------------------------------
  const std::vector<FwCallRecord> &Calls() const { return Calls_; }
  // Log entries as text ("Open(SaveScreen.bmp)"), only those of the listed
  // calls (all calls when the list is empty).
  std::vector<std::string> CallLog(std::initializer_list<FwCall> Only = {}) const;
  size_t CallCount(FwCall Call) const;
  void ClearCallLog() { Calls_.clear(); }

  // --- pool ----------------------------------------------------------------
  // Allocations asked for by the code (not the firmware's own, such as the
  // list LocateHandleBuffer returns) are numbered from 1 per FakeFirmware.
  // The Nth such allocation from now fails with EFI_OUT_OF_RESOURCES.
  void FailAllocation(unsigned Nth) {
    FailNext(FwCall::AllocatePool, EFI_OUT_OF_RESOURCES, Nth - 1);
  }
  // Allocations of at least Bytes fail with EFI_OUT_OF_RESOURCES.
  void FailAllocationsOfAtLeast(UINTN Bytes) { FailFromBytes_ = Bytes; }
  size_t LiveAllocations() const { return Pool_.size(); }
  UINTN LiveBytes() const { return LiveBytes_; }
  UINTN PeakBytes() const { return PeakBytes_; }
  void ResetPeak() { PeakBytes_ = LiveBytes_; }
  // True if Pointer lies in a live pool block.
  bool IsPoolMemory(const void *Pointer) const;
  ::testing::AssertionResult AllPoolFreed() const;

  // --- console -------------------------------------------------------------
  // Everything OutputString got, as UTF-8 (libefi's Print turns "\n" into "\r\n").
  const std::string &ConsoleText() const { return ConsoleText_; }
  // The same text cut where SetAttribute was called.
  const std::vector<ConsoleSegment> &ConsoleSegments() const { return Segments_; }
  UINTN ConsoleAttribute() const { return static_cast<UINTN>(ConOutMode_.Attribute); }

  // --- graphics output -----------------------------------------------------
  // Installs the graphics output protocol (if absent) with one W x H mode and
  // fills the screen with PatternPixel.
  void SetScreen(UINT32 Width, UINT32 Height);
  void RemoveGop();
  // nullptr when absent.
  EFI_GRAPHICS_OUTPUT_PROTOCOL *Gop() { return GopHandle_ != nullptr ? &Gop_ : nullptr; }
  UINT32 ScreenWidth() const { return GopInfo_.HorizontalResolution; }
  UINT32 ScreenHeight() const { return GopInfo_.VerticalResolution; }
  // Top-down, ScreenWidth() pixels a row.
  std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> &Screen() { return Screen_; }
  EFI_GRAPHICS_OUTPUT_BLT_PIXEL &Pixel(UINT32 X, UINT32 Y) {
    return Screen_.at(UINTN{Y} * ScreenWidth() + X);
  }
  // Distinct colours per pixel; Reserved is never 0, so it shows if it leaks.
  static EFI_GRAPHICS_OUTPUT_BLT_PIXEL PatternPixel(UINT32 X, UINT32 Y);
  const std::vector<BltRecord> &Blts() const { return Blts_; }

  // --- protocols and handles -----------------------------------------------
  EFI_HANDLE NewHandle();
  // Installs Interface on Handle (a new handle when nullptr) and returns the handle.
  // LocateProtocol finds the first handle, in creation order, that has Guid.
  EFI_HANDLE InstallProtocol(const EFI_GUID &Guid, VOID *Interface, EFI_HANDLE Handle = nullptr);
  void UninstallProtocol(const EFI_GUID &Guid, EFI_HANDLE Handle);

  // --- volumes -------------------------------------------------------------
  // A new volume on its own handle; LocateHandleBuffer lists volumes in the
  // order they were added.
  FakeVolume &AddVolume();
  FakeVolume &Volume(size_t Index = 0) { return *Volumes_.at(Index); }
  const std::vector<OpenRecord> &Opens() const { return Opens_; }
  const std::vector<WriteRecord> &Writes() const { return Writes_; }
  size_t OpenFileCount() const;
  ::testing::AssertionResult AllFilesClosed() const;

  // --- events --------------------------------------------------------------
  // Every event ever created, closed ones included.
  std::vector<const FakeEvent *> Events() const;
  // nullptr if Event was never created by this firmware.
  const FakeEvent *FindEvent(EFI_EVENT Event) const;
  // The handle CreateEvent gave out last (nullptr if none).
  EFI_EVENT LastEvent() const { return Events_.empty() ? nullptr : Events_.back().get(); }
  size_t OpenEventCount() const;
  ::testing::AssertionResult AllEventsClosed() const;
  // The timer of Event expires: a relative timer is disarmed, a notify-signal
  // event's function runs at the event's TPL. Fails the test and returns
  // false if the event is not open and armed.
  bool FireTimer(EFI_EVENT Event);
  EFI_TPL CurrentTpl() const { return Tpl_; }
  UINT64 StalledMicroseconds() const { return Stalled_; }

  // --- images --------------------------------------------------------------
  // An image file LoadImage finds by the text (DevicePathText) of the device
  // path it is given.
  struct ImageFile {
    // LoadImage's answer. EFI_SECURITY_VIOLATION loads the image all the same
    // and hands out its handle, as the firmware does (UEFI 2.x, LoadImage);
    // other errors load nothing.
    EFI_STATUS LoadStatus = EFI_SUCCESS;
    // The entry point StartImage runs (nullptr: returns EFI_SUCCESS).
    std::function<EFI_STATUS(EFI_HANDLE Image)> Start;
    // The image's unload function: UnloadImage of a started image calls it and
    // fails with EFI_UNSUPPORTED without one.
    std::function<EFI_STATUS()> Unload;
    // An application is unloaded by the firmware when it returns
    // EFI_SUCCESS. Nothing is unloaded after a failed start.
    bool Application = false;
    // Exit data the entry point hands back (in pool memory the caller frees).
    std::string ExitData;
  };
  void AddImageFile(const std::string &Path, ImageFile File);
  struct LoadedImageRecord {
    std::string Path;
    EFI_HANDLE Handle;
    bool Started = false;
    EFI_STATUS StartStatus = EFI_NOT_STARTED; // what its entry point returned
    bool Loaded = true;                       // false once unloaded
    bool Startable = true;                    // false when loaded despite a security violation
  };
  // Every image LoadImage handed out a handle for, in load order. Each one's
  // LoadedImage protocol has DeviceHandle and FilePath set as the firmware
  // sets them: the volume it came from, and the file part of its path.
  const std::deque<LoadedImageRecord> &LoadedImages() const { return LoadedImages_; }
  // Paths of the images loaded now.
  std::vector<std::string> ImagesLoadedNow() const;
  // The running image's protocol (DeviceHandle and FilePath are for the test to set).
  EFI_LOADED_IMAGE_PROTOCOL &RunningImage() { return LoadedImage_; }
  // A device path as "/"-joined node texts: a file path node as its path,
  // firmware volume and file nodes as Fv(guid) and FvFile(guid), every other
  // node as Node(type,subtype,hex bytes). "" for nullptr; "<malformed>" for a
  // node shorter than its header or no end node within 4096 bytes.
  static std::string DevicePathText(const EFI_DEVICE_PATH *Path);

  // --- variables -------------------------------------------------------------
  // GetVariable answers from these. SetVariable stays unimplemented: firmware
  // code of this project writes no variable.
  void PutVariable(const std::string &Name, const EFI_GUID &Guid, std::vector<UINT8> Data,
                   UINT32 Attributes = EFI_VARIABLE_NON_VOLATILE | EFI_VARIABLE_BOOTSERVICE_ACCESS |
                                       EFI_VARIABLE_RUNTIME_ACCESS);

  // --- time and keys -----------------------------------------------------------
  // The fake clock in 100 ns units: WaitForEvent moves it on to the next
  // timer of the events it waits for (or the next key), fires that timer, and
  // reports the first signalled event.
  UINT64 Now() const { return Now_; }
  // A key the console input delivers from fake time At on (ST->ConIn:
  // ReadKeyStroke, and WaitForKey signalled while one is there).
  void QueueKey(EFI_INPUT_KEY Key, UINT64 At = 0);
  size_t PendingKeys() const { return Keys_.size(); }

  // --- misuse --------------------------------------------------------------
  // Double or unknown FreePool, use of a closed file or event, calls of
  // unimplemented slots, file calls above TPL_CALLBACK, Blt past a pool block.
  // Each also fails the running test when it happens.
  const std::vector<std::string> &Misuse() const { return Misuse_; }
  // For a test that provokes misuse on purpose (under EXPECT_NONFATAL_FAILURE).
  void ForgetMisuse() { Misuse_.clear(); }

  // Pool freed, files and events closed, no misuse.
  ::testing::AssertionResult Clean() const;

private:
  friend struct FakeFirmwareEntry;

  struct HandleRecord {
    std::vector<std::pair<EFI_GUID, VOID *>> Protocols;
  };
  struct PoolBlock {
    UINTN Bytes;
    unsigned Serial; // 0 for the firmware's own allocations
    std::string Origin;
  };

  // Logs the call; true (with the status) if it is to fail.
  bool Enter(FwCall Call, std::string Detail, EFI_STATUS *Injected, size_t *LogIndex);
  void ReportMisuse(const std::string &What);
  EFI_STATUS PoolAllocate(UINTN Bytes, VOID **Buffer, bool FromFirmware, const std::string &Origin);
  HandleRecord *FindHandle(EFI_HANDLE Handle) const;
  VOID *FindInterface(const HandleRecord &Record, const EFI_GUID &Guid) const;
  std::vector<EFI_HANDLE> HandlesWith(EFI_LOCATE_SEARCH_TYPE Type, const EFI_GUID *Guid) const;
  FakeEvent *OpenEvent(EFI_EVENT Event, const char *Use);
  FakeOpenFile *NewFileHandle(FakeVolume *Volume, const std::string &Name, bool Directory,
                              UINT64 Mode);
  FakeOpenFile *FindFile(const EFI_FILE_PROTOCOL *File) const;
  FakeVolume *FindVolume(const EFI_SIMPLE_FILE_SYSTEM_PROTOCOL *Protocol) const;
  void CheckFileTpl(const char *Use);
  void CheckPoolExtent(const void *Begin, UINT64 Bytes, const char *Use);
  void RunNotify(FakeEvent *Record, EFI_EVENT Event);
  void TextOut(const std::string &Text);

  EFI_SYSTEM_TABLE SystemTable_{};
  EFI_BOOT_SERVICES BootServices_{};
  EFI_RUNTIME_SERVICES RuntimeServices_{};
  SIMPLE_TEXT_OUTPUT_INTERFACE ConOut_{};
  SIMPLE_TEXT_OUTPUT_MODE ConOutMode_{};
  SIMPLE_INPUT_INTERFACE ConIn_{};
  EFI_LOADED_IMAGE_PROTOCOL LoadedImage_{};
  EFI_HANDLE ImageHandle_ = nullptr;

  EFI_GRAPHICS_OUTPUT_PROTOCOL Gop_{};
  EFI_GRAPHICS_OUTPUT_PROTOCOL_MODE GopMode_{};
  EFI_GRAPHICS_OUTPUT_MODE_INFORMATION GopInfo_{};
  EFI_HANDLE GopHandle_ = nullptr;
  std::vector<EFI_GRAPHICS_OUTPUT_BLT_PIXEL> Screen_;
  std::vector<BltRecord> Blts_;

  std::deque<std::unique_ptr<HandleRecord>> Handles_;
  std::deque<std::unique_ptr<FakeVolume>> Volumes_;
  std::deque<std::unique_ptr<FakeOpenFile>> Files_;
  std::deque<std::unique_ptr<FakeEvent>> Events_;
  std::vector<OpenRecord> Opens_;
  std::vector<WriteRecord> Writes_;

  std::map<const void *, PoolBlock> Pool_;
  std::set<const void *> Freed_;
  UINTN LiveBytes_ = 0;
  UINTN PeakBytes_ = 0;
  unsigned AllocationSerial_ = 0;
  UINTN FailFromBytes_ = ~UINTN{0};

  std::map<FwCall, size_t> CallsSoFar_;
  std::map<std::pair<FwCall, size_t>, EFI_STATUS> FailAt_;
  std::map<FwCall, EFI_STATUS> FailAlways_;
  std::vector<FwCallRecord> Calls_;

  std::string ConsoleText_;
  std::vector<ConsoleSegment> Segments_;

  EFI_TPL Tpl_ = TPL_APPLICATION;
  UINT64 Stalled_ = 0;

  struct ImageState {
    ImageFile File;
    EFI_LOADED_IMAGE_PROTOCOL Protocol{};
    std::vector<UINT8> FilePath; // what Protocol.FilePath points to
  };
  // As the firmware fills a loaded image's DeviceHandle and FilePath: the
  // volume whose device path is the longest start of Path, and the rest of
  // Path (all of it, device nullptr, when no volume's path starts it).
  void SplitImagePath(const EFI_DEVICE_PATH *Path, EFI_HANDLE *Device,
                      std::vector<UINT8> *FilePath) const;
  std::map<std::string, ImageFile> ImageFiles_;
  std::deque<LoadedImageRecord> LoadedImages_;
  std::deque<std::unique_ptr<ImageState>> ImageStates_; // by index in LoadedImages_
  // Index in LoadedImages_ (and ImageStates_), or the number of images.
  size_t LoadedImageIndex(EFI_HANDLE Handle) const;
  std::map<std::pair<std::u16string, std::string>, std::pair<UINT32, std::vector<UINT8>>>
      Variables_;
  UINT64 Now_ = 0;
  std::deque<std::pair<EFI_INPUT_KEY, UINT64>> Keys_;
  FakeEvent KeyEvent_{}; // ConIn->WaitForKey; the firmware's, never closed
  std::map<const FakeEvent *, unsigned> SignalsSeen_; // by WaitForEvent
  bool KeyReady() const { return !Keys_.empty() && Keys_.front().second <= Now_; }
  std::vector<std::string> Misuse_;
};

// Base fixture: a fresh firmware per test, checked on TearDown.
class FirmwareTest : public ::testing::Test {
protected:
  void TearDown() override { EXPECT_TRUE(Fw.Clean()); }
  FakeFirmware Fw;
};

// UTF-8 <-> CHAR16 for names and texts.
std::string ToUtf8(const CHAR16 *Text);
std::u16string ToUtf16(const std::string &Text);
