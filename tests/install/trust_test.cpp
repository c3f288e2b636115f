#include <gtest/gtest.h>
#include "install/install.h"
#include "sids.h"

namespace {

class TrustedPrincipal : public testing::TestWithParam<const wchar_t*> {};

TEST_P(TrustedPrincipal, IsTrusted) {
    Sid sid(GetParam());
    ASSERT_NE(sid.get(), nullptr);
    EXPECT_TRUE(IsTrustedPrincipal(sid.get()));
}

INSTANTIATE_TEST_SUITE_P(FiveTrustedPrincipals, TrustedPrincipal,
                         testing::Values(kLocalSystem, kAdministrators, kCreatorOwner,
                                         kLocalService, kTrustedInstaller));

class UntrustedPrincipal : public testing::TestWithParam<const wchar_t*> {};

TEST_P(UntrustedPrincipal, IsNotTrusted) {
    Sid sid(GetParam());
    ASSERT_NE(sid.get(), nullptr);
    EXPECT_FALSE(IsTrustedPrincipal(sid.get()));
}

INSTANTIATE_TEST_SUITE_P(
    OrdinaryAndNearMissPrincipals, UntrustedPrincipal,
    testing::Values(kUsers, kAuthenticatedUsers, kEveryone, L"S-1-5-20", L"S-1-5-7",
                    L"S-1-5-21-0-0-0-1000",
                    // One off in the last part of the TrustedInstaller SID.
                    L"S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478465",
                    // Another service SID.
                    L"S-1-5-80-3139157870-2983391045-3678747466-658725712-1809340420"));

TEST(TrustedInstallerMatch, PassesBySidTextAlthoughNoWellKnownSidMatches) {
    // Built from its parts, not from text, so only the string comparison can recognise it.
    SID_IDENTIFIER_AUTHORITY nt = SECURITY_NT_AUTHORITY;
    PSID sid = nullptr;
    ASSERT_TRUE(AllocateAndInitializeSid(&nt, 6, 80, 956008885, 3418522649u, 1831038044, 1853292631,
                                         2271478464u, 0, 0, &sid));
    for (WELL_KNOWN_SID_TYPE type :
         {WinLocalSystemSid, WinBuiltinAdministratorsSid, WinCreatorOwnerSid, WinLocalServiceSid}) {
        EXPECT_FALSE(IsWellKnownSid(sid, type));
    }
    EXPECT_TRUE(IsTrustedPrincipal(sid));
    FreeSid(sid);
}

}  // namespace
