#include "IOKitHost_Internal.h"

namespace iokit {

namespace wire = tvb::wire;

bool ConnectAndGreet(wire::Connection& connection, uint64_t& instance) {
    if (!connection.Connect(wire::DefaultSocketPath()))
        return false;
    wire::PlistPtr answer = connection.Request(wire::NewRequest("hello").get(), kRequestTimeoutMs);
    uint64_t value = 0;
    if (!answer || wire::StatusOf(answer.get()) != kIOReturnSuccess ||
        !wire::GetUInt(answer.get(), "instance", value) || value == 0) {
        connection.Close();
        return false;
    }
    instance = value;
    return true;
}

HostClient& HostClient::Shared() {
    // Never destroyed: handles may still be released by static destructors at exit.
    static HostClient* client = new HostClient;
    return *client;
}

bool HostClient::EnsureConnectedLocked() {
    // A host that went away leaves the socket readable at end of file; notice it here
    // rather than in the middle of a request.
    if (mConnection.IsOpen() && mConnection.ReadAvailable())
        return true;
    mConnection.Close();
    uint64_t instance = 0;
    if (!ConnectAndGreet(mConnection, instance))
        return false;
    mInstance = instance;
    ++mEpoch;
    return true;
}

IOReturn HostClient::Call(plist_t request, int timeoutMs, Expect expect, Answer* answer) {
    std::lock_guard<std::mutex> lock(mMutex);
    if (!EnsureConnectedLocked())
        return kIOReturnNotResponding;
    if (expect.epoch != 0 && expect.epoch != mEpoch)
        return kIOReturnNoDevice;
    if (expect.instance != 0 && expect.instance != mInstance)
        return kIOReturnNotFound;

    wire::PlistPtr body = mConnection.Request(request, timeoutMs);
    if (!body) {
        mConnection.Close();
        return kIOReturnNotResponding;
    }
    IOReturn status = wire::StatusOf(body.get());
    if (answer != nullptr) {
        answer->body = std::move(body);
        answer->instance = mInstance;
        answer->epoch = mEpoch;
    }
    return status;
}

} // namespace iokit
