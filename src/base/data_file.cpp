#include "base/data_file.h"

#include <cwchar>
#include <vector>

namespace {

// The path a data file must resolve to: its folder, a real directory reached without a link at
// its last step, resolved, plus the file's name. Through a linked folder even a file with one
// name would lie elsewhere, and replacing it would harm that place. Empty when there is none.
std::wstring ExpectedPathOf(const std::wstring& path) {
    size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) {
        return std::wstring();
    }
    std::wstring folderPath = path.substr(0, slash);
    UniqueHandle folder(
        CreateFileW(folderPath.c_str(), FILE_READ_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    FILE_BASIC_INFO info = {};
    if (!folder || !GetFileInformationByHandleEx(folder.get(), FileBasicInfo, &info, sizeof info) ||
        (info.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 ||
        !LeadsToItself(folder.get(), folderPath)) {
        return std::wstring();
    }
    return ResolvedPathOf(folder.get()) + path.substr(slash);
}

// The file behind the handle is a plain file with one name, found where it is expected.
bool IsPlainFileAt(HANDLE file, const std::wstring& expected) {
    BY_HANDLE_FILE_INFORMATION facts = {};
    return GetFileInformationByHandle(file, &facts) && facts.nNumberOfLinks == 1 &&
           (facts.dwFileAttributes & (FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DIRECTORY)) ==
               0 &&
           _wcsicmp(ResolvedPathOf(file).c_str(), expected.c_str()) == 0;
}

// A new file is made under a name nobody can have planted, then moved over the entry: a move
// replaces a link itself, where a delete by name would delete its target.
bool ReplaceWithNewFile(const std::wstring& path) {
    unsigned int random = 0;
    rand_s(&random);
    std::wstring temporary = path + L"." + std::to_wstring(random) + L".new";
    UniqueHandle fresh(CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    if (!fresh) {
        return false;
    }
    fresh.reset();
    if (MoveFileExW(temporary.c_str(), path.c_str(), MOVEFILE_REPLACE_EXISTING)) {
        return true;
    }
    DWORD error = GetLastError();
    DeleteFileW(temporary.c_str());
    SetLastError(error);
    return false;
}

}  // namespace

bool LeadsToItself(HANDLE entry, const std::wstring& path) {
    size_t slash = path.rfind(L'\\');
    if (slash == std::wstring::npos) {
        return false;
    }
    UniqueHandle folder(CreateFileW(path.substr(0, slash).c_str(), FILE_READ_ATTRIBUTES, kShareAll,
                                    nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr));
    std::wstring folderPath = folder ? ResolvedPathOf(folder.get()) : std::wstring();
    return !folderPath.empty() &&
           _wcsicmp(ResolvedPathOf(entry).c_str(), (folderPath + path.substr(slash)).c_str()) == 0;
}

std::wstring ResolvedPathOf(HANDLE entry) {
    std::vector<wchar_t> path(32768, L'\0');
    DWORD length = GetFinalPathNameByHandleW(entry, path.data(), static_cast<DWORD>(path.size()),
                                             FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    return length == 0 || length >= path.size() ? std::wstring()
                                                : std::wstring(path.data(), length);
}

UniqueHandle OpenDataFile(const std::wstring& path, DWORD access, DWORD share, bool truncate) {
    constexpr DWORD kFlags = FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT;
    std::wstring expected = ExpectedPathOf(path);
    if (expected.empty()) {
        SetLastError(ERROR_CANT_ACCESS_FILE);
        return UniqueHandle();
    }
    DWORD error = ERROR_FILE_NOT_FOUND;
    for (int attempt = 0; attempt < 2; ++attempt) {
        // Opened before it is judged and created only where nothing stands: creating or
        // truncating by name would act on a link's target first.
        UniqueHandle file(
            CreateFileW(path.c_str(), access, share, nullptr, OPEN_EXISTING, kFlags, nullptr));
        if (!file && GetLastError() == ERROR_FILE_NOT_FOUND) {
            file.reset(
                CreateFileW(path.c_str(), access, share, nullptr, CREATE_NEW, kFlags, nullptr));
        }
        if (file && IsPlainFileAt(file.get(), expected)) {
            if (truncate && !SetEndOfFile(file.get())) {
                return UniqueHandle();
            }
            return file;
        }
        error = file ? static_cast<DWORD>(ERROR_CANT_ACCESS_FILE) : GetLastError();
        // A sharing refusal is a reader's hold on a real file, which replacing would not cure.
        // Our own hold on what the link leads to would refuse the replacement.
        bool planted = file || error == ERROR_FILE_EXISTS || error == ERROR_ALREADY_EXISTS;
        file.reset();
        if (!planted || !ReplaceWithNewFile(path)) {
            break;
        }
    }
    SetLastError(error);
    return UniqueHandle();
}

bool AppendToFile(HANDLE file, const char* bytes, size_t count) {
    LARGE_INTEGER end = {};
    if (!SetFilePointerEx(file, end, nullptr, FILE_END)) {
        return false;
    }
    while (count > 0) {
        DWORD written = 0;
        if (!WriteFile(file, bytes, static_cast<DWORD>(count), &written, nullptr) || written == 0) {
            return false;
        }
        bytes += written;
        count -= written;
    }
    return true;
}

bool MoveOpenFile(HANDLE file, const std::wstring& target, bool replaceExisting) {
    std::vector<BYTE> buffer(sizeof(FILE_RENAME_INFO) + (target.size() + 1) * sizeof(wchar_t));
    auto* rename = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
    rename->ReplaceIfExists = replaceExisting ? TRUE : FALSE;
    rename->RootDirectory = nullptr;
    rename->FileNameLength = static_cast<DWORD>(target.size() * sizeof(wchar_t));
    target.copy(rename->FileName, target.size());
    rename->FileName[target.size()] = L'\0';
    return SetFileInformationByHandle(file, FileRenameInfo, rename,
                                      static_cast<DWORD>(buffer.size())) != FALSE;
}

void MoveContentAside(HANDLE file, const std::wstring& rotatedPath) {
    UniqueHandle rotated =
        OpenDataFile(rotatedPath, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_DELETE, true);
    LARGE_INTEGER start = {};
    if (rotated && SetFilePointerEx(file, start, nullptr, FILE_BEGIN)) {
        std::vector<char> buffer(64 * 1024);
        DWORD got = 0;
        while (ReadFile(file, buffer.data(), static_cast<DWORD>(buffer.size()), &got, nullptr) &&
               got > 0 && AppendToFile(rotated.get(), buffer.data(), got)) {
        }
    }
    SetFilePointerEx(file, start, nullptr, FILE_BEGIN);
    SetEndOfFile(file);
}
