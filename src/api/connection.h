#pragma once
#include <string>
#include "app/win.h"

// Whole-request deadline from accept: a client that drips bytes cannot hold the loop longer.
constexpr DWORD kRequestDeadlineMs = 5000;

// Reads one request from the connection, answers it and closes the connection.
void ServeConnection(SOCKET connection, const std::string& accessToken);

void SendResponse(SOCKET connection, int status, const std::string& body);
