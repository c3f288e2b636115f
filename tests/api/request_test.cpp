#include <gtest/gtest.h>

#include <ostream>
#include <string>
#include "api/caller.h"
#include "api/endpoints.h"
#include "api/request.h"

namespace {

std::string Head(const std::string& extraHeaders) {
    return "POST /start HTTP/1.1\r\nHost: x\r\n" + extraHeaders + "\r\n";
}

}  // namespace

// --- Framing: when has enough of the request arrived? ---

struct FramingCase {
    const char* name;
    std::string text;
    bool headerEndFound;
    bool complete;
};

void PrintTo(const FramingCase& c, std::ostream* os) {
    *os << c.name;
}

class FramingDecision : public testing::TestWithParam<FramingCase> {};

TEST_P(FramingDecision, DecidesWhetherToKeepReading) {
    RequestScan scan = ScanRequest(GetParam().text);
    EXPECT_EQ(scan.headerEndFound, GetParam().headerEndFound);
    EXPECT_EQ(scan.complete, GetParam().complete);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FramingDecision,
    testing::Values(
        FramingCase{"Empty", "", false, false},
        FramingCase{"HeadersStillComing", "GET /status HTTP/1.1\r\nHost: x\r\n", false, false},
        FramingCase{"BareLineFeedsNeverEndTheHead", "GET /version HTTP/1.1\n\n", false, false},
        FramingCase{"NoLengthServedAtHeaderEnd", "GET /status HTTP/1.1\r\n\r\n", true, true},
        FramingCase{"ZeroLength", Head("Content-Length: 0\r\n"), true, true},
        FramingCase{"NotANumberCountsAsZero", Head("Content-Length: abc\r\n"), true, true},
        FramingCase{"WaitsForAnnouncedBody", Head("Content-Length: 5\r\n") + "abc", true, false},
        FramingCase{"AnnouncedBodyArrived", Head("Content-Length: 5\r\n") + "abcde", true, true},
        FramingCase{"ExtraBytesAfterBody", Head("Content-Length: 2\r\n") + "abcde", true, true},
        FramingCase{"LengthAtCeilingIsWaitedFor", Head("Content-Length: 65536\r\n"), true, false},
        FramingCase{"LengthAboveCeilingNotWaitedFor", Head("Content-Length: 65537\r\n"), true,
                    true},
        FramingCase{"NegativeLengthNotWaitedFor", Head("Content-Length: -1\r\n"), true, true},
        FramingCase{"HugeLengthSaturatesAndIsNotWaitedFor",
                    Head("Content-Length: 99999999999999999999\r\n"), true, true},
        FramingCase{"HeaderNameInAnyCase", Head("CONTENT-LENGTH: 3\r\n") + "ab", true, false},
        FramingCase{"SpaceBeforeColonIsNotTheHeader", Head("Content-Length : 3\r\n") + "ab", true,
                    true}),
    [](const testing::TestParamInfo<FramingCase>& info) { return info.param.name; });

TEST(ContentLength, ReadsLikeAtol) {
    EXPECT_EQ(ParseContentLength("12"), 12);
    EXPECT_EQ(ParseContentLength("+7"), 7);
    EXPECT_EQ(ParseContentLength("-3"), -3);
    EXPECT_EQ(ParseContentLength("42abc"), 42);
    EXPECT_EQ(ParseContentLength("abc"), 0);
    EXPECT_EQ(ParseContentLength(""), 0);
    EXPECT_EQ(ParseContentLength("\v5"), 5);
    EXPECT_EQ(ParseContentLength("4294967297"), 2147483647);
    EXPECT_EQ(ParseContentLength("-4294967297"), -2147483647 - 1);
}

// --- Splitting the request ---

TEST(RequestParsing, SplitsMethodPathHeadersAndBody) {
    std::string text = "POST /start?x=1 HTTP/1.1\r\nA: b\r\n\r\nC:\\cfg.json\r\nmore";
    HttpRequest request;
    ASSERT_TRUE(ParseRequest(text, ScanRequest(text).headerEnd, request));
    EXPECT_EQ(request.method, "POST");
    EXPECT_EQ(request.path, "/start?x=1");
    EXPECT_EQ(request.headerBlock, "POST /start?x=1 HTTP/1.1\r\nA: b");
    EXPECT_EQ(request.body, "C:\\cfg.json\r\nmore");
}

TEST(RequestParsing, IgnoresTheProtocolVersion) {
    std::string text = "GET /version anything at all\r\n\r\n";
    HttpRequest request;
    ASSERT_TRUE(ParseRequest(text, ScanRequest(text).headerEnd, request));
    EXPECT_EQ(request.path, "/version");
}

TEST(RequestParsing, KeepsAnEmptyPath) {
    std::string text = "GET  HTTP/1.1\r\n\r\n";
    HttpRequest request;
    ASSERT_TRUE(ParseRequest(text, ScanRequest(text).headerEnd, request));
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, "");
}

TEST(RequestParsing, RejectsRequestLineWithoutSecondSpace) {
    for (std::string text : {"GET /version\r\n\r\n", "GET \r\n\r\n", "GET\r\n\r\n", "\r\n\r\n"}) {
        HttpRequest request;
        EXPECT_FALSE(ParseRequest(text, ScanRequest(text).headerEnd, request)) << text;
    }
}

// --- Header lookup ---

TEST(HeaderLookup, TrimsSpacesAndTabsAroundTheValue) {
    EXPECT_EQ(FindHeader("GET / HTTP/1.1\r\nx-auth-token: \t abc d \t", "x-auth-token"), "abc d");
}

TEST(HeaderLookup, MatchesNameInAnyCaseAndKeepsValueCase) {
    EXPECT_EQ(FindHeader("GET / HTTP/1.1\r\nX-Auth-TOKEN:AbC", "x-auth-token"), "AbC");
}

TEST(HeaderLookup, FirstMatchingLineWins) {
    EXPECT_EQ(FindHeader("GET / HTTP/1.1\r\nA: 1\r\na: 2", "a"), "1");
}

TEST(HeaderLookup, NeverTakesTheRequestLine) {
    EXPECT_EQ(FindHeader("a: 1\r\nb: 2", "a"), "");
}

TEST(HeaderLookup, NeedsTheColonRightAfterTheName) {
    EXPECT_EQ(FindHeader("GET / HTTP/1.1\r\na : 1\r\na\t: 2\r\nab: 3", "a"), "");
}

TEST(HeaderLookup, AbsentAndEmptyValuesLookTheSame) {
    EXPECT_EQ(FindHeader("", "a"), "");
    EXPECT_EQ(FindHeader("GET / HTTP/1.1", "a"), "");
    EXPECT_EQ(FindHeader("GET / HTTP/1.1\r\na:   ", "a"), "");
}

TEST(HeaderLookup, LinesEndOnlyAtCarriageReturnLineFeed) {
    EXPECT_EQ(FindHeader("GET / HTTP/1.1\r\nb: 1\na: 2", "a"), "");
    EXPECT_EQ(FindHeader("GET / HTTP/1.1\r\nb: 1\na: 2", "b"), "1\na: 2");
}

// --- Response head ---

TEST(ResponseHead, FollowsTheTemplateForEachStatus) {
    EXPECT_EQ(FormatResponseHead(200, 14),
              "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 14\r\n"
              "Connection: close\r\n\r\n");
    EXPECT_EQ(FormatResponseHead(401, 0).substr(0, 26), "HTTP/1.1 401 Unauthorized\r");
    EXPECT_EQ(FormatResponseHead(404, 0).substr(0, 23), "HTTP/1.1 404 Not Found\r");
    EXPECT_EQ(FormatResponseHead(500, 0).substr(0, 35), "HTTP/1.1 500 Internal Server Error\r");
}

// --- JSON escaping ---

struct EscapeCase {
    const char* name;
    std::string input;
    std::string expected;
};

void PrintTo(const EscapeCase& c, std::ostream* os) {
    *os << c.name;
}

class JsonEscaping : public testing::TestWithParam<EscapeCase> {};

TEST_P(JsonEscaping, ProducesValidJsonStringContent) {
    EXPECT_EQ(JsonEscape(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, JsonEscaping,
    testing::Values(
        EscapeCase{"PlainText", "config not found", "config not found"},
        EscapeCase{"BackslashesDoubled", "C:\\a\\b.json", "C:\\\\a\\\\b.json"},
        EscapeCase{"QuoteTabLineFeed", "a\"b\tc\nd", "a\\\"b\\tc\\nd"},
        EscapeCase{"OtherControlBytesDropped",
                   std::string("a\rb\x01"
                               "c\x1f"
                               "d\0e",
                               9),
                   "abcde"},
        EscapeCase{"DeleteKept", "a\x7f", "a\x7f"},
        EscapeCase{"ValidUtf8Kept", "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80",
                   "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        EscapeCase{"TruncatedTailReplaced", "ok \xe2\x82", "ok \xef\xbf\xbd"},
        EscapeCase{"LoneContinuationReplaced",
                   "a\x80"
                   "b",
                   "a\xef\xbf\xbd"
                   "b"},
        EscapeCase{"InvalidLeadReplaced", "\xff\xc0\xaf", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        EscapeCase{"OverlongReplaced", "\xe0\x80\xaf", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        EscapeCase{"SurrogateReplaced", "\xed\xa0\x80", "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        EscapeCase{"BeyondUnicodeReplaced", "\xf4\x90\x80\x80",
                   "\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd\xef\xbf\xbd"},
        EscapeCase{"BrokenSequenceKeepsFollowingQuoteEscaped", "\xe2\x82\"", "\xef\xbf\xbd\\\""}),
    [](const testing::TestParamInfo<EscapeCase>& info) { return info.param.name; });

// --- /start body ---

TEST(ConfigPathTrimming, RemovesTrailingLineEndsAndSpacesOnly) {
    EXPECT_EQ(TrimConfigPath("C:\\cfg.json \r\n \n"), "C:\\cfg.json");
    EXPECT_EQ(TrimConfigPath("C:\\cfg.json\t"), "C:\\cfg.json\t");
    EXPECT_EQ(TrimConfigPath("  C:\\cfg.json"), "  C:\\cfg.json");
    EXPECT_EQ(TrimConfigPath("\r\n \r\n"), "");
    EXPECT_EQ(TrimConfigPath("\"C:\\cfg.json\""), "\"C:\\cfg.json\"");
}

// --- Token check ---

TEST(TokenCheck, AcceptsOnlyTheExactBytes) {
    const std::string token = "0123456789abcdef0123456789abcdef";
    EXPECT_TRUE(TokenMatches(token, token));
    EXPECT_FALSE(TokenMatches("0123456789ABCDEF0123456789ABCDEF", token));
    EXPECT_FALSE(TokenMatches(token + "0", token));
    EXPECT_FALSE(TokenMatches(token.substr(1), token));
    EXPECT_FALSE(TokenMatches("0123456789abcdef0123456789abcdee", token));
    EXPECT_FALSE(TokenMatches("", token));
    EXPECT_TRUE(TokenMatches("", ""));
}
