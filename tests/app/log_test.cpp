#include <fcntl.h>
#include <gtest/gtest.h>
#include <io.h>
#include <sys/stat.h>
#include <cstdio>
#include <string>
#include "app/log.h"
#include "app/state.h"
#include "data_root.h"
#include "support.h"

namespace {

std::string PrefixAt(const SYSTEMTIME& t) {
    return FormatLogPrefix(t.wYear, t.wMonth, t.wDay, t.wHour, t.wMinute, t.wSecond);
}

// Standard output of this process goes to a file between construction and Finish.
class CapturedStdout {
public:
    explicit CapturedStdout(const std::wstring& path) : path_(path) {
        fflush(stdout);
        saved_ = _dup(_fileno(stdout));
        int fd =
            _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_BINARY, _S_IREAD | _S_IWRITE);
        _dup2(fd, _fileno(stdout));
        _close(fd);
    }
    std::string Finish() {
        fflush(stdout);
        _dup2(saved_, _fileno(stdout));
        _close(saved_);
        return ReadFileBytes(path_);
    }

private:
    std::wstring path_;
    int saved_ = -1;
};

class ServiceLog : public DataRootTest {
protected:
    void TearDown() override {
        ServiceState.consoleMode = false;
        DataRootTest::TearDown();
    }
    std::wstring LogPath() const { return dataDir + L"\\service.log"; }
    std::wstring RotatedPath() const { return dataDir + L"\\service.log.1"; }
};

TEST(ServiceLogPrefix, HasDateTimeInBracketsAndOneSpace) {
    EXPECT_EQ(FormatLogPrefix(2026, 2, 3, 9, 5, 7), "[2026-02-03 09:05:07] ");
}

TEST_F(ServiceLog, AppendsStampedLinesWithCrLf) {
    CreateDataDirectory();
    SYSTEMTIME before;
    GetLocalTime(&before);
    WriteLog("listening on 127.0.0.1:%d", 17800);
    WriteLog("service loop exited");
    SYSTEMTIME after;
    GetLocalTime(&after);

    // Fixed-width stamps sort like the times they show.
    std::string earliest = PrefixAt(before);
    std::string latest = PrefixAt(after);
    auto stampedBetween = [&](const std::string& stamp) {
        return earliest <= stamp && stamp <= latest;
    };
    std::string first = "listening on 127.0.0.1:17800\r\n";
    std::string second = "service loop exited\r\n";
    size_t stamp = earliest.size();
    std::string text = ReadFileBytes(LogPath());
    ASSERT_EQ(text.size(), 2 * stamp + first.size() + second.size()) << text;
    EXPECT_TRUE(stampedBetween(text.substr(0, stamp))) << text;
    EXPECT_EQ(text.substr(stamp, first.size()), first);
    EXPECT_TRUE(stampedBetween(text.substr(stamp + first.size(), stamp))) << text;
    EXPECT_EQ(text.substr(2 * stamp + first.size()), second);
}

TEST_F(ServiceLog, WritesWideArgumentsAsUtf8) {
    CreateDataDirectory();
    WriteLog("rejected peer pid=%lu path=%ls", 42ul, L"C:\\J\u00FCrgen\\\u20AC\\\U0001F600.exe");
    std::string text = ReadFileBytes(LogPath());
    EXPECT_NE(text.find("] rejected peer pid=42 path=C:\\J\xC3\xBCrgen\\\xE2\x82\xAC\\"
                        "\xF0\x9F\x98\x80.exe\r\n"),
              std::string::npos)
        << text;
}

TEST_F(ServiceLog, MissingDataDirectoryLosesLineSilently) {
    ServiceState.consoleMode = true;
    CapturedStdout out(root + L"\\stdout.txt");
    WriteLog("core started pid=%lu", 7ul);
    EXPECT_EQ(out.Finish(), "");
    EXPECT_FALSE(FileExists(dataDir));
}

class ServiceLogEcho : public ServiceLog, public ::testing::WithParamInterface<bool> {};

TEST_P(ServiceLogEcho, EchoesWithoutPrefixOnlyInConsoleMode) {
    CreateDataDirectory();
    ServiceState.consoleMode = GetParam();
    CapturedStdout out(root + L"\\stdout.txt");
    WriteLog("core %lu exited gracefully", 9ul);
    EXPECT_EQ(out.Finish(), GetParam() ? "core 9 exited gracefully\n" : "");
    EXPECT_NE(ReadFileBytes(LogPath()).find("] core 9 exited gracefully\r\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Log, ServiceLogEcho, ::testing::Bool(),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Console" : "Service";
                         });

TEST_F(ServiceLog, MovesFullLogToRotatedFileBeforeWriting) {
    CreateDataDirectory();
    std::string older = "older\n" + std::string(kLogRotateBytes - 6, 'a');
    ASSERT_TRUE(WriteFileBytes(LogPath(), older));
    WriteLog("first after rotation");

    // Compared as a truth value: a failure would otherwise print 10 MiB.
    EXPECT_TRUE(ReadFileBytes(RotatedPath()) == older);
    std::string current = ReadFileBytes(LogPath());
    EXPECT_EQ(current.find('\n'), current.size() - 1) << current;
    EXPECT_NE(current.find("] first after rotation\r\n"), std::string::npos) << current;

    // The next rotation replaces the older rotated file.
    std::string newer = "newer\n" + std::string(kLogRotateBytes, 'b');
    ASSERT_TRUE(WriteFileBytes(LogPath(), newer));
    WriteLog("second after rotation");
    EXPECT_TRUE(ReadFileBytes(RotatedPath()) == newer);
    EXPECT_NE(ReadFileBytes(LogPath()).find("] second after rotation\r\n"), std::string::npos);
}

}  // namespace
