// Owners for the few firmware resources a capture holds, so every return path
// releases them. No heap objects, no virtual methods: plain move-only holders.
#pragma once

#include "common/uefi.h"

// Who gives pool memory back: libefi's FreePool, or the boot services table
// directly (the badge drawer's convention). Both end in BS->FreePool.
enum class PoolRelease { Library, BootServices };

// Pool memory from libefi's AllocatePool/AllocateZeroPool (or a firmware service
// that hands back pool memory, such as LocateHandleBuffer).
template <typename T, PoolRelease Release = PoolRelease::Library> class PoolPtr {
public:
  PoolPtr() = default;
  explicit PoolPtr(T *Pointer) : Pointer_(Pointer) {}
  PoolPtr(const PoolPtr &) = delete;
  PoolPtr &operator=(const PoolPtr &) = delete;
  ~PoolPtr() { Reset(); }

  static PoolPtr Allocate(UINTN Bytes) { return PoolPtr(static_cast<T *>(AllocatePool(Bytes))); }
  static PoolPtr AllocateZero(UINTN Bytes) {
    return PoolPtr(static_cast<T *>(AllocateZeroPool(Bytes)));
  }

  T *Get() const { return Pointer_; }
  T **Out() {
    Reset();
    return &Pointer_;
  }
  explicit operator bool() const { return Pointer_ != nullptr; }
  T &operator[](UINTN Index) const { return Pointer_[Index]; }
  void Reset() {
    if (Pointer_ != nullptr) {
      if (Release == PoolRelease::Library) {
        FreePool(Pointer_);
      } else {
        BS->FreePool(Pointer_);
      }
      Pointer_ = nullptr;
    }
  }

private:
  T *Pointer_ = nullptr;
};

// An open file or directory of the simple file system; closed on scope exit.
class FileHandle {
public:
  FileHandle() = default;
  FileHandle(const FileHandle &) = delete;
  FileHandle &operator=(const FileHandle &) = delete;
  ~FileHandle() { Close(); }

  EFI_FILE_PROTOCOL *Get() const { return File_; }
  EFI_FILE_PROTOCOL *operator->() const { return File_; }
  EFI_FILE_PROTOCOL **Out() {
    Close();
    return &File_;
  }
  // Close's status says nothing the caller can act on.
  void Close() {
    if (File_ != nullptr) {
      File_->Close(File_);
      File_ = nullptr;
    }
  }

private:
  EFI_FILE_PROTOCOL *File_ = nullptr;
};

// An event that is closed unless ownership is handed on with Release().
class EventGuard {
public:
  explicit EventGuard(EFI_EVENT Event) : Event_(Event) {}
  EventGuard(const EventGuard &) = delete;
  EventGuard &operator=(const EventGuard &) = delete;
  ~EventGuard() {
    if (Event_ != nullptr) {
      BS->CloseEvent(Event_);
    }
  }
  EFI_EVENT Release() {
    EFI_EVENT Event = Event_;
    Event_ = nullptr;
    return Event;
  }

private:
  EFI_EVENT Event_;
};

// An image from LoadImage that is unloaded on scope exit unless Release() hands
// it on (a driver that stays resident, or an application the firmware already
// unloaded when it returned). UnloadImage's status says nothing the caller can
// act on.
class ImageGuard {
public:
  ImageGuard() = default;
  ImageGuard(const ImageGuard &) = delete;
  ImageGuard &operator=(const ImageGuard &) = delete;
  ~ImageGuard() { Reset(); }

  EFI_HANDLE Get() const { return Handle_; }
  EFI_HANDLE *Out() {
    Reset();
    return &Handle_;
  }
  void Release() { Handle_ = nullptr; }
  void Reset() {
    if (Handle_ != nullptr) {
      BS->UnloadImage(Handle_);
      Handle_ = nullptr;
    }
  }

private:
  EFI_HANDLE Handle_ = nullptr;
};
