// Additions to the fake firmware for the hot-key provider's tests, kept apart
// from fake_firmware.*:
//
//  * FakeTextInputEx: the console's extended text input on ST->ConsoleInHandle,
//    with RegisterKeyNotify/UnregisterKeyNotify matching keys the way the
//    firmware's console does, and Press() to deliver a key at TPL_NOTIFY.
//  * FakeProtocolInstaller: InstallProtocolInterface/UninstallProtocolInterface
//    in the boot services (the base fake leaves them unimplemented).
//  * SignalQueue: the base fake runs a signalled event's notify only when the
//    TPL allows it at once and drops it otherwise; this runs the dropped ones,
//    as the firmware does when the TPL falls again.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <vector>

#include "tests/host/fake_firmware.h"

class FakeTextInputEx {
public:
  // Installs the protocol on the console's input handle of Fw.
  explicit FakeTextInputEx(FakeFirmware &Fw);
  ~FakeTextInputEx();
  FakeTextInputEx(const FakeTextInputEx &) = delete;
  FakeTextInputEx &operator=(const FakeTextInputEx &) = delete;

  EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *Protocol() { return &Wrapper_.Protocol; }

  // One key press as a keyboard reports it: every registered notify whose key
  // data matches runs, at TPL_NOTIFY. Matching as the console does it: same
  // ScanCode and UnicodeChar; shift and toggle state equal unless the
  // registration has 0 there. The default toggle state is what a PS/2
  // keyboard reports with all locks off.
  void Press(UINT16 ScanCode, CHAR16 UnicodeChar, UINT32 ShiftState,
             UINT8 ToggleState = EFI_TOGGLE_STATE_VALID | EFI_KEY_STATE_EXPOSED);
  void PressF9(UINT32 ShiftState) { Press(SCAN_F9, 0, ShiftState); }

  // Like a serial terminal: match on the key alone, whatever the shift state.
  bool IgnoreShiftState = false;

  // Failure injection: the next RegisterKeyNotify (after Skip successful
  // ones) / every UnregisterKeyNotify returns the status and does nothing.
  void FailRegister(EFI_STATUS Status, unsigned Skip = 0);
  EFI_STATUS UnregisterFailure = EFI_SUCCESS;

  struct Registration {
    EFI_KEY_DATA KeyData;
    EFI_KEY_NOTIFY_FUNCTION Notify;
  };
  // Live registrations, oldest first.
  std::vector<Registration> Registrations() const;
  unsigned RegisterCalls() const { return RegisterCalls_; }
  unsigned UnregisterCalls() const { return UnregisterCalls_; }
  // The TPL each notify call ran at.
  const std::vector<EFI_TPL> &NotifyTpls() const { return NotifyTpls_; }

private:
  struct Wrapper {
    EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL Protocol;
    FakeTextInputEx *Owner;
  };
  static EFI_STATUS EFIAPI RegisterKeyNotify(EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *This,
                                             EFI_KEY_DATA *KeyData,
                                             EFI_KEY_NOTIFY_FUNCTION Function, VOID **Handle);
  static EFI_STATUS EFIAPI UnregisterKeyNotify(EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *This,
                                               VOID *Handle);
  static FakeTextInputEx &Owner(EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *This);
  bool Matches(const EFI_KEY_DATA &Registered, const EFI_KEY_DATA &Pressed) const;

  FakeFirmware &Fw_;
  Wrapper Wrapper_{};
  std::deque<std::unique_ptr<Registration>> Live_; // a registration's address is its handle
  unsigned RegisterCalls_ = 0;
  unsigned UnregisterCalls_ = 0;
  unsigned RegisterSkip_ = 0;
  EFI_STATUS RegisterFailure_ = EFI_SUCCESS;
  std::vector<EFI_TPL> NotifyTpls_;
};

class FakeProtocolInstaller {
public:
  // Puts the two services into Fw's boot services; one instance at a time.
  explicit FakeProtocolInstaller(FakeFirmware &Fw);
  ~FakeProtocolInstaller();
  FakeProtocolInstaller(const FakeProtocolInstaller &) = delete;
  FakeProtocolInstaller &operator=(const FakeProtocolInstaller &) = delete;

  // InstallProtocolInterface returns this and installs nothing when set.
  EFI_STATUS InstallFailure = EFI_SUCCESS;
  // UninstallProtocolInterface returns this and keeps the protocol when set,
  // as the firmware does while a driver has the protocol open BY_DRIVER.
  EFI_STATUS UninstallFailure = EFI_SUCCESS;

  struct Installed {
    EFI_HANDLE Handle;
    EFI_GUID Guid;
    VOID *Interface;
  };
  const std::vector<Installed> &InstalledNow() const { return Installed_; }

private:
  static EFI_STATUS EFIAPI Install(EFI_HANDLE *Handle, EFI_GUID *Protocol, EFI_INTERFACE_TYPE Type,
                                   VOID *Interface);
  static EFI_STATUS EFIAPI Uninstall(EFI_HANDLE Handle, EFI_GUID *Protocol, VOID *Interface);

  FakeFirmware &Fw_;
  std::vector<Installed> Installed_;
};

class SignalQueue {
public:
  // Runs, once each and at its own TPL, the notify of every open
  // EVT_NOTIFY_SIGNAL event signalled since the last run that the base fake
  // did not run. Signals that piled up meanwhile make one run, as with the
  // firmware. Call it at a TPL below the events' TPL. Returns how many ran.
  unsigned RunPending(FakeFirmware &Fw);

private:
  std::map<const FakeEvent *, unsigned> Handled_;
};
