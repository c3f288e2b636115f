#pragma once
#include "app/win.h"

// The body of the service in both run and console mode. Returns 0, 5, 6, 1231 or 10048.
DWORD RunServiceLoop();

// Whether a failed post of the next accept is worth retrying: the listener itself is sound.
bool AcceptErrorIsTransient(DWORD error);
