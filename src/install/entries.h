#pragma once
// Removing or moving a directory entry itself, never what a link points to, for hardening and
// removal of the data directory.
#include <string>
#include "app/handles.h"
#include "app/win.h"

// A junction or symbolic link, judged by the attributes of the entry itself.
bool IsReparsePoint(DWORD attributes);
bool IsRealDirectory(DWORD attributes);

// What hardening does with an entry it finds: keep it, remove the link itself, or clear it away
// (removed when it is a file or an empty folder, else moved aside with its contents intact).
enum class EntryAction { kKeep, kRemoveLink, kClear };
EntryAction DecideEntryAction(DWORD attributes, bool trustedOwner);

// Opens the entry itself (a link is not followed) with the access given. The handle shares
// reading and writing but not deletion, so the entry cannot be renamed while it is held.
UniqueHandle OpenEntryItself(const std::wstring& path, DWORD access);

// True when the entry behind the handle is a directory and no link.
bool HandleIsRealDirectory(HANDLE entry);

// True when an untrusted principal owns the entry, or its owner cannot be read.
bool HasUntrustedOwner(HANDLE entry);

// Removes the link at the path itself: ERROR_SUCCESS or the reason it could not.
DWORD RemoveLinkItself(const std::wstring& path, DWORD attributes);

// Deletes the entry behind the handle (opened with DELETE) when it is an empty folder, or a file
// and deleteFiles is set; anything else is moved to a free name beside it,
// "<path>.untrusted-<n>", which movedTo then names.
DWORD ClearEntry(HANDLE entry, const std::wstring& path, bool deleteFiles, std::wstring& movedTo);

// Deletes the service's files from the data directory, ignoring failures: each opened by name,
// then deleted through its handle only when it is no directory and its final path lies in the
// held directory. The caller holds the directory, checked to be real, without delete sharing.
void DeleteDataFiles(HANDLE directory);
