#pragma once
// Steps that installation, hardening and removal share.
#include <string>
#include "app/win.h"

// A junction or symbolic link, judged by the attributes of the entry itself.
bool IsReparsePoint(DWORD attributes);

// Removes the entry at the path itself, a link or a plain file, never what a link points to.
void RemoveLinkItself(const std::wstring& path, DWORD attributes);

// Deletes service.conf, core.stderr.log, service.log and service.log.1 of the data directory,
// in that order, ignoring failures.
void DeleteDataFiles();

// Sleeps 500 ms and queries, at most maxQueries times. True when the service reached
// SERVICE_STOPPED or a query failed; false when the last query still saw it in another state.
bool WaitForServiceStop(SC_HANDLE service, int maxQueries);
