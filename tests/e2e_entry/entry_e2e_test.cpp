// velmora.exe driven from outside through its command line, with ProgramData pointing at a fresh
// folder that the child inherits.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <string>
#include <utility>
#include <vector>
#include "support.h"

namespace {

// What the allowed entries of a folder give Everyone, and Users or Authenticated Users.
std::pair<ACCESS_MASK, ACCESS_MASK> AccessOfOthers(const std::wstring& dir) {
    std::pair<ACCESS_MASK, ACCESS_MASK> access;
    PACL dacl = nullptr;
    PSECURITY_DESCRIPTOR descriptor = nullptr;
    GetNamedSecurityInfoW(dir.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr, nullptr,
                          &dacl, nullptr, &descriptor);
    UniqueLocal owned(descriptor);
    auto is = [](PSID sid, WELL_KNOWN_SID_TYPE type) {
        BYTE known[SECURITY_MAX_SID_SIZE];
        DWORD size = sizeof known;
        return CreateWellKnownSid(type, nullptr, known, &size) && EqualSid(known, sid);
    };
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        if (GetAce(dacl, i, reinterpret_cast<void**>(&entry)) &&
            entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE) {
            PSID sid = &entry->SidStart;
            access.first |= is(sid, WinWorldSid) ? entry->Mask : 0;
            access.second |=
                is(sid, WinBuiltinUsersSid) || is(sid, WinAuthenticatedUserSid) ? entry->Mask : 0;
        }
    }
    return access;
}

const std::string kUsage =
    "usage: velmora.exe <install|uninstall|run|console> --name <service-name> "
    "[--core <sing-box.exe>] [--gui <app.exe>]\n";

TEST(Entry, ExitsWithTheCodeAndMessageOfEachMistake) {
    const struct {
        std::wstring arguments;
        DWORD exitCode;
        std::string stderrText;
        bool dataDirectoryCreated;  // empty and closed to others; else nothing at all is created
    } rows[] = {
        {L"", 2, kUsage, false},
        {L"--name svc", 2, kUsage, false},
        {L"frob --name a\\b", 2, kUsage, false},
        {L"CONSOLE --name svc", 2, "unknown command\n", true},
        {L"console --name svc --core x.exe", 2, "--core and --gui are for install only\n" + kUsage,
         false},
        {L"uninstall --gui x.exe --name svc", 2, "--core and --gui are for install only\n" + kUsage,
         false},
        {L"install --name svc", 2, "install requires --core <sing-box.exe>\n", true},
        {L"run --name svc", 1, "not started by SCM (err=1063); use 'console' to debug\n", true}};
    for (const auto& c : rows) {
        SCOPED_TRACE(std::string(c.arguments.begin(), c.arguments.end()));
        ScopedProgramData programData;
        // A folder that a name with a separator, "a\b", would create something in.
        CreateDirectoryW((programData.root + L"\\a").c_str(), nullptr);
        std::string out;
        std::string err;
        EXPECT_EQ(RunProgram(ProgramPath(L"velmora.exe"), c.arguments, &out, &err), c.exitCode);
        EXPECT_EQ(WithoutCr(err), c.stderrText);
        EXPECT_EQ(out, "");
        std::vector<std::wstring> created = {L"a"};
        if (c.dataDirectoryCreated) {
            created.push_back(L"svc");
        }
        EXPECT_EQ(EntriesOf(programData.root), created);
        EXPECT_TRUE(EntriesOf(programData.root + L"\\a").empty());
        EXPECT_TRUE(EntriesOf(programData.root + L"\\svc").empty());
        // A folder made with ProgramData's inherited entries would let users plant files in it.
        if (c.dataDirectoryCreated) {
            auto [everyone, users] = AccessOfOthers(programData.root + L"\\svc");
            EXPECT_EQ(everyone, 0u);
            EXPECT_EQ(users & ~static_cast<ACCESS_MASK>(FILE_GENERIC_READ | FILE_GENERIC_EXECUTE |
                                                        GENERIC_READ | GENERIC_EXECUTE),
                      0u);
        }
    }
}

}  // namespace
