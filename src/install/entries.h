#pragma once
// Removing or moving a directory entry itself, never what a link points to, for hardening and
// removal of the data directory.
#include <string>
#include "base/handles.h"
#include "base/win.h"

// A junction or symbolic link, judged by the attributes of the entry itself.
bool IsReparsePoint(DWORD attributes);
bool IsRealDirectory(DWORD attributes);

// What hardening does with an entry it finds: keep it, remove the link itself, or clear it away
// (removed when it is a file or an empty folder, else moved aside with its contents intact). A
// file with more than one name counts as a link: written through, it would change the others.
enum class EntryAction { kKeep, kRemoveLink, kClear };
EntryAction DecideEntryAction(DWORD attributes, DWORD links, bool trustedOwner);

// The fewest rights that removing or moving an entry needs, and reading what it is. An
// administrator gets both through the folder's rights, whatever the entry's own DACL says.
constexpr DWORD kRemovalAccess = DELETE | FILE_READ_ATTRIBUTES;

// Opens the entry itself (a link is not followed) with the access given. By default the handle
// shares reading and writing but not deletion, so the entry cannot be renamed while it is held.
UniqueHandle OpenEntryItself(const std::wstring& path, DWORD access,
                             DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE);

// True when the entry behind the handle is a directory and no link.
bool HandleIsRealDirectory(HANDLE entry);

// True unless the entry's owner passes IsTrustedOwner. The entry itself is opened anew, asking
// only to read its owner and sharing deletion with a handle the caller holds; an entry that
// cannot be opened so, or whose owner cannot be read, fails.
bool HasUntrustedOwner(const std::wstring& path);

// Removes the link at the path itself: ERROR_SUCCESS or the reason it could not.
DWORD RemoveLinkItself(const std::wstring& path, DWORD attributes);

// Deletes the entry behind the handle (opened with DELETE) when it is an empty folder, or a file
// and deleteFiles is set. What is not deleted is moved beside it, to "<path>.untrusted-<random>"
// (a name no user can guess and take first), and the console says where. ERROR_SUCCESS, or the
// error of the move when neither worked.
DWORD ClearEntry(HANDLE entry, const std::wstring& path, bool deleteFiles);

// In a directory that is secured already, removes every link and every entry whose owner is not
// trusted (links as links, folders as ClearEntry does). ERROR_SUCCESS, or the first error that
// left such an entry in place: an entry that must go and stays would be written through later.
DWORD ClearPlantedEntries(const std::wstring& directory);

// Deletes the service's files from the data directory, ignoring failures: each opened by name,
// then deleted through its handle only when it is no directory and its final path lies in the
// held directory. The caller holds the directory, checked to be real, without delete sharing.
void DeleteDataFiles(HANDLE directory);
