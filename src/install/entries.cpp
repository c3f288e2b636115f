#include "app/paths.h"
#include "install/steps.h"

bool IsReparsePoint(DWORD attributes) {
    return attributes != INVALID_FILE_ATTRIBUTES &&
           (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

void RemoveLinkItself(const std::wstring& path, DWORD attributes) {
    // Both remove a junction or symbolic link, not its target, and never recurse into it.
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
        RemoveDirectoryW(path.c_str());
    } else {
        DeleteFileW(path.c_str());
    }
}

void DeleteDataFiles() {
    DeleteFileW(GetEndpointFilePath().c_str());
    DeleteFileW(GetCoreStderrLogPath().c_str());
    DeleteFileW(GetServiceLogPath().c_str());
    DeleteFileW(GetRotatedServiceLogPath().c_str());
}
