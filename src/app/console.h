#pragma once

// Whole lines for the person at the console: progress on standard output, errors, warnings and
// the usage text on standard error. "%ls" arguments come out whole, in any script.
void PrintOut(const char* format, ...);
void PrintErr(const char* format, ...);
