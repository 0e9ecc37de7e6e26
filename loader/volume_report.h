// Tells the user where pictures will go: the first file-system volume the
// firmware lists, the one the capture drivers pick. On a machine with an
// internal disk that may not be the stick.
#pragma once

#include "common/guards.h"

void ReportPictureVolume();
