#include <gtest/gtest.h>
#include "app/text.h"
#include "install/security.h"
#include "sids.h"

namespace {

TEST(WritabilityWalk, ProgramFilesLikeDirectoryPasses) {
    AclBuilder acl;
    acl.ProgramFilesLike();
    EXPECT_FALSE(DaclGrantsUntrustedWrite(acl.get()));
}

TEST(WritabilityWalk, NullDaclGrantsEveryoneEverything) {
    EXPECT_TRUE(DaclGrantsUntrustedWrite(nullptr));
}

TEST(WritabilityWalk, EmptyDaclGrantsNobodyAnything) {
    AclBuilder acl;
    EXPECT_FALSE(DaclGrantsUntrustedWrite(acl.get()));
}

TEST(WritabilityWalk, AddFileForAuthenticatedUsersFails) {
    AclBuilder acl;
    acl.ProgramFilesLike().Allow(kAuthenticatedUsers, FILE_ADD_FILE);
    EXPECT_TRUE(DaclGrantsUntrustedWrite(acl.get()));
}

TEST(WritabilityWalk, InheritOnlyEntryCountsLikeAnEffectiveOne) {
    AclBuilder acl;
    acl.ProgramFilesLike().Allow(kAuthenticatedUsers, FILE_ADD_FILE,
                                 INHERIT_ONLY_ACE | OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
    EXPECT_TRUE(DaclGrantsUntrustedWrite(acl.get()));
}

TEST(WritabilityWalk, DenyEntryBeforeTheAllowDoesNotCancelIt) {
    AclBuilder acl;
    acl.Deny(kAuthenticatedUsers, FILE_ADD_FILE)
        .ProgramFilesLike()
        .Allow(kAuthenticatedUsers, FILE_ADD_FILE);
    EXPECT_TRUE(DaclGrantsUntrustedWrite(acl.get()));
}

TEST(WritabilityWalk, DenyEntryWithWriteBitsAloneIsIgnored) {
    AclBuilder acl;
    acl.ProgramFilesLike().Deny(kEveryone, GENERIC_ALL);
    EXPECT_FALSE(DaclGrantsUntrustedWrite(acl.get()));
}

TEST(WritabilityWalk, TrustedPrincipalsMayWrite) {
    AclBuilder acl;
    acl.ProgramFilesLike()
        .Allow(kLocalService, GENERIC_WRITE)
        .Allow(kCreatorOwner, GENERIC_ALL, INHERIT_ONLY_ACE);
    EXPECT_FALSE(DaclGrantsUntrustedWrite(acl.get()));
}

// Each bit of the write-access mask alone makes an untrusted entry count.
class WriteBit : public testing::TestWithParam<DWORD> {};

TEST_P(WriteBit, GrantedToEveryoneFails) {
    AclBuilder acl;
    acl.ProgramFilesLike().Allow(kEveryone, GetParam());
    EXPECT_TRUE(DaclGrantsUntrustedWrite(acl.get()));
}

INSTANTIATE_TEST_SUITE_P(EachBitOfTheMask, WriteBit,
                         testing::Values(FILE_ADD_FILE, FILE_ADD_SUBDIRECTORY,
                                         FILE_WRITE_ATTRIBUTES, DELETE, WRITE_DAC, WRITE_OWNER,
                                         GENERIC_ALL, GENERIC_WRITE));

// Rights that let no one plant or swap a file in the directory do not count.
class HarmlessRight : public testing::TestWithParam<DWORD> {};

TEST_P(HarmlessRight, GrantedToAuthenticatedUsersPasses) {
    AclBuilder acl;
    acl.ProgramFilesLike().Allow(kAuthenticatedUsers, GetParam());
    EXPECT_FALSE(DaclGrantsUntrustedWrite(acl.get()));
}

INSTANTIATE_TEST_SUITE_P(OutsideTheMask, HarmlessRight,
                         testing::Values(FILE_DELETE_CHILD, FILE_WRITE_EA,
                                         FILE_DELETE_CHILD | FILE_WRITE_EA,
                                         FILE_GENERIC_READ | FILE_GENERIC_EXECUTE,
                                         GENERIC_READ | GENERIC_EXECUTE));

TEST(WritabilityOfPath, MissingDirectoryCountsAsWritable) {
    EXPECT_TRUE(PathGrantsUntrustedWrite(L"C:\\velmora-no-such-directory\\inner"));
}

struct DirectoryCase {
    const wchar_t* path;
    const wchar_t* directory;
};

void PrintTo(const DirectoryCase& tested, std::ostream* os) {
    *os << ToUtf8(tested.path);
}

class TestedDirectory : public testing::TestWithParam<DirectoryCase> {};

TEST_P(TestedDirectory, IsTheTextBeforeTheLastBackslash) {
    EXPECT_EQ(DirectoryOfPath(GetParam().path), GetParam().directory);
}

INSTANTIATE_TEST_SUITE_P(
    Paths, TestedDirectory,
    testing::Values(DirectoryCase{L"C:\\Program Files\\app\\sing-box.exe",
                                  L"C:\\Program Files\\app"},
                    DirectoryCase{L"C:\\sing-box.exe", L"C:"},
                    DirectoryCase{L"sing-box.exe", L"sing-box.exe"},
                    DirectoryCase{L"C:/apps/sing-box.exe", L"C:/apps/sing-box.exe"},
                    DirectoryCase{L"C:\\apps/x\\sing-box.exe", L"C:\\apps/x"}));

}  // namespace
