// Both checks of the caller and the routes that need no core, through ServeConnection with a
// client thread of this process (registered as GuiBinary) or a velmoractl process.
#include <algorithm>
#include <set>
#include <ostream>
#include <string>
#include <vector>
#include "api/caller.h"
#include "api/connection.h"
#include "app/state.h"
#include "app/text.h"
#include "fixture.h"
#include "support.h"

namespace {

const char kUntrusted[] = "{\"ok\":false,\"error\":\"untrusted caller\"}";
const char kUnauthorized[] = "{\"ok\":false,\"error\":\"unauthorized\"}";
const char kNotFound[] = "{\"ok\":false,\"error\":\"not found\"}";
const char kEmptyConfigPath[] = "{\"ok\":false,\"error\":\"empty config path\"}";
const char kWarning[] = "WARNING: GuiBinary not registered, peer verification disabled";

// The printed line without its line end (CR LF on a Windows text stream).
std::string PrintedLine(const std::string& out) {
    std::string line = out;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) {
        line.pop_back();
    }
    return line;
}

}  // namespace

// --- Routes that both checks guard but that never reach the core ---

using Dispatch = ApiTest;

TEST_F(Dispatch, AnswersVersionEvenToUntrustedCallerWithoutToken) {
    SetGuiBinary(L"C:\\Program Files\\Trusted\\app.exe");
    ClientResult result = Request("GET", "/version", "");
    EXPECT_EQ(result.status, 200);
    EXPECT_EQ(result.body, "{\"protocol\":1}");
    EXPECT_EQ(Log(), "");
}

TEST_F(Dispatch, AcceptsGuiBinaryInOtherLetterCase) {
    std::wstring path = OwnImagePath();
    std::transform(path.begin(), path.end(), path.begin(), towupper);
    SetGuiBinary(path);
    EXPECT_EQ(Request("GET", "/nothing", "x-auth-token: " + token).body, kNotFound);
}

TEST_F(Dispatch, AcceptsTokenWithSpacesAndTabsAround) {
    ClientResult result = Request("GET", "/nothing", "x-auth-token: \t " + token + " \t");
    EXPECT_EQ(result.status, 404);
    EXPECT_EQ(result.body, kNotFound);
}

class WrongToken : public ApiTest, public testing::WithParamInterface<const char*> {};

TEST_P(WrongToken, IsRefusedAsUnauthorized) {
    std::string line = GetParam();
    size_t at = line.find("TOKEN");
    if (at != std::string::npos) {
        line.replace(at, 5, token);
    }
    size_t upper = line.find("UPPER");
    if (upper != std::string::npos) {
        std::string shout = token;
        std::transform(shout.begin(), shout.end(), shout.begin(), toupper);
        line.replace(upper, 5, shout);
    }
    ClientResult result = Request("GET", "/status", line);
    EXPECT_EQ(result.status, 401);
    EXPECT_EQ(result.body, kUnauthorized);
}

INSTANTIATE_TEST_SUITE_P(Cases, WrongToken,
                         testing::Values("", "x-auth-token:", "x-auth-token: UPPER",
                                         "x-auth-token: TOKENx", "x-auth-token: xTOKEN",
                                         "x-auth-token: 0123456789abcdef0123456789abcdee",
                                         "x-auth-token: 0123456789abcdef0123456789abcde",
                                         "x-auth-token : TOKEN", "x-auth-tokens: TOKEN"));

struct RouteCase {
    const char* method;
    const char* path;
};

void PrintTo(const RouteCase& c, std::ostream* os) {
    *os << c.method << ' ' << c.path;
}

class UnknownRoute : public ApiTest, public testing::WithParamInterface<RouteCase> {};

TEST_P(UnknownRoute, IsNotFoundAfterBothChecks) {
    ClientResult result = Request(GetParam().method, GetParam().path, "x-auth-token: " + token);
    EXPECT_EQ(result.status, 404);
    EXPECT_EQ(result.body, kNotFound);
}

INSTANTIATE_TEST_SUITE_P(Cases, UnknownRoute,
                         testing::Values(RouteCase{"POST", "/status"}, RouteCase{"GET", "/start"},
                                         RouteCase{"GET", "/stop"}, RouteCase{"get", "/status"},
                                         RouteCase{"GET", "/status?x=1"},
                                         RouteCase{"GET", "/status/"}, RouteCase{"GET", ""},
                                         RouteCase{"PUT", "/version/"}));

TEST_F(Dispatch, AnswersEmptyConfigPathForBlankStartBody) {
    for (std::string body : {"\r\n \r\n  \n", ""}) {
        ClientResult result = Request("POST", "/start", "x-auth-token: " + token, body);
        EXPECT_EQ(result.status, 500);
        EXPECT_EQ(result.body, kEmptyConfigPath);
    }
}

// --- GuiBinary present but empty ---

TEST_F(Dispatch, RefusesEveryCallerWhenGuiBinaryIsEmpty) {
    SetGuiBinary(L"");
    EXPECT_EQ(Request("GET", "/status", "x-auth-token: " + token).body, kUntrusted);
    EXPECT_EQ(CountOf(Log(), kWarning), 0u);
}

TEST_F(Dispatch, RefusesCallerThatShutsDownItsSendingSide) {
    ClientResult result =
        Serve({"GET /nothing HTTP/1.1\r\nx-auth-token: " + token + "\r\n\r\n"}, 0, true);
    EXPECT_EQ(result.body, kUntrusted);
}

// --- A second process as the client ---

class PeerProcess : public ApiTest {
protected:
    void SetUp() override {
        ApiTest::SetUp();
        SetGuiBinary(ProgramPath(L"velmoractl.exe"));
        ASSERT_TRUE(
            WriteFileBytes(DataDirectoryOf(name) + L"\\service.conf",
                           "port=" + std::to_string(listener.port) + "\ntoken=" + token + "\n"));
    }

    bool StartClient(ChildProcess& child, const std::wstring& extra = L"") {
        return StartProgram(ProgramPath(L"velmoractl.exe"),
                            L"--name \"" + name + L"\" version" + extra, child);
    }

    // The next connection once its client has sent its request.
    UniqueSocket AcceptSent() {
        UniqueSocket connection = listener.Accept();
        if (connection && !WaitForData(connection.get(), 20000)) {
            connection.reset();
        }
        return connection;
    }

    static uint16_t PeerPort(SOCKET connection) {
        sockaddr_in peer = {};
        int length = sizeof peer;
        getpeername(connection, reinterpret_cast<sockaddr*>(&peer), &length);
        return ntohs(peer.sin_port);
    }

    static void Answer(UniqueSocket connection, const std::string& body) {
        SendResponse(connection.get(), 200, body);
    }
};

TEST_F(PeerProcess, MatchesClientProcessRegisteredAsGuiBinary) {
    ChildProcess child;
    ASSERT_TRUE(StartClient(child));
    UniqueSocket connection = AcceptSent();
    ASSERT_TRUE(connection);
    EXPECT_EQ(FindPeerPid(PeerPort(connection.get()), listener.port), child.pid);
    EXPECT_TRUE(VerifyPeer(connection.get()));
    Answer(std::move(connection), "{\"ok\":true}");
    EXPECT_EQ(child.Wait(20000), 0u);
    EXPECT_EQ(PrintedLine(child.Stdout()), "200 {\"ok\":true}");
}

TEST_F(PeerProcess, RefusesClientBoundToAnotherLoopbackAddress) {
    ChildProcess child;
    ASSERT_TRUE(StartClient(child, L" --bind 127.0.0.2"));
    UniqueSocket connection = AcceptSent();
    ASSERT_TRUE(connection);
    EXPECT_EQ(FindPeerPid(PeerPort(connection.get()), listener.port), 0u);
    EXPECT_FALSE(VerifyPeer(connection.get()));
    Answer(std::move(connection), "{}");
    child.Wait(20000);
    EXPECT_EQ(CountOf(Log(), "rejected peer"), 0u) << Log();
}

TEST_F(PeerProcess, MatchesEachOfSeveralOpenConnectionsToItsOwnProcess) {
    constexpr int kClients = 4;
    ChildProcess children[kClients];
    std::set<DWORD> started;
    for (ChildProcess& child : children) {
        ASSERT_TRUE(StartClient(child));
        started.insert(child.pid);
    }
    std::vector<UniqueSocket> connections;
    for (int i = 0; i < kClients; ++i) {
        connections.push_back(AcceptSent());
        ASSERT_TRUE(connections.back());
    }
    // All are open at once; answer each with the process id it was matched to.
    std::set<DWORD> found;
    for (UniqueSocket& connection : connections) {
        DWORD pid = FindPeerPid(PeerPort(connection.get()), listener.port);
        EXPECT_TRUE(VerifyPeer(connection.get()));
        found.insert(pid);
        Answer(std::move(connection), "{\"pid\":" + std::to_string(pid) + "}");
    }
    EXPECT_EQ(found, started);
    for (ChildProcess& child : children) {
        EXPECT_EQ(child.Wait(20000), 0u);
        EXPECT_EQ(PrintedLine(child.Stdout()), "200 {\"pid\":" + std::to_string(child.pid) + "}");
    }
}

TEST_F(PeerProcess, RefusesOtherProcessWithRejectionLine) {
    SetGuiBinary(OwnImagePath());
    ChildProcess child;
    ASSERT_TRUE(StartClient(child));
    UniqueSocket connection = AcceptSent();
    ASSERT_TRUE(connection);
    EXPECT_FALSE(VerifyPeer(connection.get()));
    Answer(std::move(connection), "{}");
    child.Wait(20000);
    std::string expected = FormatText("rejected peer pid=%lu path=%ls", child.pid,
                                      ProgramPath(L"velmoractl.exe").c_str());
    EXPECT_EQ(CountOf(Log(), expected), 1u) << Log();
}

// --- velmoractl against ServeConnection ---

TEST_F(PeerProcess, VelmoractlPrintsRefusalAndFailsWithWrongToken) {
    std::wstring tokenFile = DataDirectoryOf(name) + L"\\wrong-token";
    ASSERT_TRUE(WriteFileBytes(tokenFile, "not-the-token\r\n"));
    ChildProcess child;
    ASSERT_TRUE(StartProgram(ProgramPath(L"velmoractl.exe"),
                             L"--name \"" + name + L"\" status --token-file \"" + tokenFile + L"\"",
                             child));
    UniqueSocket connection = listener.Accept();
    ASSERT_TRUE(connection);
    ServeConnection(connection.release(), token);
    EXPECT_EQ(child.Wait(20000), 1u);
    EXPECT_EQ(PrintedLine(child.Stdout()), std::string("401 ") + kUnauthorized);
}

TEST(Velmoractl, RejectsBadUsageWithExitCodeTwo) {
    for (std::wstring args : {L"", L"status", L"--name x", L"--name x start", L"--name x frob",
                              L"--name x --raw f status"}) {
        EXPECT_EQ(RunProgram(ProgramPath(L"velmoractl.exe"), args), 2u) << ToUtf8(args);
    }
}

TEST(Velmoractl, FailsWithoutEndpointFile) {
    std::string err;
    std::wstring args = L"--name " + UniqueServiceName(L"noconf") + L" status";
    EXPECT_EQ(RunProgram(ProgramPath(L"velmoractl.exe"), args, nullptr, &err), 1u);
    EXPECT_NE(err.find("no valid endpoint file"), std::string::npos) << err;
}
