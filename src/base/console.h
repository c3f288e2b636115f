#pragma once
#include "base/text.h"

// Whole lines for the person at the console: progress on standard output, errors, warnings and
// the usage text on standard error. "%ls" arguments come out whole, in any script.
void PrintOut(VELMORA_FORMAT_STRING const char* format, ...) VELMORA_PRINTF(1, 2);
void PrintErr(VELMORA_FORMAT_STRING const char* format, ...) VELMORA_PRINTF(1, 2);

// The plain reason behind a refusal of the commands that need an administrator: a line for the
// console when `error` is ERROR_ACCESS_DENIED, else empty.
const char* ElevationHint(unsigned long error);
