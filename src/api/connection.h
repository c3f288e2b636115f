#pragma once
#include <string>
#include "app/win.h"

// Whole-request deadline from accept: a client that drips bytes cannot hold the loop longer.
constexpr DWORD kRequestDeadlineMs = 5000;

// Reads one request from the connection, answers it and closes the connection. Takes ownership
// of the connection: it is closed on every path, also when nothing is answered.
void ServeConnection(SOCKET connection, const std::string& accessToken);

// Writes the head and the body; does not close the connection.
void SendResponse(SOCKET connection, int status, const std::string& body);
