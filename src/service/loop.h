#pragma once
#include "app/win.h"

// The body of the service in both run and console mode. Returns 0, 5, 6, 1231 or 10048.
DWORD RunServiceLoop();
