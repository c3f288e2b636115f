// The byte logic of the control API, as tables.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include "api/caller.h"
#include "api/request.h"

namespace {

std::string Head(const std::string& headers) {
    return "POST /start HTTP/1.1\r\nHost: x\r\n" + headers + "\r\n";
}

TEST(RequestFraming, DecidesWhetherToKeepReading) {
    const std::tuple<std::string, bool, bool> rows[] = {
        {"GET /status HTTP/1.1\r\nHost: x\r\n", false, false},
        {"GET / HTTP/1.1\n\n", false, false},  // bare line feeds never end the head
        {"GET /status HTTP/1.1\r\n\r\n", true, true},
        {Head("Content-Length: x\r\n"), true, true},
        {Head("Content-Length: 5\r\n") + "abc", true, false},
        {Head("Content-Length: +5x\r\n") + "abcd", true, false},  // read like atol
        {Head("Content-Length: 5\r\n") + "abcde", true, true},
        {Head("Content-Length: 2\r\n") + "abc", true, true},
        {Head("Content-Length: 65536\r\n"), true, false},
        {Head("Content-Length: 65537\r\n"), true, true},
        {Head("Content-Length: -1\r\n"), true, true},
        {Head("Content-Length: 99999999999999999999\r\n"), true, true},  // saturated
        {Head("Content-Length: -4294967295\r\n"), true, true}};
    for (const auto& [text, headerEndFound, complete] : rows) {
        RequestScan scan = ScanRequest(text);
        EXPECT_EQ(scan.headerEndFound, headerEndFound) << text;
        EXPECT_EQ(scan.complete, complete) << text;
    }
}

TEST(RequestParsing, SplitsAtTheFirstTwoSpacesAndTheHeaderEnd) {
    const std::tuple<std::string, bool, std::string, std::string, std::string, std::string>
        cases[] = {{"POST /start?x=1 HTTP/1.1\r\nA: b\r\n\r\nC:\\c.json\r\nmore", true, "POST",
                    "/start?x=1", "POST /start?x=1 HTTP/1.1\r\nA: b", "C:\\c.json\r\nmore"},
                   {"GET /version any thing\r\n\r\n", true, "GET", "/version",
                    "GET /version any thing", ""},
                   {"GET  HTTP/1.1\r\n\r\n", true, "GET", "", "GET  HTTP/1.1", ""},
                   {"GET /version\r\n\r\n", false, "", "", "", ""},
                   {"GET \r\n\r\n", false, "", "", "", ""},
                   {"GET\r\n\r\n", false, "", "", "", ""}};
    for (const auto& [text, parsed, method, path, headerBlock, body] : cases) {
        HttpRequest request;
        ASSERT_EQ(ParseRequest(text, text.find("\r\n\r\n"), request), parsed) << text;
        EXPECT_EQ(request.method, method);
        EXPECT_EQ(request.path, path);
        EXPECT_EQ(request.headerBlock, headerBlock);
        EXPECT_EQ(request.body, body);
    }
}

TEST(HeaderLookup, FindsTheFirstLineNamedSoAndTrimsItsValue) {
    const char* const cases[][3] = {
        {"GET / HTTP/1.1\r\nx-auth-token: \t abc d \t", "x-auth-token", "abc d"},
        {"GET / HTTP/1.1\r\nX-Auth-TOKEN:AbC", "x-auth-token", "AbC"},
        {"GET / HTTP/1.1\r\nA: 1\r\na: 2", "a", "1"},
        {"a: 1\r\nb: 2", "a", ""},  // the request line is never a header
        {"GET / HTTP/1.1\r\na : 1\r\na\t: 2\r\nab: 3", "a", ""},
        {"", "a", ""},
        {"GET / HTTP/1.1", "a", ""},
        {"GET / HTTP/1.1\r\na:   ", "a", ""},
        {"GET / HTTP/1.1\r\nb: 1\na: 2", "a", ""},  // lines end only at CR LF
        {"GET / HTTP/1.1\r\nb: 1\na: 2", "b", "1\na: 2"}};
    for (const auto& c : cases) {
        EXPECT_EQ(FindHeader(c[0], c[1]), c[2]) << c[0];
    }
}

TEST(JsonEscaping, GivesValidJsonStringContent) {
    const std::string replacement = "\xef\xbf\xbd";
    const std::pair<std::string, std::string> cases[] = {
        {"a\"b\tc\nd", "a\\\"b\\tc\\nd"},
        {std::string("a\rb\001c\037d\0e", 9), "abcde"},
        {"a\x7f", "a\x7f"},
        {"\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80", "\xc3\xa9 \xe2\x82\xac \xf0\x9f\x98\x80"},
        {"ok \xe2\x82", "ok " + replacement},                       // cut off at the end
        {"a\200b", "a" + replacement + "b"},                        // lone continuation byte
        {"\xff\xc0\xaf", replacement + replacement + replacement},  // invalid leads
        {"\xe0\x80\xaf", replacement + replacement + replacement},  // overlong
        {"\xed\xa0\x80", replacement + replacement + replacement},  // surrogate
        {"\xf4\x90\x80\x80", replacement + replacement + replacement + replacement},
        {"\xe2\x82\"", replacement + "\\\""}};
    for (const auto& c : cases) {
        EXPECT_EQ(JsonEscape(c.first), c.second) << c.first;
    }
}

TEST(TokenCheck, AcceptsOnlyTheExactBytes) {
    const std::string token = "0123456789abcdef0123456789abcdef";
    const std::pair<std::string, bool> cases[] = {{token, true},
                                                  {token + "0", false},
                                                  {"0123456789abcdef0123456789abcdee", false},
                                                  {"", false}};
    for (const auto& c : cases) {
        EXPECT_EQ(TokenMatches(c.first, token), c.second) << c.first;
    }
}

}  // namespace
