// The IOKit tests' fixture: a real device host per test (tests/support's DeviceHost), the
// stand-in pointed at its socket, and a check that every test gives back the handles it took.
// Threading: the test's thread, whose run loop the helpers run.
#pragma once

#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>
#include <gtest/gtest.h>

#include "DeviceHost.h"

#include <functional>
#include <string>
#include <vector>

namespace iokittest {

// The shared device host: started on a private socket per test, driven with tvbctl, killed
// and started again at will.
using tvbtest::DeviceHost;

// Runs the current thread's run loop until done() holds or a reaper timer fires after
// `seconds`; returns done().
bool RunLoopUntil(const std::function<bool()>& done, double seconds = 10.0);

// A first match for the class, or 0; the caller releases it.
io_service_t FirstService(const char* className);
// Every service of the class in registry order; the caller releases each.
std::vector<io_service_t> AllServices(const char* className);
// The entry's class name, or "" on failure.
std::string ClassOf(io_object_t object);
// Releases every handle the iterator still yields.
std::vector<io_object_t> Drain(io_iterator_t iterator);

class IOKitTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // tvbctl attach with the options; returns the whole-disk BSD name (the test fails when
    // the host refuses).
    std::string Attach(const std::string& serial, const std::vector<std::string>& options = {});
    void Ctl(const std::vector<std::string>& args);
    std::string CtlOutput(const std::vector<std::string>& args);

    DeviceHost host;

private:
    size_t mLiveHandles = 0;
};

} // namespace iokittest
