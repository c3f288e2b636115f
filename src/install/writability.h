#pragma once
// Whether an ACL lets anyone untrusted plant, swap or re-permission files, and the first place on
// an executable's path that does. The decisions are separate from the file system so that they
// can be checked on ACLs built in memory.
#include <string>
#include <vector>
#include "base/win.h"

// Access bits of an allowed entry that let its trustee plant or swap files in a directory: add
// file, add subdirectory, write attributes, delete, write DAC, write owner, generic all, generic
// write. FILE_WRITE_EA and FILE_DELETE_CHILD are deliberately not in it.
constexpr ACCESS_MASK kWriteAccessMask = 0x500D0106;

// Access bits that let a trustee move, delete or re-permission a folder above an executable, and
// so swap the whole tree below it. Rights that only add entries are not among them: a volume
// root grants those to every signed-in user.
constexpr ACCESS_MASK kReplaceAccessMask =
    DELETE | FILE_DELETE_CHILD | WRITE_DAC | WRITE_OWNER | GENERIC_ALL;

// An owner may always change the DACL of what it owns, so one that is neither a trusted owner nor
// the user running the installation (an administrator, who may change anything anyway) fails the
// place whatever its DACL says. No owner fails too.
bool OwnerMayRepermission(PSID owner, PSID installer);

// True when an access-allowed entry with a write bit names an untrusted SID. Entry flags and
// deny entries are not looked at. An entry of a type that only denies, audits or labels grants
// nothing; any other whose SID is not read here (object, callback, compound, a type yet unknown)
// counts by its mask alone. A null DACL grants everyone everything, so it is writable too.
bool DaclGrantsUntrustedWrite(PACL dacl);

// The rule for the folders above an executable's directory: an access-allowed entry that is not
// inherit-only and grants an untrusted SID any replace bit. DELETE does not count on a volume
// root, which cannot be renamed. A null DACL fails.
bool DaclLetsUntrustedReplace(PACL dacl, bool volumeRoot);

// The folders above a directory, nearest first, ending with its volume root ("C:\",
// "\\server\share\"). Empty when the path has no root that can be recognised.
std::vector<std::wstring> AncestorsOf(const std::wstring& directory);

// The text before the last backslash, or the whole path when it has none ('/' does not count).
std::wstring DirectoryOfPath(const std::wstring& path);

// The first place that would let an untrusted principal swap the executable (a full path):
// its directory, the file itself, or a folder above; a link on the path, by its own owner and
// DACL; then the same places on the path the system resolves the file and its directory to, when
// links lead elsewhere. Each owner and DACL
// is read afresh and one that cannot be read fails, as does a path that cannot be resolved.
// Empty when every place passes.
std::wstring FindUntrustedWritablePlace(const std::wstring& executable);

// The path the system resolves the entry to, links and junctions followed and short names made
// long, in the plain form of the paths given (C:\... or \\server\share\..., no "\\?\"); empty when
// it cannot be opened or resolved.
std::wstring WhereItLeads(const std::wstring& path);

// The volume of a resolved program path when installation cannot judge what lies there: a share
// (its ACLs are decided by the remote machine's administrators), or a drive that is not a fixed
// local one (a mapped network drive; removable media, which may carry no ACLs at all). Empty
// for a fixed local drive.
std::wstring UnjudgedVolume(const std::wstring& resolved);
