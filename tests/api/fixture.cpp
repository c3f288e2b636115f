#include "fixture.h"

#include <thread>
#include "api/connection.h"
#include "app/state.h"
#include "support.h"

namespace {

class ProcessEnvironment : public testing::Environment {
public:
    void SetUp() override {
        WSADATA wsa;
        WSAStartup(MAKEWORD(2, 2), &wsa);
        // The process entry does this in the product.
        InitializeCriticalSection(&ServiceState.coreLock);
        InitializeCriticalSection(&ServiceState.statusLock);
    }
};

testing::Environment* const kEnvironment =
    testing::AddGlobalTestEnvironment(new ProcessEnvironment);

}  // namespace

void ApiTest::SetUp() {
    name = UniqueServiceName(L"api");
    ServiceState.serviceName = name;
    CreateDirectoryW(DataDirectoryOf(name).c_str(), nullptr);
    // A name can come back from an earlier run (process ids are reused), and its log with it.
    DeleteFileW((DataDirectoryOf(name) + L"\\service.log").c_str());
    ASSERT_TRUE(listener.Open());
    ServiceState.listenPort = listener.port;
    SetGuiBinary(OwnImagePath());
}

void ApiTest::TearDown() {
    DeleteParameters(name);
}

ClientResult ApiTest::Serve(const std::vector<std::string>& segments, DWORD pauseMs,
                            bool shutdownSend) {
    ClientResult result;
    std::thread client([&] { result = RunClient(listener.port, segments, pauseMs, shutdownSend); });
    UniqueSocket connection = listener.Accept();
    ULONGLONG start = GetTickCount64();
    if (connection) {
        ServeConnection(connection.release(), token);
    }
    lastServeMs = GetTickCount64() - start;
    client.join();
    return result;
}

ClientResult ApiTest::Request(const std::string& method, const std::string& path,
                              const std::string& tokenLine, const std::string& body) {
    std::string request = method + " " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\n";
    if (!tokenLine.empty()) {
        request += tokenLine + "\r\n";
    }
    request += "Content-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
    return Serve(request);
}

void ApiTest::SetGuiBinary(const std::wstring& path) {
    ASSERT_TRUE(SetParameter(name, L"GuiBinary", path));
}

std::string ApiTest::Log() const {
    return ReadFileBytes(DataDirectoryOf(name) + L"\\service.log");
}
