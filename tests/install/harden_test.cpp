#include <gtest/gtest.h>
#include "app/win.h"

#include <aclapi.h>
#include "app/state.h"
#include "app/text.h"
#include "install/install.h"
#include "support.h"

namespace {

constexpr const char* kNotice = "data dir was pre-created by a non-admin user, recreating: ";
const wchar_t* const kDataFiles[] = {L"service.conf", L"core.stderr.log", L"service.log",
                                     L"service.log.1"};

std::wstring FullPath(const std::wstring& path) {
    wchar_t full[MAX_PATH] = {};
    GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
    return full;
}

bool HasTrustedOwner(const std::wstring& path) {
    PSID owner = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    if (GetNamedSecurityInfoW(path.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION, &owner,
                              nullptr, nullptr, nullptr, &descriptor) != ERROR_SUCCESS) {
        return false;
    }
    UniqueLocal freeDescriptor(descriptor);
    return owner != nullptr && IsTrustedPrincipal(owner);
}

// Runs HardenDataDirectory for a service name of its own, as the installer would.
class Hardening : public testing::Test {
protected:
    void SetUp() override {
        savedName_ = ServiceState.serviceName;
        ServiceState.serviceName = UniqueServiceName(L"harden");
        directory_ = DataDirectoryOf(ServiceState.serviceName);
    }
    void TearDown() override {
        for (const wchar_t* file : kDataFiles) {
            DeleteFileW((directory_ + L"\\" + file).c_str());
        }
        DeleteFileW((directory_ + L"\\foreign.txt").c_str());
        RemoveDirectoryW(directory_.c_str());
        ServiceState.serviceName = savedName_;
    }
    void CreateDataFiles() {
        ASSERT_TRUE(CreateDirectoryW(directory_.c_str(), nullptr));
        for (const wchar_t* file : kDataFiles) {
            ASSERT_TRUE(WriteFileBytes(directory_ + L"\\" + file, "data\n"));
        }
    }
    bool Harden(std::string& stderrText) {
        testing::internal::CaptureStderr();
        bool hardened = HardenDataDirectory();
        stderrText = testing::internal::GetCapturedStderr();
        return hardened;
    }

    std::wstring savedName_;
    std::wstring directory_;
};

TEST_F(Hardening, MissingDirectoryIsCreatedWithoutNotice) {
    ASSERT_FALSE(FileExists(directory_));
    std::string err;
    EXPECT_TRUE(Harden(err));
    EXPECT_TRUE(FileExists(directory_));
    EXPECT_EQ(err.find(kNotice), std::string::npos) << err;
}

TEST_F(Hardening, DirectoryOfUntrustedOwnerLosesItsFilesAndIsRecreated) {
    CreateDataFiles();
    if (HasTrustedOwner(directory_)) {
        GTEST_SKIP() << "this process creates directories with a trusted owner (elevated on "
                        "Windows), so no ordinary user's directory can be set up here";
    }
    std::string err;
    EXPECT_TRUE(Harden(err));
    EXPECT_NE(err.find(kNotice + ToUtf8(directory_)), std::string::npos) << err;
    EXPECT_TRUE(FileExists(directory_));
    for (const wchar_t* file : kDataFiles) {
        EXPECT_FALSE(FileExists(directory_ + L"\\" + file)) << ToUtf8(file);
    }
}

TEST_F(Hardening, DirectoryOfUntrustedOwnerKeepsForeignEntries) {
    CreateDataFiles();
    ASSERT_TRUE(WriteFileBytes(directory_ + L"\\foreign.txt", "not ours"));
    if (HasTrustedOwner(directory_)) {
        GTEST_SKIP() << "this process creates directories with a trusted owner (elevated on "
                        "Windows), so no ordinary user's directory can be set up here";
    }
    std::string err;
    EXPECT_TRUE(Harden(err));
    EXPECT_NE(err.find(kNotice), std::string::npos) << err;
    EXPECT_EQ(ReadFileBytes(directory_ + L"\\foreign.txt"), "not ours");
    for (const wchar_t* file : kDataFiles) {
        EXPECT_FALSE(FileExists(directory_ + L"\\" + file)) << ToUtf8(file);
    }
}

TEST_F(Hardening, DirectoryOfTrustedOwnerKeepsItsFiles) {
    CreateDataFiles();
    if (!HasTrustedOwner(directory_)) {
        GTEST_SKIP() << "Wine stores no file owner: every directory reads as owned by the Wine "
                        "user S-1-5-21-0-0-0-1000, so a directory of a trusted owner cannot be "
                        "set up; the owner decision is covered by the IsTrustedPrincipal cases";
    }
    std::string err;
    EXPECT_TRUE(Harden(err));
    EXPECT_EQ(err.find(kNotice), std::string::npos) << err;
    for (const wchar_t* file : kDataFiles) {
        EXPECT_EQ(ReadFileBytes(directory_ + L"\\" + file), "data\n") << ToUtf8(file);
    }
}

TEST_F(Hardening, AppliedSecurityReadsBackAsHardened) {
    if (RunningUnderWine()) {
        GTEST_SKIP() << "Wine stores no file security: SetSecurityInfo succeeds but the owner "
                        "and DACL read back as synthesised from the Linux mode; the DACL itself "
                        "is checked entry by entry in HardenedDacl";
    }
    std::string err;
    ASSERT_TRUE(Harden(err));
    PSID owner = nullptr;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    ASSERT_EQ(GetNamedSecurityInfoW(directory_.c_str(), SE_FILE_OBJECT,
                                    OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &owner,
                                    nullptr, &dacl, nullptr, &descriptor),
              static_cast<DWORD>(ERROR_SUCCESS));
    UniqueLocal freeDescriptor(descriptor);
    BYTE administrators[SECURITY_MAX_SID_SIZE];
    DWORD size = sizeof administrators;
    ASSERT_TRUE(CreateWellKnownSid(WinBuiltinAdministratorsSid, nullptr, administrators, &size));
    EXPECT_TRUE(EqualSid(owner, administrators));
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    ASSERT_TRUE(GetSecurityDescriptorControl(descriptor, &control, &revision));
    EXPECT_NE(control & SE_DACL_PROTECTED, 0);
    ASSERT_NE(dacl, nullptr);
    EXPECT_EQ(dacl->AceCount, 3);
}

// A link at the data directory's path, prepared from the Linux side by the fixture script,
// pointing at a directory that holds files named like ours.
class LinkedDataDirectory : public testing::Test {
protected:
    void SetUp() override {
        protected_ = FullPath(TestDirectory() + L"\\..\\protected");
        programData_ = protected_ + L"\\programdata";
        target_ = protected_ + L"\\link-target-harden";
        DWORD attributes = GetFileAttributesW((programData_ + L"\\linked-harden").c_str());
        if (attributes == INVALID_FILE_ATTRIBUTES ||
            (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) {
            GTEST_SKIP() << "needs the link that tests/fixtures/install_protected.sh prepares";
        }
        wchar_t saved[MAX_PATH] = {};
        hadProgramData_ = GetEnvironmentVariableW(L"ProgramData", saved, MAX_PATH) != 0;
        savedProgramData_ = saved;
        SetEnvironmentVariableW(L"ProgramData", programData_.c_str());
        savedName_ = ServiceState.serviceName;
        ServiceState.serviceName = L"linked-harden";
        active_ = true;
    }
    void TearDown() override {
        if (active_) {
            SetEnvironmentVariableW(L"ProgramData",
                                    hadProgramData_ ? savedProgramData_.c_str() : nullptr);
            ServiceState.serviceName = savedName_;
        }
    }

    std::wstring protected_;
    std::wstring programData_;
    std::wstring target_;
    std::wstring savedProgramData_;
    bool hadProgramData_ = false;
    std::wstring savedName_;
    bool active_ = false;
};

TEST_F(LinkedDataDirectory, HardeningDeletesNothingThroughTheLink) {
    testing::internal::CaptureStderr();
    bool hardened = HardenDataDirectory();
    std::string err = testing::internal::GetCapturedStderr();

    EXPECT_NE(err.find(kNotice), std::string::npos) << err;
    for (const wchar_t* file : kDataFiles) {
        EXPECT_EQ(ReadFileBytes(target_ + L"\\" + file), "keep\n") << ToUtf8(file);
    }
    // Where the link could not be removed (Wine), the result says so.
    DWORD attributes = GetFileAttributesW((programData_ + L"\\linked-harden").c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
        EXPECT_FALSE(hardened);
    }
}

}  // namespace
