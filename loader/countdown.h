// Waiting for the user: a bounded wait that ends early on a key press.
#pragma once

#include "common/guards.h"

// Reads and drops every key waiting in the console input.
void DrainKeys();

// Waits up to Seconds; true if a key was pressed meanwhile (that key and any
// following it are read and dropped). Never waits longer, whatever fails.
bool KeyPressedWithin(UINT32 Seconds);
