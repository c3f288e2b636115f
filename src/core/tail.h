#pragma once
// The standard-error tail, as plain logic over bytes and standard C streams.
#include <cstddef>
#include <cstdio>
#include <string>

// Only this many bytes at the end of core.stderr.log are examined.
constexpr size_t kStderrTailBytes = 4096;

// The last non-blank line of the last kStderrTailBytes bytes: lines end at LF, trailing CR and
// spaces are removed, tabs and leading white space stay, the bytes are kept as they are.
std::string LastNonBlankLine(const std::string& bytes);

// LastNonBlankLine of the last kStderrTailBytes bytes of an open file; empty when it is empty or
// cannot be read.
std::string ReadTail(std::FILE* file);
