// The task priority level: which one the caller runs at, and raising it for
// one scope.
#pragma once

#include "common/uefi.h"

// Raising to TPL_HIGH_LEVEL is allowed from any level and hands back the
// level the caller was at.
inline EFI_TPL CurrentTpl() {
  const EFI_TPL Tpl = BS->RaiseTPL(TPL_HIGH_LEVEL);
  BS->RestoreTPL(Tpl);
  return Tpl;
}

// Raises the TPL for one scope and restores the previous level on exit.
class TplGuard {
public:
  explicit TplGuard(EFI_TPL Tpl) : Previous_(BS->RaiseTPL(Tpl)) {}
  TplGuard(const TplGuard &) = delete;
  TplGuard &operator=(const TplGuard &) = delete;
  ~TplGuard() { BS->RestoreTPL(Previous_); }

private:
  EFI_TPL Previous_;
};
