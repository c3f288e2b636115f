#pragma once
// Files of the data directory, written by a LocalSystem service in a folder that users may have
// made or planted entries in before it was secured.
#include <string>
#include "base/handles.h"

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// The path the system resolves the handle to, links followed; empty when unknown.
std::wstring ResolvedPathOf(HANDLE entry);

// Whether the path leads to the entry behind the handle without passing a link at its last
// step: the entry resolves to its folder's resolved path and its own name.
bool LeadsToItself(HANDLE entry, const std::wstring& path);

// Opens (creating when missing) the file at `path` for writing, never through a link or a second
// name: a symbolic link, a junction or a file with another name found there is replaced by a new
// empty file (the entry itself goes, its target stays untouched). With `truncate` the file starts
// empty. An empty handle, with the last error set, when no plain file can be had there.
UniqueHandle OpenDataFile(const std::wstring& path, DWORD access, DWORD share, bool truncate);

// Writes all bytes at the end of the file; false on the first failure.
bool AppendToFile(HANDLE file, const char* bytes, size_t count);

// Renames the entry behind the handle (opened with DELETE) to `target`; with `replaceExisting`
// whatever is there is replaced (a link there is replaced itself). A rename by name could move
// what a link leads to instead.
bool MoveOpenFile(HANDLE file, const std::wstring& target, bool replaceExisting);

// Moves the contents of an open file into the file at `rotatedPath` (replaced, never written
// through a link) and empties it, all through handles: for a rotation that a reader's hold on
// either name must not stop. What cannot be kept at `rotatedPath` is lost; the file is emptied
// either way.
void MoveContentAside(HANDLE file, const std::wstring& rotatedPath);
