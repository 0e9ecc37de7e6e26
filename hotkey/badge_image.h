// The badge the hotkey driver shows after a capture: a one-image 64 x 64
// cursor file (24-bit colour plane + AND mask), made by
// tools/badge/make_badge.py from tools/badge/badge.txt.
#pragma once
#include "common/uefi.h"

constexpr UINTN BadgeImageSize = 12862;
extern const UINT8 BadgeImage[BadgeImageSize];
