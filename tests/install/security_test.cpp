// Installation's decisions on SIDs and ACLs built in memory, and checks Wine cannot show outside.
#include <gtest/gtest.h>
#include "base/win.h"

#include <sddl.h>
#include <tuple>
#include <vector>
#include "base/state.h"
#include "base/text.h"
#include "install/entries.h"
#include "core/console_break.h"
#include "install/old_service.h"
#include "support.h"
#include "base/data_directory.h"
#include "install/trust.h"
#include "install/writability.h"

namespace {

// A security descriptor in SDDL, with its owner and DACL; no text is a null DACL.
struct Descriptor {
    explicit Descriptor(const wchar_t* sddl) {
        PSECURITY_DESCRIPTOR parsed = nullptr;
        valid = sddl == nullptr || ConvertStringSecurityDescriptorToSecurityDescriptorW(
                                       sddl, SDDL_REVISION_1, &parsed, nullptr);
        owned.reset(parsed);
        BOOL present = FALSE, defaulted = FALSE;
        if (parsed != nullptr) {
            GetSecurityDescriptorOwner(parsed, &owner, &defaulted);
            GetSecurityDescriptorDacl(parsed, &present, &dacl, &defaulted);
        }
    }
    bool valid = false;
    UniqueLocal owned;
    PSID owner = nullptr;
    PACL dacl = nullptr;
};

// Trusted: LocalSystem, Administrators, CREATOR OWNER, LocalService and TrustedInstaller.
#define PF L"D:P(A;;FA;;;SY)(A;;FA;;;BA)(A;;FA;;;CO)(A;;0x1200a9;;;BU)"
// As Windows ships them: C:\, C:\Program Files, and C:\Apps made by a user (inherited from C:\).
#define DRIVE_ROOT                                                               \
    L"D:PAI(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)(A;OICI;0x1200a9;;;BU)(A;CI;LC;;;AU)" \
    L"(A;OICIIO;SDGXGWGR;;;AU)"
#define PROGRAM_FILES                                                                \
    L"D:PAI(A;;FA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)" \
    L"(A;CIIO;GA;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464)"  \
    L"(A;;0x1301bf;;;SY)(A;OICIIO;GA;;;SY)(A;;0x1301bf;;;BA)(A;OICIIO;GA;;;BA)"      \
    L"(A;;0x1200a9;;;BU)(A;OICIIO;GXGR;;;BU)(A;OICIIO;GA;;;CO)(A;;0x1200a9;;;AC)"    \
    L"(A;OICIIO;GXGR;;;AC)(A;;0x1200a9;;;S-1-15-2-2)(A;OICIIO;GXGR;;;S-1-15-2-2)"
#define USER_APPS                                                                           \
    L"D:AI(A;OICIID;FA;;;BA)(A;OICIID;FA;;;SY)(A;OICIID;0x1200a9;;;BU)(A;ID;0x1301bf;;;AU)" \
    L"(A;OICIIOID;SDGXGWGR;;;AU)"

// "<writable><replaceable><replaceable as a volume root>"; inherit-only entries count, but not
// delete-child, EAs, new entries above (C:\) or a root's DELETE (C:\Apps). Denies cancel no allow.
TEST(UntrustedAccess, FailsAPlaceOnlyByTheRightsItsRuleCounts) {
    const std::pair<const char*, std::vector<const wchar_t*>> rows[] = {
        {"000", {L"D:", PF L"(D;;GA;;;WD)(A;;GW;;;LS)(A;IO;GA;;;CO)", PROGRAM_FILES}},
        {"111", {nullptr, L"D:(D;;GA;;;AU)(A;;GA;;;AU)", L"D:(A;;WD;;;AU)"}},
        {"110", {USER_APPS}},
        {"011", {PF L"(A;;0x50;;;AU)"}},
        // Untrusted, down to one off in the last part of TrustedInstaller.
        {"100",
         {DRIVE_ROOT, PF L"(A;;0x2;;;AU)", PF L"(A;;GW;;;WD)", PF L"(A;OICIIO;GA;;;AU)",
          PF L"(A;;GW;;;BU)", PF L"(A;;GW;;;NS)", PF L"(A;;GW;;;AN)",
          PF L"(A;;GW;;;S-1-5-21-0-0-0-1000)", PF L"(A;;GW;;;S-1-15-2-1)",
          PF L"(A;;GW;;;S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478465)"}}};
    for (const auto& [expected, dacls] : rows) {
        for (const wchar_t* sddl : dacls) {
            Descriptor descriptor(sddl);
            std::string trace = sddl != nullptr ? ToUtf8(sddl) : "null DACL";
            ASSERT_TRUE(descriptor.valid) << trace;
            const char got[] = {"01"[DaclGrantsUntrustedWrite(descriptor.dacl)],
                                "01"[DaclLetsUntrustedReplace(descriptor.dacl, false)],
                                "01"[DaclLetsUntrustedReplace(descriptor.dacl, true)], '\0'};
            EXPECT_STREQ(got, expected) << trace;
        }
    }
}

// An owner may re-permission its place: only trusted ones and the installing user pass.
TEST(PlaceOwner, IsTrustedOnlyAsSystemAdministratorsOrTrustedInstaller) {
    Descriptor installer(L"O:S-1-5-21-1-2-3-1001");
    Descriptor sameUser(L"O:S-1-5-21-1-2-3-1001");
    ASSERT_NE(installer.owner, nullptr);
    EXPECT_FALSE(IsTrustedOwner(sameUser.owner));
    EXPECT_FALSE(OwnerMayRepermission(sameUser.owner, installer.owner));
    for (const wchar_t* sddl :
         {L"O:SY", L"O:BA", L"O:S-1-5-80-956008885-3418522649-1831038044-1853292631-2271478464"}) {
        Descriptor place(sddl);
        EXPECT_TRUE(IsTrustedOwner(place.owner)) << ToUtf8(sddl);
        EXPECT_FALSE(OwnerMayRepermission(place.owner, installer.owner)) << ToUtf8(sddl);
    }
    for (const wchar_t* sddl : {L"O:LS", L"O:CO", L"O:S-1-5-21-1-2-3-1002", L"O:AN", L"O:BU"}) {
        Descriptor place(sddl);
        ASSERT_NE(place.owner, nullptr) << ToUtf8(sddl);
        EXPECT_FALSE(IsTrustedOwner(place.owner)) << ToUtf8(sddl);
        EXPECT_TRUE(OwnerMayRepermission(place.owner, installer.owner)) << ToUtf8(sddl);
    }
    EXPECT_FALSE(IsTrustedOwner(nullptr));
    EXPECT_TRUE(OwnerMayRepermission(nullptr, installer.owner));
    // A planted entry's DACL may refuse reading its owner: it must not be kept for that.
    EXPECT_TRUE(HasUntrustedOwner(std::wstring(L"Z:\\no such entry")));
}

// An entry of a layout the checks do not read counts by its mask, even for LocalSystem, unless it
// denies, audits or labels. Built by hand: Wine's SDDL knows no object or callback entries.
TEST(UnreadEntryType, CountsByItsMaskAlone) {
    const std::tuple<BYTE, ACCESS_MASK, bool, bool> rows[] = {
        {ACCESS_ALLOWED_OBJECT_ACE_TYPE, FILE_ADD_FILE, true, false},
        {ACCESS_ALLOWED_CALLBACK_ACE_TYPE, DELETE, true, true},
        {ACCESS_ALLOWED_CALLBACK_OBJECT_ACE_TYPE, WRITE_DAC, true, true},
        {ACCESS_ALLOWED_COMPOUND_ACE_TYPE, FILE_DELETE_CHILD, false, true},
        {0x16, GENERIC_WRITE, true, false},
        {ACCESS_ALLOWED_CALLBACK_ACE_TYPE, FILE_GENERIC_READ, false, false},
        {ACCESS_DENIED_CALLBACK_ACE_TYPE, GENERIC_ALL, false, false},
        {SYSTEM_MANDATORY_LABEL_ACE_TYPE, GENERIC_ALL, false, false}};
    struct OneEntryAcl {
        ACL acl;
        ACE_HEADER header;
        ACCESS_MASK mask;
        BYTE sid[SECURITY_MAX_SID_SIZE];
    };
    for (const auto& [type, mask, writable, replaceable] : rows) {
        OneEntryAcl dacl = {{ACL_REVISION_DS, 0, sizeof(OneEntryAcl), 1, 0},
                            {type, 0, sizeof(OneEntryAcl) - sizeof(ACL)},
                            mask,
                            {}};
        DWORD size = sizeof dacl.sid;
        ASSERT_TRUE(CreateWellKnownSid(WinLocalSystemSid, nullptr, dacl.sid, &size));
        EXPECT_EQ(DaclGrantsUntrustedWrite(&dacl.acl), writable) << int(type);
        EXPECT_EQ(DaclLetsUntrustedReplace(&dacl.acl, false), replaceable) << int(type);
    }
}

TEST(Ancestors, RunUpToTheVolumeRoot) {
    const std::pair<std::wstring, std::vector<std::wstring>> rows[] = {
        {L"C:\\Apps\\core", {L"C:\\Apps", L"C:\\"}},
        {L"C:\\Apps\\core\\", {L"C:\\Apps", L"C:\\"}},
        {L"C:\\", {}},
        {L"\\\\srv\\share\\a\\b", {L"\\\\srv\\share\\a", L"\\\\srv\\share\\"}},
        {L"\\\\?\\C:\\a\\b", {L"\\\\?\\C:\\a", L"\\\\?\\C:\\"}},
        {L"\\\\?\\UNC\\srv\\s\\a", {L"\\\\?\\UNC\\srv\\s\\"}},
        {L"apps\\core", {}},
        {L"\\\\srv", {}}};
    for (const auto& row : rows) {
        EXPECT_EQ(AncestorsOf(row.first), row.second) << ToUtf8(row.first);
    }
}

// Wine shows no shares and only fixed drives: these stand for volumes installation cannot judge.
TEST(ProgramVolume, IsJudgedOnlyOnAFixedLocalDrive) {
    const std::pair<std::wstring, std::wstring> rows[] = {
        {ProgramPath(L"velmora.exe"), L""},
        {L"\\\\srv\\share\\app\\a.exe", L"\\\\srv\\share\\"},
        {L"\\\\?\\UNC\\srv\\s\\a.exe", L"\\\\?\\UNC\\srv\\s\\"},
        {L"B:\\app\\a.exe", L"B:\\"}};
    for (const auto& row : rows) {
        EXPECT_EQ(UnjudgedVolume(row.first), row.second) << ToUtf8(row.first);
    }
}

// Wine cannot show a trusted owner, so what hardening keeps is shown here.
TEST(FoundEntry, IsKeptOnlyWhenTrustedAndNoLink) {
    const DWORD link = FILE_ATTRIBUTE_REPARSE_POINT;
    using A = EntryAction;
    EXPECT_EQ(DecideEntryAction(FILE_ATTRIBUTE_DIRECTORY, 1, true), A::kKeep);
    EXPECT_EQ(DecideEntryAction(FILE_ATTRIBUTE_NORMAL, 1, true), A::kKeep);
    EXPECT_EQ(DecideEntryAction(FILE_ATTRIBUTE_DIRECTORY, 1, false), A::kClear);
    EXPECT_EQ(DecideEntryAction(FILE_ATTRIBUTE_ARCHIVE, 1, false), A::kClear);
    EXPECT_EQ(DecideEntryAction(FILE_ATTRIBUTE_DIRECTORY | link, 1, true), A::kRemoveLink);
    EXPECT_EQ(DecideEntryAction(link, 1, false), A::kRemoveLink);
    EXPECT_EQ(DecideEntryAction(FILE_ATTRIBUTE_ARCHIVE, 2, true), A::kRemoveLink);
}

// Wine reads every owner as the user's, so every entry must go or the clearing must fail.
TEST(PlantedEntries, AllGoOrTheClearingFails) {
    for (bool held : {false, true}) {
        ScopedProgramData scratch;  // only for its fresh folder
        const std::wstring folder = scratch.root;
        ASSERT_TRUE(CreateDirectoryW((folder + L"\\full").c_str(), nullptr) &&
                    WriteFileBytes(folder + L"\\full\\kept.txt", "kept") &&
                    WriteFileBytes(folder + L"\\service.conf", "planted"));
        UniqueHandle holder =
            held ? OpenEntryItself(folder + L"\\service.conf", GENERIC_READ) : UniqueHandle();
        EXPECT_EQ(ClearPlantedEntries(folder),
                  static_cast<DWORD>(held ? ERROR_SHARING_VIOLATION : ERROR_SUCCESS));
        holder.reset();
        EXPECT_EQ(FileExists(folder + L"\\service.conf"), held);
        // A folder with contents goes aside within, whole, unless the failure came first.
        std::vector<std::wstring> left = EntriesOf(folder);
        EXPECT_EQ(left.size(), held ? 2u : 1u);
        for (const std::wstring& name : left) {
            if (name != L"service.conf" && (!held || name != L"full")) {
                EXPECT_EQ(name.rfind(L"full.untrusted-", 0), 0u) << ToUtf8(name);
                EXPECT_EQ(ReadFileBytes(folder + L"\\" + name + L"\\kept.txt"), "kept");
            }
        }
    }
}

// A data path that has come to lead elsewhere meanwhile (the directory made a link) loses nothing.
TEST(DataFileRemoval, DeletesOnlyInsideTheHeldDirectory) {
    ScopedProgramData programData;
    ServiceState.serviceName = L"svc";
    std::wstring data = DataDirectoryOf(L"svc");
    ASSERT_TRUE(CreateDirectoryW(data.c_str(), nullptr) &&
                WriteFileBytes(data + L"\\service.log", "x"));
    for (const std::wstring& held : {programData.root, data}) {
        DeleteDataFiles(OpenEntryItself(held, FILE_READ_ATTRIBUTES).get());
        EXPECT_EQ(FileExists(data + L"\\service.log"), held != data) << ToUtf8(held);
    }
}

std::wstring Rendered(PSECURITY_DESCRIPTOR descriptor) {
    wchar_t* text = nullptr;
    ConvertSecurityDescriptorToStringSecurityDescriptorW(
        descriptor, SDDL_REVISION_1, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &text,
        nullptr);
    UniqueLocal owned(text);
    return text != nullptr ? text : L"";
}

TEST(HardenedSecurity, OwnsByAdministratorsAndGrantsUsersOnlyReading) {
    HardenedSecurity security;
    ASSERT_EQ(BuildHardenedSecurity(security), static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(security.information, static_cast<SECURITY_INFORMATION>(0x80000005));
    // What the directory is created with, so users never get a moment to add entries.
    Descriptor expected(L"O:BAD:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GXGR;;;BU)");
    ASSERT_TRUE(expected.valid);
    EXPECT_EQ(Rendered(&security.descriptor), Rendered(expected.owned.get()));
    EXPECT_NE(Rendered(&security.descriptor).find(L"D:P(A;OICI;"), std::wstring::npos);
    // Re-given at each start unless present, also as Windows stores it (inheritable entries split).
    EXPECT_TRUE(HasHardenedDacl(&security.descriptor));
    const std::pair<const wchar_t*, bool> kept[] = {
        {L"D:P(A;;FA;;;SY)(A;OICIIO;GA;;;SY)(A;;FA;;;BA)(A;OICIIO;GA;;;BA)(A;;0x1200a9;;;BU)"
         L"(A;OICIIO;GXGR;;;BU)",
         true},
        {L"D:(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GXGR;;;BU)", false},
        {L"D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)(A;OICI;GXGR;;;BU)(A;CI;0x6;;;BU)", false},
        {L"D:P(A;OICI;GA;;;SY)(A;OICI;GA;;;BA)", false},
        {L"D:PNO_ACCESS_CONTROL", false},
        {L"D:(A;;FA;;;SY)(A;;FA;;;S-1-5-21-0-0-0-1000)(A;;0x1200a9;;;WD)", false}};
    for (const auto& row : kept) {
        Descriptor descriptor(row.first);
        ASSERT_TRUE(descriptor.valid) << ToUtf8(row.first);
        EXPECT_EQ(HasHardenedDacl(descriptor.owned.get()), row.second) << ToUtf8(row.first);
    }
}

// A failed status query says nothing about the service, so the wait must not take it for a stop.
TEST(OldServiceStopWait, FailedQueryIsNoStop) {
    EXPECT_FALSE(WaitForServiceStop(nullptr, 2));
}

// AttachConsole reads (DWORD)-1 as "my parent's console": only a plain decimal id may reach it.
TEST(BreakHelperArgument, IsOnlyADecimalProcessId) {
    for (const wchar_t* text : {L"-1", L"+4", L" 4", L"4 ", L"0x10", L"", L"0", L"12a",
                                L"4294967295", L"4294967296", L"18446744073709551615"}) {
        EXPECT_EQ(RunBreakHelper(text), ERROR_INVALID_PARAMETER) << ToUtf8(text);
    }
}

}  // namespace
