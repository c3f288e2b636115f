// velmora.exe driven by its command line, with a fresh ProgramData folder the child inherits.
#include <gtest/gtest.h>

#include <aclapi.h>
#include <string>
#include <utility>
#include <vector>
#include "base/text.h"
#include "support.h"
#include "velmora_version.h"

namespace {

// What a folder grants Everyone, or (Authenticated) Users beyond reading and running.
ACCESS_MASK AccessOfOthers(const std::wstring& dir) {
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
    const ACCESS_MASK reading =
        FILE_GENERIC_READ | FILE_GENERIC_EXECUTE | GENERIC_READ | GENERIC_EXECUTE;
    ACCESS_MASK access = 0;
    for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
        ACCESS_ALLOWED_ACE* entry = nullptr;
        if (GetAce(dacl, i, reinterpret_cast<void**>(&entry)) &&
            entry->Header.AceType == ACCESS_ALLOWED_ACE_TYPE) {
            PSID sid = &entry->SidStart;
            bool user = is(sid, WinBuiltinUsersSid) || is(sid, WinAuthenticatedUserSid);
            access |= is(sid, WinWorldSid) ? entry->Mask : user ? entry->Mask & ~reading : 0;
        }
    }
    return access;
}

const std::string kUsage =
    "usage: velmora.exe <install|uninstall|run|console> --name <service-name> "
    "[--core <sing-box.exe>] [--gui <app.exe>]\n";
const std::string kInstallOnly = "--core and --gui are for install only\n" + kUsage;

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
        {L"console --name svc --core x.exe", 2, kInstallOnly, false},
        {L"console --gui x.exe --name svc", 2, kInstallOnly, false},
        {L"install --name svc", 2, "install requires --core <sing-box.exe>\n", true},
        {L"run --name svc", 1, "not started by SCM (err=1063); use 'console' to debug\n", true}};
    for (const auto& c : rows) {
        SCOPED_TRACE(std::string(c.arguments.begin(), c.arguments.end()));
        ScopedProgramData programData;
        // A folder that a name with a separator, "a\b", would create something in.
        CreateDirectoryW((programData.root + L"\\a").c_str(), nullptr);
        std::string out, err;
        EXPECT_EQ(RunProgram(ProgramPath(L"velmora.exe"), c.arguments, &out, &err), c.exitCode);
        EXPECT_EQ(WithoutCr(err), c.stderrText);
        EXPECT_EQ(out, "");
        std::vector<std::wstring> created = {L"a", L"svc"};
        created.resize(c.dataDirectoryCreated ? 2 : 1);
        EXPECT_EQ(EntriesOf(programData.root), created);
        EXPECT_TRUE(EntriesOf(programData.root + L"\\a").empty());
        EXPECT_TRUE(EntriesOf(programData.root + L"\\svc").empty());
        // A folder made with ProgramData's inherited entries would let users plant files in it.
        if (c.dataDirectoryCreated) {
            EXPECT_EQ(AccessOfOthers(programData.root + L"\\svc"), 0u);
        }
    }
}

// --version touches nothing; only velmora.exe carries the texts of its events.
TEST(Entry, ProgramsCarryTheirVersionManifestAndEventMessages) {
    for (std::wstring program : {L"velmora", L"velmoractl"}) {
        SCOPED_TRACE(ToUtf8(program));
        ScopedProgramData programData;
        std::wstring path = ProgramPath(program + L".exe");
        std::string out;
        EXPECT_EQ(RunProgram(path, L"--version", &out), 0u);
        EXPECT_EQ(WithoutCr(out), "velmora " VELMORA_VERSION "\n");
        EXPECT_TRUE(EntriesOf(programData.root).empty());
        std::vector<BYTE> info(GetFileVersionInfoSizeW(path.c_str(), nullptr));
        GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data());
        const std::wstring version = FromUtf8(VELMORA_VERSION);
        for (auto [name, value] : {std::pair{L"ProductName", std::wstring(L"velmora")},
                                   {L"FileVersion", version},
                                   {L"ProductVersion", version},
                                   {L"OriginalFilename", program + L".exe"},
                                   {L"InternalName", program}}) {
            wchar_t* text = nullptr;
            UINT length = 0;
            const std::wstring key = L"\\StringFileInfo\\040904B0\\" + std::wstring(name);
            VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&text), &length);
            EXPECT_EQ(std::wstring(text ? text : L""), value) << ToUtf8(name);
        }
        HMODULE image = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE);
        ASSERT_NE(image, nullptr);
        HRSRC found = FindResourceW(image, MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(24));
        std::string manifest(
            found ? static_cast<const char*>(LockResource(LoadResource(image, found))) : "",
            found ? SizeofResource(image, found) : 0);
        EXPECT_NE(manifest.find("<requestedExecutionLevel level=\"asInvoker\""), std::string::npos);
        EXPECT_NE(manifest.find("{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"), std::string::npos);
        // The IDs are stable: administrators' filters name them.
        const std::pair<DWORD, std::string> events[] = {
            {1000, "svc started and listens on 127.0.0.1:2."},
            {1001, "svc stopped with exit code 2."},
            {1002, "svc cannot go on: 2"},
            {1003, "(process 2) of the service svc ended without"},
            {1004, "gave up after 2 restarts"},
            {1005, "svc did not stop within 2 ms"}};
        DWORD_PTR inserts[] = {DWORD_PTR(L"svc"), DWORD_PTR(L"2"), DWORD_PTR(L"2")};
        const DWORD flags = FORMAT_MESSAGE_FROM_HMODULE | FORMAT_MESSAGE_ARGUMENT_ARRAY;
        for (const auto& [id, text] : events) {
            wchar_t buffer[512] = {};
            DWORD length = FormatMessageW(flags, image, id, 0, buffer, 512,
                                          reinterpret_cast<va_list*>(inserts));
            std::string message = ToUtf8(std::wstring(buffer, length));
            EXPECT_EQ(message.find(text) != std::string::npos, program == L"velmora") << id;
        }
        FreeLibrary(image);
    }
}

}  // namespace
