#include <gtest/gtest.h>
#include "install/security.h"
#include "sids.h"

namespace {

struct ExpectedEntry {
    const wchar_t* sid;
    ACCESS_MASK mask;
};

class HardenedDacl : public testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(BuildHardenedSecurity(security_), ERROR_SUCCESS); }
    PACL dacl() { return static_cast<PACL>(security_.dacl.get()); }

    HardenedSecurity security_;
};

TEST_F(HardenedDacl, OwnerIsAdministrators) {
    EXPECT_TRUE(EqualSid(security_.owner, Sid(kAdministrators).get()));
}

TEST_F(HardenedDacl, IsProtectedAgainstInheritanceFromProgramData) {
    EXPECT_EQ(security_.information & PROTECTED_DACL_SECURITY_INFORMATION,
              static_cast<SECURITY_INFORMATION>(PROTECTED_DACL_SECURITY_INFORMATION));
    EXPECT_EQ(
        security_.information & (OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION),
        static_cast<SECURITY_INFORMATION>(OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION));
    EXPECT_EQ(security_.information & (GROUP_SECURITY_INFORMATION | SACL_SECURITY_INFORMATION), 0u);
}

TEST_F(HardenedDacl, HoldsExactlyTheThreeEntriesInOrder) {
    ASSERT_NE(dacl(), nullptr);
    ACL_SIZE_INFORMATION size = {};
    ASSERT_TRUE(GetAclInformation(dacl(), &size, sizeof size, AclSizeInformation));
    ASSERT_EQ(size.AceCount, 3u);

    const ExpectedEntry expected[] = {
        {kLocalSystem, GENERIC_ALL},
        {kAdministrators, GENERIC_ALL},
        {kUsers, GENERIC_READ | GENERIC_EXECUTE},
    };
    for (DWORD i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        void* entry = nullptr;
        ASSERT_TRUE(GetAce(dacl(), i, &entry));
        auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
        EXPECT_EQ(allowed->Header.AceType, ACCESS_ALLOWED_ACE_TYPE);
        EXPECT_EQ(allowed->Header.AceFlags, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE);
        EXPECT_EQ(allowed->Mask, expected[i].mask);
        EXPECT_TRUE(
            EqualSid(reinterpret_cast<PSID>(&allowed->SidStart), Sid(expected[i].sid).get()));
    }
}

TEST_F(HardenedDacl, GrantsNoUntrustedPrincipalWriteAccess) {
    EXPECT_FALSE(DaclGrantsUntrustedWrite(dacl()));
}

}  // namespace
