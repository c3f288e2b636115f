// service.conf: the reading rules, the writing, and the rule that settles the endpoint.
#include <gtest/gtest.h>
#include <climits>
#include <string>
#include <tuple>
#include "base/paths.h"
#include "base/state.h"
#include "config/endpoint_file.h"
#include "support.h"

namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";

TEST(EndpointText, IsReadByTolerantRules) {
    const std::tuple<const char*, std::string, bool, int32_t, std::string> rows[] = {
        {"SpaceSignAndTrailingText", "port= +17853x1\ntoken=t", true, 17853, "t"},
        {"KeysAnchoredCaseSensitive", "port=9\n port=1\nPort=2\ntoken=t\n token=u\n", true, 9, "t"},
        {"LaterLinesOverride", "port=1\ntoken=a\nport=2\ntoken=b\n", true, 2, "b"},
        {"CrLfLinesTokenKeptWithSpaces", "port=5\r\ntoken= a b \r\r\n", true, 5, " a b "},
        {"HugePortSaturates", "port=99999999999999999999\ntoken=t\n", true, INT32_MAX, "t"},
        {"OnlyTokenLine", "token=" + kToken + "\n", false, 0, kToken},
        {"NegativePort", "port=-17853\ntoken=t\n", false, -17853, "t"},
        {"PortWithoutDigits", "port=abc\ntoken=t\n", false, 0, "t"},
        {"EmptyTokenOverrides", "port=5\ntoken=t\ntoken=\r\n", false, 5, ""},
        // fgets into 256 bytes: the key and 249 characters, then the rest as a piece of its own.
        {"LongTokenLineCut", "port=5\ntoken=" + std::string(249, 'x') + "yy\n", true, 5,
         std::string(249, 'x')},
        {"RestOfLongLineIsPiece", "token=t\nn=" + std::string(253, 'z') + "port=6\n", true, 6,
         "t"}};
    for (const auto& [name, bytes, valid, port, token] : rows) {
        EndpointInfo info;
        EXPECT_EQ(ParseEndpointText(bytes, info), valid) << name;
        EXPECT_EQ(info.port, port) << name;
        EXPECT_EQ(info.token, token) << name;
    }
}

// A private ProgramData; the name "abc" has the base port 18131.
class EndpointFile : public ::testing::Test {
protected:
    void SetUp() override {
        ServiceState.serviceName = L"abc";
        CreateDirectoryW(GetDataDirectory().c_str(), nullptr);
    }
    std::string Held() { return ReadFileBytes(GetEndpointFilePath()); }

    ScopedProgramData programData_;
};

// A file the service keeps, or whose token it keeps, shows from outside (tests/e2e_service).
TEST_F(EndpointFile, InvalidPortGetsBasePortAndNewToken) {
    const std::string file = "port=0\ntoken=" + kToken + "\n";
    ASSERT_TRUE(WriteFileBytes(GetEndpointFilePath(), file));
    EndpointInfo endpoint;
    EndpointSource source = EndpointSource::kFile;
    ASSERT_TRUE(SettleEndpoint(endpoint, source));
    EXPECT_EQ(source, EndpointSource::kNew);
    EXPECT_EQ(endpoint.port, 18131);
    EXPECT_NE(endpoint.token, kToken);
    EXPECT_EQ(endpoint.token.size(), 32u);
    EXPECT_EQ(endpoint.token.find_first_not_of("0123456789abcdef"), std::string::npos);
    EXPECT_EQ(Held(), file);
}

TEST_F(EndpointFile, FailedWriteKeepsOldFile) {
    ASSERT_TRUE(WriteFileBytes(GetEndpointFilePath(), "port=1\ntoken=t\n"));
    ASSERT_TRUE(CreateDirectoryW((GetEndpointFilePath() + L".tmp").c_str(), nullptr));
    EXPECT_FALSE(WriteEndpointFile(EndpointInfo{18000, "new"}));
    EXPECT_EQ(Held(), "port=1\ntoken=t\n");
}

// Held open as fopen holds it, the file is written in place: never through a second name.
TEST_F(EndpointFile, HeldFileWithSecondNameIsNotWrittenThrough) {
    std::wstring other = GetDataDirectory() + L"\\other";
    ASSERT_TRUE(WriteFileBytes(other, "keep\n"));
    ASSERT_TRUE(CreateHardLinkW(GetEndpointFilePath().c_str(), other.c_str(), nullptr));
    UniqueHandle reader(CreateFileW(GetEndpointFilePath().c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader.valid());
    EXPECT_FALSE(WriteEndpointFile(EndpointInfo{18000, "t"}));
    EXPECT_EQ(ReadFileBytes(other), "keep\n");
}

}  // namespace
