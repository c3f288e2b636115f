#pragma once
// What the core tests share. The test process itself plays the service: it owns ServiceState and
// CoreState and calls the core operations directly.
#include <gtest/gtest.h>
#include <string>
#include "support.h"

// A folder of its own under %TEMP%, created.
std::wstring MakeTempFolder(const std::wstring& prefix);

// A copy of standin-core.exe in a folder of its own, so that a sweep in one test never meets the
// cores of another test running at the same time.
std::wstring CopyStandin(const std::wstring& folderPrefix = L"velmora-core");

// Writes a stand-in config file ("key=value" lines) and returns its path.
std::wstring WriteConfig(const std::wstring& folder, const std::wstring& name,
                         const std::string& content);

// Starts a stand-in the way the service starts a core (own process group, no window), with its
// standard error in a file of its own.
bool StartStandin(const std::wstring& exe, const std::wstring& arguments, ChildProcess& child);

// The decimal number after key in text ("child pid=" in the stand-in's output), 0 when absent.
DWORD NumberAfter(const std::string& text, const std::string& key);

// Exit code of an ended process, STILL_ACTIVE while it runs or when it outlives timeoutMs.
DWORD ExitCodeAfter(HANDLE process, DWORD timeoutMs);

// service.log with line ends as "\n".
std::string ServiceLogText();
std::string CoreStderrText();

// Sets up a service of its own: name, data directory, a private stand-in copy as CoreBinary.
// Stops whatever core is left at the end.
class CoreFixture : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    std::wstring serviceName_;
    std::wstring corePath_;
    std::wstring folder_;  // for configs
};
