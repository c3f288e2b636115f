#pragma once
// One client connection: its request received alongside every other open connection, on the
// loop's thread, through overlapped receives that all signal one event of the loop.
#include <memory>
#include <string>
#include "api/caller.h"
#include "api/request.h"
#include "base/handles.h"

// Whole-request deadline from accept: a client that drips bytes cannot keep its place longer.
constexpr DWORD kRequestDeadlineMs = 5000;

struct ClientConnection {
    UniqueSocket socket;
    ULONGLONG acceptedAt = 0;
    std::string text;
    RequestScan scan;
    // A receive is under way: the record must outlive it, even once the socket is closed.
    bool receiving = false;
    // Nothing more will be read: the request is complete, the peer stopped, a receive failed or
    // the limit was reached. Finished connections are answered in the order they finished.
    bool finished = false;
    uint64_t finishedOrder = 0;
    WSAOVERLAPPED overlapped = {};
    char chunk[kReceiveChunk] = {};
};

// Reads what has arrived, and posts a receive that signals `received` when more comes, until
// the connection is finished. Bytes already there are taken at once, without a wait.
void BeginReceiving(ClientConnection& connection, HANDLE received);

// Takes in a receive that has come back and reads on. False when none had.
bool TakeReceived(ClientConnection& connection, HANDLE received);

// Nothing more is read: the connection is answered with what it has, in its turn.
void EndReceiving(ClientConnection& connection);

// Answers a finished connection, when what arrived is a request, and closes it.
// `peers` is shared by connections that had all finished before it was first read.
void ServeReceived(ClientConnection& connection, const std::string& accessToken, PeerTable& peers);

// Writes the head and the body in one send; does not close the connection.
void SendResponse(SOCKET connection, int status, const std::string& body);
