#pragma once
// In-process tests of the data files: ProgramData points at a fresh folder of the test's own and
// the service has a name of its own; both are put back afterwards.
#include <gtest/gtest.h>
#include <algorithm>
#include <string>
#include <vector>
#include "app/state.h"
#include "support.h"

inline std::wstring ReadProgramDataVariable(bool& present) {
    DWORD size = GetEnvironmentVariableW(L"ProgramData", nullptr, 0);
    present = size != 0;
    std::vector<wchar_t> value(size + 1, L'\0');
    GetEnvironmentVariableW(L"ProgramData", value.data(), size + 1);
    return value.data();
}

// Names in a folder, "." and ".." left out, sorted.
inline std::vector<std::wstring> EntriesOf(const std::wstring& dir) {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
    if (search == INVALID_HANDLE_VALUE) {
        return names;
    }
    do {
        std::wstring name = found.cFileName;
        if (name != L"." && name != L"..") {
            names.push_back(name);
        }
    } while (FindNextFileW(search, &found));
    FindClose(search);
    std::sort(names.begin(), names.end());
    return names;
}

inline void RemoveTree(const std::wstring& path) {
    for (const std::wstring& name : EntriesOf(path)) {
        std::wstring full = path + L"\\" + name;
        if (!DeleteFileW(full.c_str())) {
            RemoveTree(full);
        }
    }
    RemoveDirectoryW(path.c_str());
}

// A fresh folder under the temporary directory, e.g. C:\users\...\Temp\velmora-root-<pid>-<n>.
inline std::wstring MakeTestRoot() {
    wchar_t temp[MAX_PATH] = {};
    GetTempPathW(MAX_PATH, temp);
    std::wstring root = std::wstring(temp) + UniqueServiceName(L"velmora-root");
    CreateDirectoryW(root.c_str(), nullptr);
    return root;
}

class DataRootTest : public ::testing::Test {
protected:
    void SetUp() override {
        savedProgramData_ = ReadProgramDataVariable(hadProgramData_);
        savedName_ = ServiceState.serviceName;
        root = MakeTestRoot();
        SetEnvironmentVariableW(L"ProgramData", root.c_str());
        ServiceState.serviceName = UniqueServiceName(L"unit");
        dataDir = root + L"\\" + ServiceState.serviceName;
    }

    void TearDown() override {
        ServiceState.serviceName = savedName_;
        SetEnvironmentVariableW(L"ProgramData",
                                hadProgramData_ ? savedProgramData_.c_str() : nullptr);
        RemoveTree(root);
    }

    void CreateDataDirectory() { ASSERT_TRUE(CreateDirectoryW(dataDir.c_str(), nullptr)); }

    std::wstring root;
    std::wstring dataDir;

private:
    std::wstring savedProgramData_;
    bool hadProgramData_ = false;
    std::wstring savedName_;
};
