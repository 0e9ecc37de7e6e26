#include "tests/host/fake_text_input.h"

#include <algorithm>
#include <cstring>

namespace {

EFI_GUID TextInputExGuid = EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL_GUID;

bool SameGuid(const EFI_GUID &A, const EFI_GUID &B) {
  return std::memcmp(&A, &B, sizeof A) == 0;
}

FakeProtocolInstaller *CurrentInstaller = nullptr;

} // namespace

// --- FakeTextInputEx --------------------------------------------------------

FakeTextInputEx::FakeTextInputEx(FakeFirmware &Fw) : Fw_(Fw) {
  Wrapper_.Protocol.RegisterKeyNotify = &RegisterKeyNotify;
  Wrapper_.Protocol.UnregisterKeyNotify = &UnregisterKeyNotify;
  Wrapper_.Owner = this;
  Fw_.InstallProtocol(TextInputExGuid, &Wrapper_.Protocol, Fw_.SystemTable()->ConsoleInHandle);
}

FakeTextInputEx::~FakeTextInputEx() {
  Fw_.UninstallProtocol(TextInputExGuid, Fw_.SystemTable()->ConsoleInHandle);
}

FakeTextInputEx &FakeTextInputEx::Owner(EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *This) {
  return *reinterpret_cast<Wrapper *>(This)->Owner;
}

bool FakeTextInputEx::Matches(const EFI_KEY_DATA &Registered, const EFI_KEY_DATA &Pressed) const {
  if (Registered.Key.ScanCode != Pressed.Key.ScanCode ||
      Registered.Key.UnicodeChar != Pressed.Key.UnicodeChar) {
    return false;
  }
  if (IgnoreShiftState) {
    return true;
  }
  const EFI_KEY_STATE &Want = Registered.KeyState;
  const EFI_KEY_STATE &Got = Pressed.KeyState;
  return (Want.KeyShiftState == 0 || Want.KeyShiftState == Got.KeyShiftState) &&
         (Want.KeyToggleState == 0 || Want.KeyToggleState == Got.KeyToggleState);
}

void FakeTextInputEx::Press(UINT16 ScanCode, CHAR16 UnicodeChar, UINT32 ShiftState,
                            UINT8 ToggleState) {
  EFI_KEY_DATA Pressed{};
  Pressed.Key.ScanCode = ScanCode;
  Pressed.Key.UnicodeChar = UnicodeChar;
  Pressed.KeyState.KeyShiftState = ShiftState;
  Pressed.KeyState.KeyToggleState = ToggleState;
  // Collected first: a notify may register or unregister.
  std::vector<EFI_KEY_NOTIFY_FUNCTION> Due;
  for (const auto &Entry : Live_) {
    if (Matches(Entry->KeyData, Pressed)) {
      Due.push_back(Entry->Notify);
    }
  }
  const EFI_TPL Old = BS->RaiseTPL(TPL_NOTIFY);
  for (EFI_KEY_NOTIFY_FUNCTION Notify : Due) {
    NotifyTpls_.push_back(Fw_.CurrentTpl());
    EFI_KEY_DATA Copy = Pressed;
    Notify(&Copy);
  }
  BS->RestoreTPL(Old);
}

void FakeTextInputEx::FailRegister(EFI_STATUS Status, unsigned Skip) {
  RegisterFailure_ = Status;
  RegisterSkip_ = Skip;
}

std::vector<FakeTextInputEx::Registration> FakeTextInputEx::Registrations() const {
  std::vector<Registration> Out;
  for (const auto &Entry : Live_) {
    Out.push_back(*Entry);
  }
  return Out;
}

EFI_STATUS EFIAPI FakeTextInputEx::RegisterKeyNotify(EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *This,
                                                     EFI_KEY_DATA *KeyData,
                                                     EFI_KEY_NOTIFY_FUNCTION Function,
                                                     VOID **Handle) {
  FakeTextInputEx &Self = Owner(This);
  ++Self.RegisterCalls_;
  if (KeyData == nullptr || Function == nullptr || Handle == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  if (Self.RegisterFailure_ != EFI_SUCCESS) {
    if (Self.RegisterSkip_ > 0) {
      --Self.RegisterSkip_;
    } else {
      const EFI_STATUS Status = Self.RegisterFailure_;
      Self.RegisterFailure_ = EFI_SUCCESS;
      return Status;
    }
  }
  // The console hands back the existing handle for the same key data and
  // function instead of adding a second registration.
  for (const auto &Entry : Self.Live_) {
    if (Entry->Notify == Function &&
        std::memcmp(&Entry->KeyData.Key, &KeyData->Key, sizeof KeyData->Key) == 0 &&
        Entry->KeyData.KeyState.KeyShiftState == KeyData->KeyState.KeyShiftState &&
        Entry->KeyData.KeyState.KeyToggleState == KeyData->KeyState.KeyToggleState) {
      *Handle = Entry.get();
      return EFI_SUCCESS;
    }
  }
  Self.Live_.push_back(std::make_unique<Registration>(Registration{*KeyData, Function}));
  *Handle = Self.Live_.back().get();
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeTextInputEx::UnregisterKeyNotify(EFI_SIMPLE_TEXT_INPUT_EX_PROTOCOL *This,
                                                       VOID *Handle) {
  FakeTextInputEx &Self = Owner(This);
  ++Self.UnregisterCalls_;
  if (Self.UnregisterFailure != EFI_SUCCESS) {
    return Self.UnregisterFailure;
  }
  const auto Found = std::find_if(Self.Live_.begin(), Self.Live_.end(),
                                  [&](const auto &Entry) { return Entry.get() == Handle; });
  if (Found == Self.Live_.end()) {
    ADD_FAILURE() << "UnregisterKeyNotify of a handle that is not registered";
    return EFI_INVALID_PARAMETER;
  }
  Self.Live_.erase(Found);
  return EFI_SUCCESS;
}

// --- FakeProtocolInstaller --------------------------------------------------

FakeProtocolInstaller::FakeProtocolInstaller(FakeFirmware &Fw) : Fw_(Fw) {
  CurrentInstaller = this;
  Fw_.BootServices()->InstallProtocolInterface = &Install;
  Fw_.BootServices()->UninstallProtocolInterface = &Uninstall;
}

FakeProtocolInstaller::~FakeProtocolInstaller() {
  for (const Installed &Entry : Installed_) {
    Fw_.UninstallProtocol(Entry.Guid, Entry.Handle);
  }
  CurrentInstaller = nullptr;
}

EFI_STATUS EFIAPI FakeProtocolInstaller::Install(EFI_HANDLE *Handle, EFI_GUID *Protocol,
                                                 EFI_INTERFACE_TYPE Type, VOID *Interface) {
  FakeProtocolInstaller &Self = *CurrentInstaller;
  if (Handle == nullptr || Protocol == nullptr || Type != EFI_NATIVE_INTERFACE) {
    return EFI_INVALID_PARAMETER;
  }
  if (Self.InstallFailure != EFI_SUCCESS) {
    return Self.InstallFailure;
  }
  for (const Installed &Entry : Self.Installed_) {
    if (Entry.Handle == *Handle && SameGuid(Entry.Guid, *Protocol)) {
      return EFI_INVALID_PARAMETER;
    }
  }
  *Handle = Self.Fw_.InstallProtocol(*Protocol, Interface, *Handle);
  Self.Installed_.push_back({*Handle, *Protocol, Interface});
  return EFI_SUCCESS;
}

EFI_STATUS EFIAPI FakeProtocolInstaller::Uninstall(EFI_HANDLE Handle, EFI_GUID *Protocol,
                                                   VOID *Interface) {
  FakeProtocolInstaller &Self = *CurrentInstaller;
  if (Protocol == nullptr) {
    return EFI_INVALID_PARAMETER;
  }
  const auto Found =
      std::find_if(Self.Installed_.begin(), Self.Installed_.end(), [&](const Installed &Entry) {
        return Entry.Handle == Handle && SameGuid(Entry.Guid, *Protocol) &&
               Entry.Interface == Interface;
      });
  if (Found == Self.Installed_.end()) {
    return EFI_NOT_FOUND;
  }
  if (Self.UninstallFailure != EFI_SUCCESS) {
    return Self.UninstallFailure;
  }
  Self.Fw_.UninstallProtocol(*Protocol, Handle);
  Self.Installed_.erase(Found);
  return EFI_SUCCESS;
}

// --- SignalQueue ------------------------------------------------------------

unsigned SignalQueue::RunPending(FakeFirmware &Fw) {
  unsigned Ran = 0;
  for (const FakeEvent *Event : Fw.Events()) {
    if (!Event->Open || (Event->Type & EVT_NOTIFY_SIGNAL) == 0) {
      continue;
    }
    // Signals the base fake turned into a notify call at once need nothing.
    const unsigned Dropped = Event->Signals - Event->Notifications;
    unsigned &Handled = Handled_[Event];
    if (Dropped <= Handled) {
      continue;
    }
    Handled = Dropped;
    const EFI_TPL Old = BS->RaiseTPL(Event->NotifyTpl);
    Event->Notify(const_cast<FakeEvent *>(Event), Event->Context);
    BS->RestoreTPL(Old);
    ++Ran;
  }
  return Ran;
}
