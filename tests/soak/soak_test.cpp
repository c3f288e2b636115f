// CTest runs 300 requests. The long form: bash scripts/soak.sh 10000
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>
#include "base/text.h"
#include "support.h"

namespace {

enum class Client { kReads, kHalfCloses, kLeaves };

struct Abuse {
    std::string bytes;  // "{token}" stands for the access token
    Client client;
    int status;  // of a client that reads; 0: closed without an answer
};

const std::vector<Abuse> kMix = {
    {"GET /version HTTP/1.1\r\n\r\n", Client::kReads, 200},
    {"GET /status HTTP/1.1\r\nx-auth-token: {token}\r\n\r\n", Client::kReads, 200},
    {"GET /status HTTP/1.1\r\nx-auth-token: wrong-token\r\n\r\n", Client::kReads, 401},
    {"POST /stop HTTP/1.1\r\n\r\n", Client::kReads, 401},
    {"GET /start HTTP/1.1\r\nx-auth-token: {token}\r\n\r\n", Client::kReads, 404},
    {"POST /start HTTP/1.1\r\nx-auth-token: {token}\r\nContent-Length: 30000\r\n\r\n" +
         std::string(30000, 'b'),
     Client::kReads, 500},
    {"GARBAGE\r\n\r\n", Client::kReads, 0},
    {"GET /status HTTP/1.1\r\nX: " + std::string(70000, 'z'), Client::kReads, 0},
    {"GET /version HTTP/1.1\r\n\r\n", Client::kHalfCloses, 200},
    {"GET /st", Client::kLeaves, 0},
    {"", Client::kLeaves, 0}};

class Soak : public testing::Test {
protected:
    void SetUp() override {
        name_ = UniqueServiceName(L"soak");
        core_ = ProgramPath(L"standin-core.exe");
        ASSERT_TRUE(SetParameter(name_, L"CoreBinary", core_));
        ASSERT_TRUE(SetParameter(name_, L"GuiBinary", OwnImagePath()));
        ASSERT_TRUE(service_.Start(name_)) << service_.Log();
        std::wstring config = DataDirectoryOf(name_) + L"\\core.conf";
        ASSERT_TRUE(WriteFileBytes(config, "quiet=1\n"));
        config_ = ToUtf8(config);
    }
    void TearDown() override {
        service_.Kill();
        EndProcessesOf(core_);
        DeleteParameters(name_);
    }

    void Send(const Abuse& abuse, int index) {
        std::string bytes = Filled(abuse.bytes, "{token}", service_.token);
        if (abuse.client == Client::kReads) {
            EXPECT_EQ(SendRaw(service_.port, bytes).status, abuse.status) << index;
            return;
        }
        UniqueSocket s = ConnectLoopback(service_.port);
        send(s.get(), bytes.data(), static_cast<int>(bytes.size()), 0);
        if (abuse.client == Client::kHalfCloses) {
            shutdown(s.get(), SD_SEND);
            EXPECT_EQ(ReceiveAll(s.get()).rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << index;
        }
    }

    void StartStopCycle() {
        auto call = [&](const char* method, const char* path, const std::string& body = "") {
            return SendRequest(service_.port, method, path, service_.token, body).body;
        };
        EXPECT_EQ(call("POST", "/start", config_), "{\"ok\":true}");
        EXPECT_EQ(call("GET", "/status"), "{\"running\":true}");
        EXPECT_EQ(call("POST", "/stop").rfind("{\"ok\":true,", 0), 0u);
        EXPECT_EQ(call("GET", "/status"), "{\"running\":false}");
    }

    std::wstring name_, core_;
    std::string config_;
    ConsoleService service_;
};

TEST_F(Soak, SurvivesMixedAbuseWithoutLeaks) {
    const char* requested = std::getenv("VELMORA_SOAK_REQUESTS");
    const int total = requested != nullptr && std::atoi(requested) > 0 ? std::atoi(requested) : 300;
    // Every path once before the baseline, so first-use allocations do not count.
    StartStopCycle();
    for (size_t i = 0; i < kMix.size(); ++i) {
        Send(kMix[i], -1);
    }
    ProcessUsage before = MeasureProcess(service_.child.process.get(), name_);
    ASSERT_TRUE(before.measured) << "cannot read velmora's handles and memory";

    std::mt19937 random(12345);
    for (int i = 0; i < total && !HasFailure(); ++i) {
        if (i % 100 == 99) {
            StartStopCycle();
        } else {
            Send(kMix[random() % kMix.size()], i);
        }
    }
    for (const Abuse& abuse : kMix) {
        Send(abuse, total);
    }
    StartStopCycle();
    EXPECT_TRUE(WaitUntil([&] { return ProcessesRunning(core_).empty(); }, 10000))
        << "a core process outlived /stop";

    ProcessUsage after = MeasureProcess(service_.child.process.get(), name_);
    ASSERT_TRUE(after.measured);
    EXPECT_LE(after.handles, before.handles + 8);
    EXPECT_LE(after.memoryBytes, before.memoryBytes + 2 * 1024 * 1024);
    std::printf("soak: %d requests; handles %llu -> %llu; memory %llu -> %llu bytes\n", total,
                before.handles, after.handles, before.memoryBytes, after.memoryBytes);
}

}  // namespace
