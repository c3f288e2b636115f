// service.conf held open by another process, the way fopen opens it (sharing reading and
// writing, not deletion), across a restart of velmora.exe console.
#include <gtest/gtest.h>
#include <cstdio>
#include <string>
#include "support.h"

namespace {

class HeldEndpointFile : public testing::TestWithParam<bool> {};

TEST_P(HeldEndpointFile, NeitherKeepsTheServiceFromStartingNorGoesStale) {
    const bool basePortTaken = GetParam();
    std::wstring name = UniqueServiceName(L"held");
    std::wstring path = DataDirectoryOf(name) + L"\\service.conf";
    ConsoleService first;
    ASSERT_TRUE(first.Start(name)) << first.Log();
    first.Kill();
    std::string before = ReadFileBytes(path);
    int port = 0;
    char token[33] = {};
    ASSERT_EQ(sscanf_s(before.c_str(), "port=%d\ntoken=%32s", &port, token, 33), 2) << before;
    EXPECT_EQ(port, ExpectedBasePort(name));
    EXPECT_EQ(before, "port=" + std::to_string(port) + "\ntoken=" + token + "\n");

    UniqueHandle reader(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
    ASSERT_TRUE(reader.valid());
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    UniqueSocket blocker;
    if (basePortTaken) {
        blocker = ListenOn("127.0.0.1", port);
        ASSERT_TRUE(blocker);
    }
    ConsoleService second;
    ASSERT_TRUE(second.Start(name)) << second.Log();
    const int expectedPort = basePortTaken ? port + 1 : port;
    EXPECT_EQ(SendRequest(expectedPort, "GET", "/status", token).body, "{\"running\":false}");
    EXPECT_EQ(ReadFileBytes(path),
              "port=" + std::to_string(expectedPort) + "\ntoken=" + std::string(token) + "\n");
    second.Kill();
    if (basePortTaken) {
        // The file names base + 1 now: the next range begins there, even with the base port free.
        blocker.reset();
        ConsoleService third;
        ASSERT_TRUE(third.Start(name)) << third.Log();
        EXPECT_EQ(third.port, expectedPort);
        EXPECT_EQ(third.token, token);
        third.Kill();
    }
    WSACleanup();
}

INSTANTIATE_TEST_SUITE_P(Restarts, HeldEndpointFile, testing::Values(false, true),
                         [](const testing::TestParamInfo<bool>& info) {
                             return info.param ? "BasePortTaken" : "SamePort";
                         });

}  // namespace
