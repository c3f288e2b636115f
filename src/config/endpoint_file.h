#pragma once
// service.conf on disk, and the one rule that settles the endpoint for the service loop and for
// installation.
#include "base/win.h"
#include "config/endpoint_text.h"

// The highest port the listener may use.
constexpr int32_t kHighestPort = 65535;

bool ReadEndpointFile(EndpointInfo& info);

// Replaces service.conf with "port=%d\ntoken=%s\n". A replacement refused because a reader holds
// the file is retried for a short while when `patient`, then the file is rewritten in place
// (readers share writing). False when none of it worked, with the last error set.
bool WriteEndpointFile(const EndpointInfo& info, bool patient = true);

// Whether a failed write was refused only by a reader's hold on the file, which ends when the
// reader lets go: any user may open service.conf sharing nothing but reading.
bool IsReaderHold(DWORD error);

int32_t ComputeBasePort();

// 32 lowercase hex digits from the system's secure generator; false when it keeps failing.
bool GenerateAccessToken(std::string& token);

enum class EndpointSource {
    kFile,       // the file's valid pair, as it is
    kFileToken,  // the file's token with the base port: its port lies beyond kHighestPort
    kNew,        // the base port and a new token: the file was missing or invalid
};

// The endpoint to use and where it came from; false when no token could be generated.
bool SettleEndpoint(EndpointInfo& endpoint, EndpointSource& source);
