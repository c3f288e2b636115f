#pragma once
#include "base/win.h"

// Sleeps 500 ms and queries, at most maxQueries times. True once a query reports
// SERVICE_STOPPED; false when none did. A failed query reports nothing, so it is no stop.
bool WaitForServiceStop(SC_HANDLE service, int maxQueries);
