// The service log in a data directory of the test's own.
#include <gtest/gtest.h>

#include <cstdio>
#include <regex>
#include <string>
#include "base/handles.h"
#include "base/log.h"
#include "base/state.h"
#include "support.h"

namespace {

class ServiceLog : public testing::Test {
protected:
    void SetUp() override { ServiceState.serviceName = L"svc"; }
    ScopedProgramData programData_;
    std::wstring dir_ = programData_.root + L"\\svc";
};

// "[2026-02-03 09:05:07] " of the local time now.
std::string StampNow() {
    SYSTEMTIME t;
    GetLocalTime(&t);
    char stamp[32];
    snprintf(stamp, sizeof stamp, "[%04u-%02u-%02u %02u:%02u:%02u] ", t.wYear, t.wMonth, t.wDay,
             t.wHour, t.wMinute, t.wSecond);
    return stamp;
}

TEST_F(ServiceLog, AppendsLinesStampedWithLocalTimeAndEndedByCrLf) {
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr));
    std::string earliest = StampNow();
    WriteLog("listening on 127.0.0.1:%d", 17800);
    WriteLog("service loop exited");
    ASSERT_TRUE(FlushLog(5000));
    std::string latest = StampNow();

    std::string text = ReadFileBytes(dir_ + L"\\service.log");
    const size_t stamp = earliest.size();
    const std::string first = "listening on 127.0.0.1:17800\r\n";
    ASSERT_EQ(text.size(), 2 * stamp + first.size() + 21) << text;
    // Fixed-width stamps sort like the times they show.
    for (size_t at : {size_t{0}, stamp + first.size()}) {
        EXPECT_GE(text.substr(at, stamp), earliest) << text;
        EXPECT_LE(text.substr(at, stamp), latest) << text;
    }
    EXPECT_EQ(text.substr(stamp, first.size()), first);
    EXPECT_EQ(text.substr(2 * stamp + first.size()), "service loop exited\r\n");
}

// Any user may hold service.log; the directory may be missing for a moment. Lines wait in order
// and are written once the file can be opened; past the backlog they are counted, not kept.
TEST_F(ServiceLog, KeepsLinesWhileTheLogCannotBeOpenedAndCountsWhatItDrops) {
    const std::pair<std::string, size_t> rows[] = {
        {"missing directory", 0},
        {"reader without write sharing", 0},
        {"reader without write sharing", 3 * 1024 * 1024}};
    for (const auto& [hold, bytesBeyondBacklog] : rows) {
        SCOPED_TRACE(hold + " " + std::to_string(bytesBeyondBacklog));
        std::wstring log = dir_ + L"\\service.log";
        UniqueHandle reader;
        if (hold == "missing directory") {
            RemoveDirectoryW(dir_.c_str());
        } else {
            ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr) ||
                        GetLastError() == ERROR_ALREADY_EXISTS);
            ASSERT_TRUE(WriteFileBytes(log, "old\r\n"));
            reader.reset(CreateFileW(log.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                                     OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(reader.valid());
        }
        WriteLog("first");
        const std::string filler(1000, 'x');
        for (size_t sent = 0; sent < bytesBeyondBacklog; sent += filler.size()) {
            WriteLog("%s", filler.c_str());
        }
        WriteLog("last");
        EXPECT_FALSE(FlushLog(700));
        if (reader) {
            EXPECT_EQ(ReadFileBytes(log), "old\r\n");
            reader.reset();
        } else {
            ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr));
        }
        ASSERT_TRUE(FlushLog(10000));
        std::string text = ReadFileBytes(log);
        EXPECT_LT(text.find("] first\r\n"), text.find("] last\r\n"));
        EXPECT_EQ(text.find("log lines dropped") != std::string::npos, bytesBeyondBacklog > 0);
        EXPECT_LT(text.size(), 1100u * 1024);
        ASSERT_TRUE(DeleteFileW(log.c_str()));
    }
}

TEST(LogEscaping, WritesControlBytesAsHexSoOutsideTextCannotStartALine) {
    const std::pair<std::string, std::string> rows[] = {
        {"error\r[2026-01-01 00:00:00] core started pid=1",
         "error\\x0d[2026-01-01 00:00:00] core started pid=1"},
        {"a\nb", "a\\x0ab"},
        {std::string("nul\0end", 7), "nul\\x00end"},
        {"tab\tstays", "tab\tstays"},
        {"del\x7f", "del\\x7f"},
        {"C:\\ProgramData\\svc \xc3\xa9", "C:\\ProgramData\\svc \xc3\xa9"},
    };
    for (const auto& [text, logged] : rows) {
        EXPECT_EQ(EscapeLogText(text), logged);
    }
}

TEST_F(ServiceLog, MovesAFullLogAsideBeforeTheNextLineAndStaysUnderItsCapWhenItCannot) {
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr));
    // A second full log replaces the rotated one; a reader, as any user can be, keeps it in place.
    std::string rotated;
    for (std::string name : {"older", "newer", "held"}) {
        std::string full = name + "\n" + std::string(kLogRotateBytes - name.size() - 1, 'a');
        ASSERT_TRUE(WriteFileBytes(dir_ + L"\\service.log", full));
        UniqueHandle reader;
        if (name == "held") {
            reader.reset(CreateFileW((dir_ + L"\\service.log.1").c_str(), GENERIC_READ,
                                     FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
            ASSERT_TRUE(reader.valid());
        } else {
            rotated = full;
        }
        WriteLog("after %s", name.c_str());
        ASSERT_TRUE(FlushLog(5000)) << name;
        // Compared as a truth value: a failure would otherwise print 10 MiB.
        EXPECT_TRUE(ReadFileBytes(dir_ + L"\\service.log.1") == rotated) << name;
        std::string current = ReadFileBytes(dir_ + L"\\service.log");
        EXPECT_LT(current.size(), 64u) << name;
        EXPECT_EQ(current.substr(current.find(']')), "] after " + name + "\r\n");
    }
}

// Any local caller can provoke a refusal: its line ends in at most the last 260 characters of a
// path, one line a minute counts the same refusal again, and no line passes 512 bytes.
TEST_F(ServiceLog, CutsLongLinesAndCountsARepeatedLineInsteadOfWritingIt) {
    ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr));
    const std::wstring deep = L"C:\\" + std::wstring(300, L'd') + L"\\app.exe";
    for (int i = 0; i < 3; ++i) {
        WriteLogOncePerMinute("rejected peer pid=7 path=%ls", LastPartOfPath(deep).c_str());
    }
    WriteLogOncePerMinute("rejected peer pid=8 path=%ls", LastPartOfPath(L"C:\\a.exe").c_str());
    WriteLog("%s", std::string(1000, 'x').c_str());
    ASSERT_TRUE(FlushLog(5000));
    const std::string seven = "rejected peer pid=7 path=..." + std::string(252, 'd') + "\\app.exe";
    // Stamps are 22 bytes; the longest line has 512 with its CR LF.
    EXPECT_EQ(
        std::regex_replace(ReadFileBytes(dir_ + L"\\service.log"), std::regex("\\[.{19}\\] "), ""),
        seven + "\r\nrejected peer pid=8 path=C:\\a.exe\r\n" + std::string(242, 'x') + "..." +
            std::string(243, 'x') + "\r\n" + seven + " ... and 2 more requests\r\n");
}

}  // namespace
