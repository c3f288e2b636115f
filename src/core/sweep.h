#pragma once
// The sweep of stray cores: processes running the configured core that nobody tracks.
#include <string>

// Stops every process of this process's user whose image is corePath; false when one had to be
// terminated.
bool SweepStrayCores(const std::wstring& corePath);
