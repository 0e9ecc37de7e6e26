// Running work at TPL_CALLBACK when the caller is above it: file-system calls
// are only allowed up to TPL_CALLBACK (UEFI 2.10, section 7.1, TPL
// restrictions), while a firmware's hot-key protocol may call its handlers
// from inside a keyboard notification at TPL_NOTIFY.
#pragma once

#include "common/tpl.h"

// Queues Work to run once from an event notify at TPL_CALLBACK, which the
// firmware dispatches as soon as the TPL drops below it. The event is the
// call's own and closes itself after Work. Call at TPL_NOTIFY or below
// (where CreateEvent is allowed); above it this returns EFI_UNSUPPORTED.
EFI_STATUS RunAtCallbackLevel(VOID (*Work)());
