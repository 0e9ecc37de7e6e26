// Raises the TPL for one scope and restores the previous level on exit.
#pragma once

#include "common/uefi.h"

class TplGuard {
public:
  explicit TplGuard(EFI_TPL Tpl) : Previous_(BS->RaiseTPL(Tpl)) {}
  TplGuard(const TplGuard &) = delete;
  TplGuard &operator=(const TplGuard &) = delete;
  ~TplGuard() { BS->RestoreTPL(Previous_); }

private:
  EFI_TPL Previous_;
};
