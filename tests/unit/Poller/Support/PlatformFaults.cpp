#include "PlatformFaults.h"

#include <gtest/gtest.h>

#include <CoreFoundation/CoreFoundation.h>
#include <Carbon/Carbon.h>
#include <IOKit/IOKitLib.h>

#include <algorithm>
#include <new>

namespace pollertest {
namespace {

int gUserClientCallsLeft = 0;
int gSerialReadsLeft = -1;
std::u16string gRenamedFrom, gRenamedTo;

// Counts a user-client call; throws on the one chosen to fail.
void UserClientCall() {
    if (gUserClientCallsLeft > 0 && --gUserClientCallsLeft == 0)
        throw std::bad_alloc();
}

} // namespace

void FailUserClientCall(int step) {
    gUserClientCallsLeft = step;
}

void FailSerialReadsAfter(int successes) {
    gSerialReadsLeft = successes;
}

void ShowVolumeNameAs(const std::u16string& from, const std::u16string& to) {
    gRenamedFrom = from;
    gRenamedTo = to.substr(0, 255);
}

} // namespace pollertest

using pollertest::UserClientCall;

extern "C" {

kern_return_t __real_IOServiceOpen(io_service_t, task_port_t, uint32_t, io_connect_t*);
kern_return_t __real_IOServiceClose(io_connect_t);
kern_return_t __real_IOConnectMethodScalarIScalarO(io_connect_t, uint32_t, IOItemCount, IOItemCount,
                                                   ...);
kern_return_t __real_IOConnectMethodStructureIStructureO(io_connect_t, uint32_t, IOItemCount,
                                                         IOByteCount*, void*, void*);
CFTypeRef __real_IORegistryEntryCreateCFProperty(io_registry_entry_t, CFStringRef, CFAllocatorRef,
                                                 IOOptionBits);
OSErr __real_FSGetVolumeInfo(FSVolumeRefNum, ItemCount, FSVolumeRefNum*, FSVolumeInfoBitmap,
                             FSVolumeInfo*, HFSUniStr255*, FSRef*);

OSErr __wrap_FSGetVolumeInfo(FSVolumeRefNum volume, ItemCount volumeIndex,
                             FSVolumeRefNum* actualVolume, FSVolumeInfoBitmap whichInfo,
                             FSVolumeInfo* info, HFSUniStr255* volumeName, FSRef* rootDirectory) {
    OSErr err = __real_FSGetVolumeInfo(volume, volumeIndex, actualVolume, whichInfo, info,
                                       volumeName, rootDirectory);
    using pollertest::gRenamedFrom;
    using pollertest::gRenamedTo;
    if (err == noErr && volumeName != NULL && !gRenamedFrom.empty() &&
        std::u16string(volumeName->unicode, volumeName->unicode + volumeName->length) ==
            gRenamedFrom) {
        volumeName->length = static_cast<UInt16>(gRenamedTo.size());
        std::copy(gRenamedTo.begin(), gRenamedTo.end(), volumeName->unicode);
    }
    return err;
}

kern_return_t __wrap_IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type,
                                   io_connect_t* connect) {
    UserClientCall();
    return __real_IOServiceOpen(service, owningTask, type, connect);
}

kern_return_t __wrap_IOServiceClose(io_connect_t connect) {
    UserClientCall();
    return __real_IOServiceClose(connect);
}

// The daemon sends only the bracket selectors this way, without scalars.
kern_return_t __wrap_IOConnectMethodScalarIScalarO(io_connect_t connect, uint32_t index,
                                                   IOItemCount scalarInputCount,
                                                   IOItemCount scalarOutputCount, ...) {
    if (scalarInputCount != 0 || scalarOutputCount != 0) {
        ADD_FAILURE() << "scalars cannot be passed on through the wrapper";
        return kIOReturnBadArgument;
    }
    UserClientCall();
    return __real_IOConnectMethodScalarIScalarO(connect, index, 0, 0);
}

kern_return_t __wrap_IOConnectMethodStructureIStructureO(io_connect_t connect, uint32_t index,
                                                         IOItemCount structureInputSize,
                                                         IOByteCount* structureOutputSize,
                                                         void* inputStructure,
                                                         void* ouputStructure) {
    UserClientCall();
    return __real_IOConnectMethodStructureIStructureO(
        connect, index, structureInputSize, structureOutputSize, inputStructure, ouputStructure);
}

CFTypeRef __wrap_IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                                 CFAllocatorRef allocator, IOOptionBits options) {
    if (pollertest::gSerialReadsLeft >= 0 && key != NULL &&
        CFEqual(key, CFSTR("serial_number_core"))) {
        if (pollertest::gSerialReadsLeft == 0)
            return NULL;
        --pollertest::gSerialReadsLeft;
    }
    return __real_IORegistryEntryCreateCFProperty(entry, key, allocator, options);
}

} // extern "C"
