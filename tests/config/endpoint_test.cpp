#include <gtest/gtest.h>
#include <climits>
#include <set>
#include <string>
#include "../app/data_root.h"
#include "app/paths.h"
#include "app/state.h"
#include "config/endpoint.h"
#include "support.h"

namespace {

const std::string kToken = "0123456789abcdef0123456789abcdef";

struct FileCase {
    const char* label;
    std::string bytes;
    bool valid;
    int32_t port;
    std::string token;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const FileCase& c, std::ostream* os) {
    *os << c.label;
}

class EndpointFileReading : public DataRootTest, public ::testing::WithParamInterface<FileCase> {};

TEST_P(EndpointFileReading, AppliesTolerantRules) {
    CreateDataDirectory();
    ASSERT_TRUE(WriteFileBytes(GetEndpointFilePath(), GetParam().bytes));
    EndpointInfo info;
    EXPECT_EQ(ReadEndpointFile(info), GetParam().valid);
    EXPECT_EQ(info.port, GetParam().port);
    EXPECT_EQ(info.token, GetParam().token);
}

INSTANTIATE_TEST_SUITE_P(
    Endpoint, EndpointFileReading,
    ::testing::Values(
        FileCase{"LfLines", "port=17853\ntoken=" + kToken + "\n", true, 17853, kToken},
        FileCase{"CrLfLines", "port=17853\r\ntoken=" + kToken + "\r\n", true, 17853, kToken},
        FileCase{"NoFinalLineEnd", "token=t\nport=17853", true, 17853, "t"},
        FileCase{"SpaceAfterEquals", "port= 17853\ntoken=t\n", true, 17853, "t"},
        FileCase{"SignAndTrailingText", "port=+17853x1\ntoken=t\n", true, 17853, "t"},
        FileCase{"KeysAnchoredAndCaseSensitive",
                 "port=17853\n port=1\nPort=2\nxport=3\ntoken=t\n token=u\nTOKEN=v\n", true, 17853,
                 "t"},
        FileCase{"LaterLinesOverride", "port=1\ntoken=a\nport=2\ntoken=b\n", true, 2, "b"},
        FileCase{"TokenKeptWithSpaces", "port=5\ntoken= a b \r\r\n", true, 5, " a b "},
        FileCase{"NoUpperBoundOnPort", "port=70000\ntoken=t\n", true, 70000, "t"},
        FileCase{"HugePortSaturates", "port=99999999999999999999999\ntoken=t\n", true, INT32_MAX,
                 "t"},
        FileCase{"HugeNegativePortSaturates", "port=-99999999999999999999999\ntoken=t\n", false,
                 INT32_MIN, "t"},
        FileCase{"OnlyTokenLine", "token=" + kToken + "\n", false, 0, kToken},
        FileCase{"ZeroPort", "port=0\ntoken=t\n", false, 0, "t"},
        FileCase{"NegativePort", "port=-17853\ntoken=t\n", false, -17853, "t"},
        FileCase{"PortWithoutDigits", "port=abc\ntoken=t\n", false, 0, "t"},
        FileCase{"EmptyPortValue", "port=\ntoken=t\n", false, 0, "t"},
        FileCase{"EmptyTokenOverrides", "port=5\ntoken=t\ntoken=\r\n", false, 5, ""},
        FileCase{"EmptyFile", "", false, 0, ""},
        // fgets into 256 bytes: the key and 249 characters, then the rest as a piece of its own.
        FileCase{"LongTokenLineCut",
                 "port=5\ntoken=" + std::string(249, 'x') + std::string(45, 'y') + "\n", true, 5,
                 std::string(249, 'x')},
        FileCase{"RestOfLongLineReadAsPiece",
                 "port=5\ntoken=t\nnote=" + std::string(250, 'z') + "port=6\n", true, 6, "t"}),
    [](const ::testing::TestParamInfo<FileCase>& info) { return info.param.label; });

class EndpointFile : public DataRootTest {
protected:
    std::wstring Temporary() const { return GetEndpointFilePath() + L".tmp"; }
};

TEST_F(EndpointFile, MissingFileIsInvalid) {
    CreateDataDirectory();
    EndpointInfo info;
    EXPECT_FALSE(ReadEndpointFile(info));
}

TEST_F(EndpointFile, WritingLeavesExactlyTwoLinesOverLongerFile) {
    CreateDataDirectory();
    ASSERT_TRUE(WriteFileBytes(GetEndpointFilePath(), std::string(4000, '#') + "\nport=1\n"));
    EndpointInfo info{17853, kToken};
    ASSERT_TRUE(WriteEndpointFile(info));
    EXPECT_EQ(ReadFileBytes(GetEndpointFilePath()), "port=17853\ntoken=" + kToken + "\n");
    EXPECT_FALSE(FileExists(Temporary()));

    EndpointInfo read;
    EXPECT_TRUE(ReadEndpointFile(read));
    EXPECT_EQ(read.port, 17853);
    EXPECT_EQ(read.token, kToken);
}

TEST_F(EndpointFile, WritingCreatesMissingDataDirectory) {
    ASSERT_TRUE(WriteEndpointFile(EndpointInfo{18000, "t"}));
    EXPECT_EQ(ReadFileBytes(GetEndpointFilePath()), "port=18000\ntoken=t\n");
}

TEST_F(EndpointFile, FailedWriteKeepsOldFile) {
    CreateDataDirectory();
    std::string old = "port=17853\ntoken=" + kToken + "\n";
    ASSERT_TRUE(WriteFileBytes(GetEndpointFilePath(), old));
    ASSERT_TRUE(CreateDirectoryW(Temporary().c_str(), nullptr));
    EXPECT_FALSE(WriteEndpointFile(EndpointInfo{18000, "new"}));
    EXPECT_EQ(ReadFileBytes(GetEndpointFilePath()), old);
}

TEST_F(EndpointFile, WriteFailsWhenFileIsDirectory) {
    CreateDataDirectory();
    ASSERT_TRUE(CreateDirectoryW(GetEndpointFilePath().c_str(), nullptr));
    EXPECT_FALSE(WriteEndpointFile(EndpointInfo{18000, "t"}));
    EXPECT_FALSE(FileExists(Temporary()));
}

TEST_F(EndpointFile, WriteFailsWhenDataDirectoryIsFile) {
    ASSERT_TRUE(WriteFileBytes(dataDir, "not a folder"));
    EXPECT_FALSE(WriteEndpointFile(EndpointInfo{18000, "t"}));
    EXPECT_EQ(ReadFileBytes(dataDir), "not a folder");
}

struct PortCase {
    std::wstring name;
    int32_t basePort;
};

void PrintTo(const PortCase& c, std::ostream* os) {
    *os << c.basePort;
}

class BasePort : public DataRootTest, public ::testing::WithParamInterface<PortCase> {};

// FNV-1a over whole UTF-16 units; a hash over the bytes would give other ports.
TEST_P(BasePort, DerivedFromNameAlone) {
    EXPECT_EQ(ComputeBasePortFor(GetParam().name), GetParam().basePort);
    ServiceState.serviceName = GetParam().name;
    EXPECT_EQ(ComputeBasePort(), GetParam().basePort);
}

INSTANTIATE_TEST_SUITE_P(Endpoint, BasePort,
                         ::testing::Values(PortCase{L"abc", 18131}, PortCase{L"\u20AC", 17875}));

TEST(AccessToken, IsFreshLowercaseHex) {
    std::set<std::string> seen;
    for (int i = 0; i < 20; ++i) {
        std::string token;
        ASSERT_TRUE(GenerateAccessToken(token));
        EXPECT_EQ(token.size(), 32u);
        EXPECT_EQ(token.find_first_not_of("0123456789abcdef"), std::string::npos) << token;
        seen.insert(token);
    }
    EXPECT_EQ(seen.size(), 20u);
}

}  // namespace
