#pragma once
// Winsock 2 must come before windows.h, or windows.h pulls in the old winsock.h.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
