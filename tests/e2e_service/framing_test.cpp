// A console-mode velmora's reading of requests off the wire and framing of answers.
#include <gtest/gtest.h>

#include <string>
#include <vector>
#include "support.h"

namespace {

std::string Answer(const std::string& statusLine, const std::string& body) {
    return "HTTP/1.1 " + statusLine +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) +
           "\r\nConnection: close\r\n\r\n" + body;
}

const std::string kVersion = Answer("200 OK", "{\"protocol\":1}");

std::vector<std::string> Bytes(const std::string& text) {
    std::vector<std::string> segments;
    for (char c : text) {
        segments.push_back(std::string(1, c));
    }
    return segments;
}

class Wire : public testing::Test {
protected:
    void SetUp() override {
        std::wstring name = UniqueServiceName(L"wire");
        // No configuration file named here exists, so no core is ever started.
        ASSERT_TRUE(SetParameter(name, L"CoreBinary", ProgramPath(L"standin-core.exe")));
        ASSERT_TRUE(SetParameter(name, L"GuiBinary", OwnImagePath()));
        ASSERT_TRUE(service_.Start(name)) << service_.Log();
    }
    void TearDown() override {
        service_.Kill();
        DeleteParameters(service_.name);
    }
    ConsoleService service_;
};

// The caller check takes as long as the system's connection table: such rows are not timed.
enum Timing { kQuick, kAtDeadline, kCallerChecked };

struct WireCase {
    const char* name;
    std::vector<std::string> segments;  // "{token}" stands for the service's access token
    DWORD pauseMs;                      // between two segments
    bool halfClose;                     // shut down the sending side after the last segment
    std::string answer;                 // all bytes received; empty: closed without an answer
    Timing timing;
};

const std::string kDrip = "GET /version HTTP/1.1\r\nX: " + std::string(100, 'a') + "\r\n\r\n";
const std::string kShortBody = "POST /version HTTP/1.1\r\nContent-Length: 10\r\n\r\nab";
// A /start whose body never arrives whole; the limit row fills 65,536 bytes with the token in.
std::string CutStart(const std::string& length) {
    return "POST /start HTTP/1.1\r\nx-auth-token: {token}\r\nContent-Length: " + length +
           "\r\n\r\nZ:\\none";
}
const std::string kAtLimit =
    CutStart("65536") + std::string(65536 - CutStart("65536").size() - 25, 'a');

TEST_F(Wire, AnswersEachWayOfSendingOnceAndInTime) {
    const std::string kNoConfig = "{\"ok\":false,\"error\":\"config not found: Z:\\\\none\"}";
    const std::string kCut =
        Answer("400 Bad Request", "{\"ok\":false,\"error\":\"incomplete request\"}");
    // clang-format off
    const WireCase rows[] = {
        {"AnyMethodWithoutHeaders", {"FROB /version HTTP/1.1\r\n\r\n"}, 0, false, kVersion, kQuick},
        {"BodyAcrossSegments", {"POST /start HTTP/1.1\r\nx-auth-token: {token}\r\n",
         "Content-Length: 7\r\n\r", "\nZ:", "\\no", "ne"}, 200, false,
         Answer("500 Internal Server Error", kNoConfig), kCallerChecked},
        {"ShortBodyWhenPeerStops", {kShortBody}, 0, true, kVersion, kQuick},
        {"ShortBodyAtDeadline", {kShortBody}, 0, false, kVersion, kAtDeadline},
        {"StartCutWhenPeerStops", {CutStart("200")}, 0, true, kCut, kCallerChecked},
        {"StartCutAtDeadline", {CutStart("200")}, 0, false, kCut, kAtDeadline},
        {"StartCutAtTheLimit", {kAtLimit}, 0, false, kCut, kCallerChecked},
        {"StartAboveTheLimit", {CutStart("65537")}, 0, false, kCut, kCallerChecked},
        {"HalfClosedBeforeHeaderEnd", {"GET /version HTTP/1.1\r\n"}, 0, true, "", kQuick},
        {"NoSpaceAtAll", {"GET\r\nHost: x\r\n\r\n"}, 0, false, "", kQuick},
        {"HeadOver64KiB", {"GET /version HTTP/1.1\r\nX: " + std::string(70000, 'a')}, 0, false, "",
         kQuick},
        // 130 bytes 100 ms apart: each receive is quick, the whole request is not.
        {"DripsPastTheDeadline", Bytes(kDrip), 100, false, "", kAtDeadline}};
    // clang-format on
    for (const WireCase& c : rows) {
        SCOPED_TRACE(c.name);
        UniqueSocket client = ConnectLoopback(service_.port);
        ASSERT_TRUE(client);
        BOOL noDelay = TRUE;
        setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof noDelay);
        ULONGLONG start = GetTickCount64();
        for (size_t i = 0; i < c.segments.size(); ++i) {
            std::string bytes = Filled(c.segments[i], "{token}", service_.token);
            Sleep(i > 0 ? c.pauseMs : 0);
            // A failed send: the server has closed the connection already.
            if (send(client.get(), bytes.data(), static_cast<int>(bytes.size()), 0) < 0) {
                break;
            }
        }
        if (c.halfClose) {
            shutdown(client.get(), SD_SEND);
        }
        EXPECT_EQ(ReceiveAll(client.get(), 20000), c.answer);
        ULONGLONG elapsed = GetTickCount64() - start;
        if (c.timing != kCallerChecked) {
            EXPECT_LT(elapsed, c.timing == kAtDeadline ? 15000u : 4000u);
            EXPECT_GE(elapsed, c.timing == kAtDeadline ? 4000u : 0u);
        }
    }
}

TEST_F(Wire, AnswersNotFoundToEveryOtherRouteAfterBothChecks) {
    const std::string head = " HTTP/1.1\r\nx-auth-token: " + service_.token + "\r\n\r\n";
    for (const char* line : {"POST /status", "GET /start", "GET /stop", "get /status",
                             "GET /status?x=1", "GET /status/", "GET ", "PUT /version/"}) {
        EXPECT_EQ(SendRaw(service_.port, line + head).raw,
                  Answer("404 Not Found", "{\"ok\":false,\"error\":\"not found\"}"))
            << line;
    }
}

}  // namespace
