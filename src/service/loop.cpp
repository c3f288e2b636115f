#include "service/loop.h"

#include <algorithm>
#include <memory>
#include <string>
#include <vector>
#include "api/connection.h"
#include "base/event_log.h"
#include "base/handles.h"
#include "base/log.h"
#include "base/paths.h"
#include "base/state.h"
#include "config/endpoint_file.h"
#include "core/tracked_core.h"
#include "service/held_directory.h"
// After winsock2.h.
#include <mswsock.h>

namespace {

constexpr int kPortRange = 20;
constexpr DWORD kAcceptRetryMs = 500;
// Open connections at most; reading a connection costs a little memory and nothing else.
constexpr size_t kMaxConnections = 64;
constexpr int kCloseRounds = 100;
constexpr DWORD kCloseRoundMs = 10;

// Neither the listening socket nor a connection may be inherited by the core: a child holding
// them would keep the control port or a client's connection open.
UniqueSocket CreateListener() {
    return UniqueSocket(WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0,
                                   WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT));
}

bool BindAndListen(SOCKET listener, int32_t port) {
    BOOL exclusive = TRUE;
    setsockopt(listener, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive),
               sizeof exclusive);
    sockaddr_in address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Non-blocking, so that the backlog can be emptied with plain accepts until none is left.
    u_long nonBlocking = 1;
    return bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 &&
           listen(listener, SOMAXCONN) == 0 && ioctlsocket(listener, FIONBIO, &nonBlocking) == 0;
}

// Connections are taken with AcceptEx, whose completion signals the accept event as the result
// of an I/O request. Wine loses FD_ACCEPT notifications of WSAEventSelect now and then under
// load, which leaves a connection waiting in the backlog until the next one arrives.
struct PendingAccept {
    LPFN_ACCEPTEX acceptEx = nullptr;
    UniqueSocket connection;
    OVERLAPPED overlapped = {};
    char addresses[2 * (sizeof(sockaddr_in) + 16)] = {};
};

LPFN_ACCEPTEX FindAcceptEx(SOCKET listener) {
    GUID guid = WSAID_ACCEPTEX;
    LPFN_ACCEPTEX acceptEx = nullptr;
    DWORD bytes = 0;
    if (WSAIoctl(listener, SIO_GET_EXTENSION_FUNCTION_POINTER, &guid, sizeof guid, &acceptEx,
                 sizeof acceptEx, &bytes, nullptr, nullptr) != 0) {
        return nullptr;
    }
    return acceptEx;
}

// Starts taking the next connection; the accept event is set when one is there (starting the
// accept resets it). Returns the Win32 error, or 0.
DWORD PostAccept(SOCKET listener, PendingAccept& pending, HANDLE acceptEvent) {
    pending.connection = CreateListener();
    if (!pending.connection) {
        return static_cast<DWORD>(WSAGetLastError());
    }
    pending.overlapped = OVERLAPPED{};
    pending.overlapped.hEvent = acceptEvent;
    DWORD received = 0;
    const DWORD addressLength = sizeof(sockaddr_in) + 16;
    if (!pending.acceptEx(listener, pending.connection.get(), pending.addresses, 0, addressLength,
                          addressLength, &received, &pending.overlapped)) {
        DWORD error = static_cast<DWORD>(WSAGetLastError());
        if (error != ERROR_IO_PENDING) {
            pending.connection.reset();
            return error;
        }
    }
    return 0;
}

// The accept completed: the connection, or an empty socket when the client reset it first.
UniqueSocket TakeAccepted(SOCKET listener, PendingAccept& pending) {
    DWORD bytes = 0;
    DWORD flags = 0;
    if (!WSAGetOverlappedResult(listener, &pending.overlapped, &bytes, FALSE, &flags)) {
        pending.connection.reset();
        return UniqueSocket();
    }
    UniqueSocket connection = std::move(pending.connection);
    // Lets getpeername and the socket options see the accepted connection.
    setsockopt(connection.get(), SOL_SOCKET, SO_UPDATE_ACCEPT_CONTEXT,
               reinterpret_cast<const char*>(&listener), sizeof listener);
    return connection;
}

// Every open connection, each receiving on its own; a closed one stays until its receive has
// come back, since the system still writes into it.
struct ConnectionSet {
    std::vector<std::unique_ptr<ClientConnection>> all;
    // Set by every receive that comes back.
    HANDLE received = nullptr;

    bool AnyReceiving() const {
        for (const auto& c : all) {
            if (c->receiving) {
                return true;
            }
        }
        return false;
    }

    // Repeated until none is left: a receive posted on the way resets the shared event.
    void TakeAllReceived() {
        for (bool taken = true; taken;) {
            taken = false;
            for (const auto& c : all) {
                taken = TakeReceived(*c, received) || taken;
            }
        }
    }

    // When every place is taken, a connection still receiving makes room, so idle connections
    // cannot lock the trusted application out: first one whose head is not complete, then one
    // waiting for its body, the longest-waiting first. Receives that have come back count first:
    // a request under way never looks idle for want of a wake-up.
    void MakeRoom(bool& completionsRun) {
        size_t waiting = 0;
        for (const auto& c : all) {
            waiting += c->socket && !c->finished ? 1 : 0;
        }
        if (waiting < kMaxConnections) {
            return;
        }
        if (!completionsRun) {
            // A zero wait lets Wine deliver what has come back before it is looked at.
            WaitForSingleObject(received, 0);
            TakeAllReceived();
            completionsRun = true;
        }
        ClientConnection* victim = nullptr;
        for (const auto& c : all) {
            if (!c->socket || c->finished) {
                continue;
            }
            if (!victim || c->scan.headerEndFound < victim->scan.headerEndFound ||
                (c->scan.headerEndFound == victim->scan.headerEndFound &&
                 c->acceptedAt < victim->acceptedAt)) {
                victim = c.get();
            }
        }
        if (victim != nullptr) {
            victim->socket.reset();
        }
    }

    // Reads what the connection has sent. One that has already ended without a head is closed
    // at once: no record, no receive posted, no place taken.
    // `plain`: taken with accept, so inheritable and, like the listener, non-blocking.
    void Admit(UniqueSocket socket, bool plain, bool& completionsRun) {
        auto connection = std::make_unique<ClientConnection>();
        connection->socket = std::move(socket);
        connection->acceptedAt = GetTickCount64();
        BeginReceiving(*connection, received);
        if (connection->finished && !connection->scan.headerEndFound) {
            return;
        }
        if (plain) {
            SetHandleInformation(reinterpret_cast<HANDLE>(connection->socket.get()),
                                 HANDLE_FLAG_INHERIT, 0);
            // The answer is one send that must not give up for want of buffer space.
            u_long blocking = 0;
            ioctlsocket(connection->socket.get(), FIONBIO, &blocking);
        }
        if (!connection->finished) {
            MakeRoom(completionsRun);
        }
        all.push_back(std::move(connection));
    }

    // Answers the connections finished so far one at a time, in the order they finished, with
    // one read of the connection table for them all. False when there was none; stops early
    // when a stop is asked for.
    bool ServeFinished(const std::string& token) {
        std::vector<ClientConnection*> round;
        for (const auto& c : all) {
            if (c->socket && c->finished) {
                round.push_back(c.get());
            }
        }
        std::sort(round.begin(), round.end(), [](ClientConnection* a, ClientConnection* b) {
            return a->finishedOrder < b->finishedOrder;
        });
        PeerTable peers;
        for (size_t i = 0; i < round.size(); ++i) {
            // The loop's wait looks at the stop event before the first.
            if (i > 0 && WaitForSingleObject(ServiceState.stopEvent, 0) == WAIT_OBJECT_0) {
                break;
            }
            ServeReceived(*round[i], token, peers);
        }
        return !round.empty();
    }

    // Ends receiving for connections past their deadline. Milliseconds until the next deadline
    // (0 when one ended with a request to answer, or when one is due but may not be judged yet),
    // or INFINITE. After a round of answers, deadlines are judged only once what arrived
    // meanwhile has been taken in, in the next round.
    DWORD CloseExpired(bool mayClose) {
        ULONGLONG now = GetTickCount64();
        ULONGLONG next = ~0ull;
        for (const auto& c : all) {
            if (!c->socket || c->finished) {
                continue;
            }
            ULONGLONG deadline = c->acceptedAt + kRequestDeadlineMs;
            if (now >= deadline) {
                if (!mayClose) {
                    next = now;
                    continue;
                }
                // Headers that are all there make a request, answered with what it has.
                if (c->scan.headerEndFound) {
                    EndReceiving(*c);
                    next = now;
                } else {
                    c->socket.reset();
                }
            } else if (deadline < next) {
                next = deadline;
            }
        }
        return next == ~0ull ? INFINITE : static_cast<DWORD>(next - now);
    }

    void Prune() {
        size_t kept = 0;
        for (auto& c : all) {
            if (c->socket || c->receiving) {
                all[kept++] = std::move(c);
            }
        }
        all.resize(kept);
    }

    // Closes every connection and lets their receives come back. A record whose receive never
    // comes back is left alone rather than freed under it.
    void CloseAll() {
        for (auto& c : all) {
            c->socket.reset();
        }
        for (int round = 0; round < kCloseRounds; ++round) {
            TakeAllReceived();
            Prune();
            if (all.empty()) {
                return;
            }
            SleepEx(kCloseRoundMs, TRUE);
        }
        for (auto& c : all) {
            c.release();
        }
        all.clear();
    }
};

// The endpoint file while a reader holds it: the service serves on its new port meanwhile and
// tries again each second, without waiting for a connection to wake it.
constexpr DWORD kPublishRetryMs = 1000;
struct Publication {
    bool pending = false;
    ULONGLONG nextTryAt = 0;
};

// Tries again when due; the time until the next try, or INFINITE once the file is written.
DWORD PublishWhenDue(const EndpointInfo& endpoint, Publication& publication) {
    if (!publication.pending) {
        return INFINITE;
    }
    ULONGLONG now = GetTickCount64();
    if (now < publication.nextTryAt) {
        return static_cast<DWORD>(publication.nextTryAt - now);
    }
    if (WriteEndpointFile(endpoint, false)) {
        publication.pending = false;
        WriteLog("endpoint file %ls written", GetEndpointFilePath().c_str());
        return INFINITE;
    }
    publication.nextTryAt = now + kPublishRetryMs;
    return kPublishRetryMs;
}

DWORD OpenListener(UniqueSocket& listener, EndpointInfo& endpoint, Publication& publication) {
    EndpointSource source = EndpointSource::kNew;
    if (!SettleEndpoint(endpoint, source)) {
        WriteFatal("cannot write %ls (directory hijacked or permission denied)",
                   GetEndpointFilePath().c_str());
        return kLoopResultAccessDenied;
    }
    const int32_t basePort = endpoint.port;
    bool bound = false;
    for (int i = 0; i < kPortRange && basePort + i <= kHighestPort && !bound; ++i) {
        listener = CreateListener();
        if (!listener) {
            break;
        }
        bound = BindAndListen(listener.get(), basePort + i);
        if (bound) {
            endpoint.port = basePort + i;
        } else {
            listener.reset();
        }
    }
    if (!bound) {
        listener.reset();
        WriteLog("failed to bind any port from %d", static_cast<int>(basePort));
        return kLoopResultNoPort;
    }
    ServiceState.listenPort = static_cast<uint16_t>(endpoint.port);

    // The file is left alone when it names what is in use: a reader holding it open must not
    // keep the service from starting.
    bool published = source == EndpointSource::kFile && endpoint.port == basePort;
    if (!published && !WriteEndpointFile(endpoint)) {
        DWORD error = GetLastError();
        if (!IsReaderHold(error)) {
            WriteFatal("cannot write %ls (directory hijacked or permission denied)",
                       GetEndpointFilePath().c_str());
            listener.reset();
            return kLoopResultAccessDenied;
        }
        WriteLog("endpoint file %ls not yet written (err=%lu), retrying each second",
                 GetEndpointFilePath().c_str(), error);
        publication.pending = true;
        publication.nextTryAt = GetTickCount64() + kPublishRetryMs;
    }
    WriteLog("listening on 127.0.0.1:%d", static_cast<int>(endpoint.port));
    ReportServiceStarted(endpoint.port);
    return kLoopResultOk;
}

// Waits for the stop event, the next accepted connection, a receive that came back, the tracked
// core's end, a receiving deadline or a due restart. Without a pending accept it waits a little
// and the caller posts again.
enum class Woken { kStop, kAccept, kReceived, kOther, kFailed };

Woken WaitForWork(HANDLE acceptEvent, bool accepting, HANDLE received, bool receiving,
                  DWORD timeout) {
    if (!accepting && timeout > kAcceptRetryMs) {
        timeout = kAcceptRetryMs;
    }
    LoopWaitSet set;
    DWORD restartDue;
    {
        ScopedLock lock(ServiceState.coreLock);
        // Left out while nothing is under way: a receive that completed at once sets it too.
        set = BuildLoopWaitSet(ServiceState.stopEvent, accepting ? acceptEvent : nullptr,
                               receiving ? received : nullptr, TrackedCoreProcess());
        restartDue = RestartDueInMs();
    }
    // The core's handle stays valid: only this thread forgets the core.
    DWORD signalled = WaitForMultipleObjects(set.count, set.handles, FALSE,
                                             restartDue < timeout ? restartDue : timeout);
    if (signalled == WAIT_FAILED) {
        return Woken::kFailed;
    }
    if (signalled == WAIT_OBJECT_0) {
        return Woken::kStop;
    }
    if (signalled == WAIT_OBJECT_0 + set.acceptIndex) {
        return Woken::kAccept;
    }
    return signalled == WAIT_OBJECT_0 + set.receivedIndex ? Woken::kReceived : Woken::kOther;
}

void NoticeCoreEnd() {
    ScopedLock lock(ServiceState.coreLock);
    HANDLE core = TrackedCoreProcess();
    if (core != nullptr && WaitForSingleObject(core, 0) == WAIT_OBJECT_0) {
        NoteCoreEnded();
    }
}

// Takes the accepted connection, and then everything waiting in the backlog before the next
// round of answers: one accept a round would leave a newcomer behind every connection a flood
// reopens. The accept is posted again after the answers, off the path of the request.
void TakeBacklog(SOCKET listener, PendingAccept& pending, ConnectionSet& connections) {
    if (!pending.connection || !HasOverlappedIoCompleted(&pending.overlapped)) {
        return;
    }
    bool completionsRun = false;
    UniqueSocket accepted = TakeAccepted(listener, pending);
    if (accepted) {
        connections.Admit(std::move(accepted), false, completionsRun);
    }
    // The next accept would complete a moment later under Wine, so the rest of the backlog is
    // taken with plain accepts until none is left.
    for (size_t taken = 0; taken < kMaxConnections; ++taken) {
        UniqueSocket next(accept(listener, nullptr, nullptr));
        if (!next) {
            break;
        }
        connections.Admit(std::move(next), true, completionsRun);
    }
}

// The pending accept writes into `pending` until it is cancelled and finished.
void CancelAccept(SOCKET listener, PendingAccept& pending) {
    if (pending.connection) {
        DWORD bytes = 0;
        CancelIoEx(reinterpret_cast<HANDLE>(listener), &pending.overlapped);
        GetOverlappedResult(reinterpret_cast<HANDLE>(listener), &pending.overlapped, &bytes, TRUE);
        pending.connection.reset();
    }
}

// Never while a request is handled, and never once a stop is asked for.
void RunRestartIfDue() {
    DWORD due;
    {
        ScopedLock lock(ServiceState.coreLock);
        due = RestartDueInMs();
    }
    if (due == 0 && WaitForSingleObject(ServiceState.stopEvent, 0) != WAIT_OBJECT_0) {
        RunDueRestart();
    }
}

// Serves until a stop, or a failure that ends the loop. Returns the loop's result.
DWORD ServeUntilStopped(SOCKET listener, const EndpointInfo& endpoint, Publication& publication) {
    const std::string& token = endpoint.token;
    UniqueHandle acceptEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    UniqueHandle receivedEvent(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    PendingAccept pending;
    pending.acceptEx = FindAcceptEx(listener);
    DWORD acceptError = pending.acceptEx != nullptr && acceptEvent && receivedEvent
                            ? PostAccept(listener, pending, acceptEvent.get())
                            : static_cast<DWORD>(WSAEOPNOTSUPP);
    ConnectionSet connections;
    connections.received = receivedEvent.get();
    DWORD result = kLoopResultOk;
    DWORD timeout = INFINITE;
    for (;;) {
        // A client that resets its connection before it is taken, or a moment without
        // sockets, must not end the service.
        if (acceptError != 0 && !AcceptErrorIsTransient(acceptError)) {
            WriteLog("accept failed (err=%lu), exiting loop", acceptError);
            result = kLoopResultFailed;
            break;
        }
        DWORD publishIn = PublishWhenDue(endpoint, publication);
        Woken woken =
            WaitForWork(acceptEvent.get(), pending.connection.valid(), receivedEvent.get(),
                        connections.AnyReceiving(), publishIn < timeout ? publishIn : timeout);
        if (woken == Woken::kStop) {
            break;
        }
        if (woken == Woken::kFailed) {
            DWORD error = GetLastError();
            WriteLog("wait failed (err=%lu), exiting loop", error);
            result = kLoopResultFailed;
            break;
        }
        // Before the receives are looked at: one that comes back meanwhile sets it again.
        if (woken == Woken::kReceived) {
            ResetEvent(receivedEvent.get());
        }
        NoticeCoreEnd();
        TakeBacklog(listener, pending, connections);
        connections.TakeAllReceived();
        bool served = connections.ServeFinished(token);
        timeout = connections.CloseExpired(!served);
        connections.Prune();
        acceptError = pending.connection ? 0 : PostAccept(listener, pending, acceptEvent.get());
        RunRestartIfDue();
    }
    connections.CloseAll();
    CancelAccept(listener, pending);
    return result;
}

}  // namespace

DWORD RunServiceLoop() {
    // Held until the loop returns: the service writes its files only into a directory of its
    // own, which nobody can swap while it runs.
    UniqueHandle dataDirectory;
    DWORD held = HoldDataDirectory(dataDirectory);
    if (held != ERROR_SUCCESS) {
        WriteFatal("cannot secure the data directory %ls (err=%lu)", GetDataDirectory().c_str(),
                   held);
        return kLoopResultAccessDenied;
    }
    ScopedWinsock winsock;
    if (!winsock.started()) {
        WriteLog("WSAStartup failed");
        return kLoopResultNoWinsock;
    }
    UniqueSocket listener;
    EndpointInfo endpoint;
    Publication publication;
    DWORD result = OpenListener(listener, endpoint, publication);
    if (result != kLoopResultOk) {
        return result;
    }
    result = ServeUntilStopped(listener.get(), endpoint, publication);
    listener.reset();
    {
        ScopedLock lock(ServiceState.coreLock);
        StopCore();
    }
    if (result == kLoopResultOk) {
        WriteLog("service loop exited");
    }
    return result;
}

LoopWaitSet BuildLoopWaitSet(HANDLE stop, HANDLE accept, HANDLE received, HANDLE core) {
    LoopWaitSet set;
    set.handles[set.count++] = stop;
    if (accept != nullptr) {
        set.acceptIndex = set.count;
        set.handles[set.count++] = accept;
    }
    if (received != nullptr) {
        set.receivedIndex = set.count;
        set.handles[set.count++] = received;
    }
    if (core != nullptr) {
        set.handles[set.count++] = core;
    }
    return set;
}

bool AcceptErrorIsTransient(DWORD error) {
    switch (error) {
        case WSAECONNRESET:
        case WSAENOBUFS:
        case WSAEMFILE:
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_NO_SYSTEM_RESOURCES:
            return true;
        default:
            return false;
    }
}

// Settles the port and token, binds the first free port of the range and publishes them.
// kLoopResultOk with the listener and the endpoint, or the loop's result for what failed.
