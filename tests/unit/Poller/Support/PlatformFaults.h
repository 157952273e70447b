// Faults at the boundary between the daemon and its platform: this test program is linked
// with a few IOKit calls wrapped (the linker's --wrap), so a test can make one of them fail as
// the platform would, and otherwise they pass straight through to the real stand-in.
// Threading: main thread only, like the daemon.
#pragma once

#include <string>

namespace pollertest {

// The step-th user-client call from now (IOServiceOpen, IOConnectMethodScalarIScalarO,
// IOConnectMethodStructureIStructureO, IOServiceClose; counting from 1) throws
// std::bad_alloc before it reaches the device host, as when memory runs out. 0 ends it.
void FailUserClientCall(int step);

// After `successes` more reads of "serial_number_core" every further read gives no value,
// as when the drive stops answering; -1 ends it.
void FailSerialReadsAfter(int successes);

// A volume the File Manager names `from` is named `to` instead (at most 255 UTF-16 units, of
// any value), as a file system may hand a name over; an empty `from` ends it.
void ShowVolumeNameAs(const std::u16string& from, const std::u16string& to);

} // namespace pollertest
