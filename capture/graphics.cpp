#include "capture/graphics.h"

#include "capture/capture.h"
#include "common/status.h"

EFI_STATUS LocateGraphicsOutput() {
  EFI_STATUS Status = BS->LocateProtocol(&GraphicsOutputProtocol, nullptr,
                                         reinterpret_cast<VOID **>(&GraphicsOutput));
  if (EFI_ERROR(Status)) {
    return Fail(EFI_UNSUPPORTED, u"Not Find  Draw Protocol\n");
  }
  return EFI_SUCCESS;
}
