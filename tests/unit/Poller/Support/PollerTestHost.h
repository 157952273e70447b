// The poller's unit tests run the daemon's functions in this process against one device host
// (tests/support's DeviceHost) started once per test program in a scratch world (ScratchWorld,
// whose environment the process takes), with the daemon's device monitoring started on it.
// Threading: main thread only, like the daemon.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "TarvelleButtonPoller.h"

namespace pollertest {

namespace fs = std::filesystem;

fs::path ScratchRoot();
fs::path Home();

// tvbctl against the test host; fails the test when the command fails.
std::string Ctl(const std::vector<std::string>& args);
int CtlStatus(const std::vector<std::string>& args);
std::vector<std::string> CtlLines(const std::vector<std::string>& args);

// Attaches a drive and dispatches notifications until the poller lists it (or not).
std::string AttachListed(const std::string& serial, const std::vector<std::string>& options = {});

// The bridge service of a drive by its registry serial, owned by the caller.
io_service_t BridgeService(const std::string& serial);
service_serial* ListedEntry(const std::string& serial);
int ListedCount(const std::string& serial);

// Runs the main run loop until the condition holds or the time-out passes.
bool RunLoopUntil(const std::function<bool()>& condition, double seconds = 10.0);

} // namespace pollertest
