// ServeConnection over real loopback sockets: framing, limits, the deadline and the response.
#include <ostream>
#include <string>
#include <vector>
#include "fixture.h"

namespace {

const char kVersionBody[] = "{\"protocol\":1}";
// The whole-request deadline is 5000 ms; generous room for a loaded machine.
constexpr ULONGLONG kDeadlineWithMarginMs = 9000;

std::string Version(const std::string& method) {
    return method + " /version HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
}

}  // namespace

using RequestReading = ApiTest;

TEST_F(RequestReading, AnswersVersionToAnyMethodWithExactHead) {
    for (std::string method : {"GET", "POST", "DELETE", "get", "X"}) {
        ClientResult result = Serve(Version(method));
        EXPECT_EQ(result.raw,
                  "HTTP/1.1 200 OK\r\nContent-Type: application/json\r\nContent-Length: 14\r\n"
                  "Connection: close\r\n\r\n{\"protocol\":1}")
            << method;
    }
}

TEST_F(RequestReading, AssemblesRequestSentInManySmallSegments) {
    std::string request = Version("GET");
    std::vector<std::string> segments;
    for (char c : request) {
        segments.push_back(std::string(1, c));
    }
    ClientResult result = Serve(segments, 5);
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.body, kVersionBody);
}

TEST_F(RequestReading, WaitsForAnnouncedBodyAcrossSegments) {
    ClientResult result =
        Serve({"POST /version HTTP/1.1\r\nContent-Length: 6\r\n\r\nab", "cd", "ef"}, 100);
    EXPECT_EQ(result.status, 200);
}

struct SilentCase {
    const char* name;
    std::vector<std::string> segments;
    bool shutdownSend;
};

void PrintTo(const SilentCase& c, std::ostream* os) {
    *os << c.name;
}

class SilentClose : public ApiTest, public testing::WithParamInterface<SilentCase> {};

TEST_P(SilentClose, ClosesWithoutResponseWithinDeadline) {
    ClientResult result = Serve(GetParam().segments, 0, GetParam().shutdownSend);
    ASSERT_TRUE(result.connected);
    EXPECT_EQ(result.raw, "");
    EXPECT_LT(lastServeMs, kDeadlineWithMarginMs);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, SilentClose,
    testing::Values(SilentCase{"BareLineFeeds", {"GET /version HTTP/1.1\n\n"}, false},
                    SilentCase{"NoSecondSpace", {"GET /version\r\n\r\n"}, false},
                    SilentCase{"NoSpaceAtAll", {"GET\r\nHost: x\r\n\r\n"}, false},
                    SilentCase{"PeerClosesBeforeHeaderEnd", {"GET /version HTTP/1.1\r\n"}, true},
                    SilentCase{"NothingSent", {}, false},
                    SilentCase{"OversizedWithoutHeaderEnd",
                               {"GET /version HTTP/1.1\r\nX: " + std::string(70000, 'a')},
                               false}),
    [](const testing::TestParamInfo<SilentCase>& info) { return info.param.name; });

TEST_F(RequestReading, CutsOffClientThatDripsBytesAtTheDeadline) {
    std::string request = "GET /version HTTP/1.1\r\nX: " + std::string(100, 'a') + "\r\n\r\n";
    std::vector<std::string> segments;
    for (char c : request) {
        segments.push_back(std::string(1, c));
    }
    // 130 bytes, one every 100 ms: far beyond the deadline, each byte far within a receive wait.
    ClientResult result = Serve(segments, 100);
    EXPECT_EQ(result.status, 0);
    EXPECT_LT(lastServeMs, kDeadlineWithMarginMs);
}

TEST_F(RequestReading, ServesShortBodyWhenDeadlinePasses) {
    ClientResult result =
        Serve({"POST /version HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc", "de"}, 200);
    EXPECT_EQ(result.status, 200);
    EXPECT_LT(lastServeMs, kDeadlineWithMarginMs);
}

TEST_F(RequestReading, ServesShortBodyWhenPeerStopsSending) {
    ClientResult result =
        Serve({"POST /version HTTP/1.1\r\nContent-Length: 10\r\n\r\nabc"}, 0, true);
    EXPECT_EQ(result.body, kVersionBody);
}

TEST_F(RequestReading, DoesNotWaitForContentLengthAboveLimit) {
    for (std::string length : {"65537", "-1", "99999999999"}) {
        ClientResult result =
            Serve("POST /version HTTP/1.1\r\nContent-Length: " + length + "\r\n\r\n");
        EXPECT_EQ(result.status, 200) << length;
        // Well before the deadline: it did not wait for the body.
        EXPECT_LT(lastServeMs, 4000u) << length;
    }
}

TEST_F(RequestReading, ServesRequestWhoseBodyReachesTheLimit) {
    std::string head = "POST /version HTTP/1.1\r\nContent-Length: 65536\r\n\r\n";
    ClientResult result = Serve({head, std::string(65536, 'b')});
    EXPECT_EQ(result.status, 200);
}
