// Soak and abuse: one console-mode velmora takes a mix of good, bad and hostile clients, then must
// still answer every route correctly with its handles, memory and core state where they were.
//
// Short form (CTest): a few hundred requests. Long form:
//   bash scripts/soak.sh 10000
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include "app/text.h"
#include "support.h"

namespace {

int SoakRequests() {
    const char* value = std::getenv("VELMORA_SOAK_REQUESTS");
    int n = value != nullptr ? std::atoi(value) : 0;
    return n > 0 ? n : 300;
}

// Sends bytes and closes without reading, or reads, as the abuse case wants.
void ConnectAndClose(int port, const std::string& bytes, bool halfClose) {
    UniqueSocket s = ConnectLoopback(port);
    if (!s) {
        return;
    }
    if (!bytes.empty()) {
        send(s.get(), bytes.data(), static_cast<int>(bytes.size()), 0);
    }
    if (halfClose) {
        shutdown(s.get(), SD_SEND);
        char buffer[512];
        DWORD timeout = 10000;
        setsockopt(s.get(), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&timeout),
                   sizeof timeout);
        while (recv(s.get(), buffer, sizeof buffer, 0) > 0) {
        }
    }
}

// A slow client: a few bytes with pauses, then gone before the head is complete.
void DripAndClose(int port) {
    UniqueSocket s = ConnectLoopback(port);
    if (!s) {
        return;
    }
    for (const char* piece : {"GET /st", "atus HT", "TP/1.1\r\n"}) {
        send(s.get(), piece, static_cast<int>(strlen(piece)), 0);
        Sleep(30);
    }
}

class Soak : public ::testing::Test {
protected:
    void SetUp() override {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        name_ = UniqueServiceName(L"soak");
        core_ = ProgramPath(L"standin-core.exe");
        ASSERT_TRUE(SetParameter(name_, L"CoreBinary", core_));
        ASSERT_TRUE(SetParameter(name_, L"GuiBinary", OwnImagePath()));
        config_ = DataDirectoryOf(name_) + L"\\core.conf";
        ASSERT_TRUE(service_.Start(name_)) << service_.Log();
        ASSERT_TRUE(WriteFileBytes(config_, "quiet=1\n"));
        configUtf8_ = ToUtf8(config_);
    }
    void TearDown() override {
        service_.Kill();
        DeleteParameters(name_);
        WSACleanup();
    }

    HttpResult Call(const std::string& method, const std::string& path,
                    const std::string& body = "") {
        return SendRequest(service_.port, method, path, service_.token, body);
    }

    // One request of the mix; returns false when a valid request got a wrong answer.
    void OneOfTheMix(std::mt19937& random, int index) {
        int port = service_.port;
        switch (random() % 12) {
            case 0:
                EXPECT_EQ("{\"protocol\":1}", SendRequest(port, "GET", "/version").body) << index;
                break;
            case 1:
            case 2: {
                HttpResult status = Call("GET", "/status");
                EXPECT_EQ(200, status.status) << index;
                break;
            }
            case 3:
                EXPECT_EQ(401, SendRequest(port, "GET", "/status", "wrong-token").status) << index;
                break;
            case 4:
                EXPECT_EQ(401, SendRequest(port, "POST", "/stop").status) << index;
                break;
            case 5:
                EXPECT_EQ(0, SendRaw(port, "GARBAGE\r\n\r\n").status) << index;
                break;
            case 6:
                EXPECT_EQ(
                    0,
                    SendRaw(port, "GET /status HTTP/1.1\r\nX: " + std::string(70000, 'z')).status)
                    << index;
                break;
            case 7: {
                std::string big(30000, 'b');
                HttpResult result =
                    SendRaw(port, "POST /start HTTP/1.1\r\nx-auth-token: " + service_.token +
                                      "\r\nContent-Length: " + std::to_string(big.size()) +
                                      "\r\n\r\n" + big);
                EXPECT_EQ(500, result.status) << index;
                break;
            }
            case 8:
                ConnectAndClose(port, "", false);
                break;
            case 9:
                DripAndClose(port);
                break;
            case 10:
                ConnectAndClose(port, "GET /version HTTP/1.1\r\n\r\n", true);
                break;
            default:
                EXPECT_EQ(404, Call("GET", "/start").status) << index;
                break;
        }
    }

    void StartStopCycle() {
        EXPECT_EQ("{\"ok\":true}", Call("POST", "/start", configUtf8_).body);
        EXPECT_EQ("{\"running\":true}", Call("GET", "/status").body);
        EXPECT_EQ(200, Call("POST", "/stop").status);
        EXPECT_EQ("{\"running\":false}", Call("GET", "/status").body);
    }

    std::wstring name_;
    std::wstring core_;
    std::wstring config_;
    std::string configUtf8_;
    ConsoleService service_;
};

TEST_F(Soak, SurvivesMixedAbuseWithoutLeaks) {
    // Warm up every path once before the baseline, so first-use allocations do not count.
    StartStopCycle();
    std::mt19937 random(12345);
    for (int i = 0; i < 24; ++i) {
        OneOfTheMix(random, -1);
    }
    ProcessUsage before = MeasureProcess(service_.child.process.get(), name_);
    ASSERT_TRUE(before.measured) << "cannot read velmora's handles and memory";

    const int total = SoakRequests();
    const int cycleEvery = 100;
    for (int i = 0; i < total; ++i) {
        if (i % cycleEvery == cycleEvery - 1) {
            StartStopCycle();
        } else {
            OneOfTheMix(random, i);
        }
        if (HasFailure()) {
            FAIL() << "stopped at request " << i;
        }
    }

    // Every route still answers as it should.
    EXPECT_EQ("{\"protocol\":1}", SendRequest(service_.port, "GET", "/version").body);
    EXPECT_EQ("{\"running\":false}", Call("GET", "/status").body);
    StartStopCycle();
    EXPECT_TRUE(WaitUntil([&] { return ProcessesRunning(core_).empty(); }, 10000))
        << "a core process outlived /stop";

    ProcessUsage after = MeasureProcess(service_.child.process.get(), name_);
    ASSERT_TRUE(after.measured);
    EXPECT_LE(after.handles, before.handles + 8)
        << "handles " << before.handles << " -> " << after.handles;
    EXPECT_LE(after.memoryBytes, before.memoryBytes + 2 * 1024 * 1024)
        << "memory " << before.memoryBytes << " -> " << after.memoryBytes;
    std::string log = service_.Log();
    EXPECT_LT(log.size(), 10u * 1024 * 1024 + 4096);
    std::printf("soak: %d requests; handles %llu -> %llu; memory %llu -> %llu bytes\n", total,
                before.handles, after.handles, before.memoryBytes, after.memoryBytes);
}

}  // namespace
