// The process's request channel to the device host: one socket for registry queries and
// user-client calls, opened on first use and re-made after it breaks or a request goes
// unanswered (so a late answer can never be taken for a later request's).
// Threading: requests are serialised by a mutex; a request blocks its caller for at most
// its time-out.
// Ownership: requests are borrowed; responses are handed over in a PlistPtr.
#pragma once

#include <IOKit/IOKitLib.h>

#include "IOKitObjects_Internal.h"
#include "TvbWire.h"

#include <cstdint>
#include <mutex>
#include <string>

namespace iokit {

constexpr int kRequestTimeoutMs = 1000;

// Connects `connection` to the host at the default socket and says hello; false when no
// host answers within the request time-out.
bool ConnectAndGreet(tvb::wire::Connection& connection, uint64_t& instance);

class HostClient {
public:
    static HostClient& Shared();

    struct Expect {
        uint64_t instance = 0; // non-zero: the entry belongs to this host run
        uint64_t epoch = 0;    // non-zero: the call belongs to this socket (user clients)
    };
    struct Answer {
        tvb::wire::PlistPtr body;
        uint64_t instance = 0;
        uint64_t epoch = 0;
    };

    // Sends `request` and waits up to timeoutMs. The result is the host's status, or
    // kIOReturnNotResponding when no host answered, kIOReturnNotFound when an entry of
    // another host run is named, kIOReturnNoDevice when the socket of `expect.epoch` is gone.
    IOReturn Call(plist_t request, int timeoutMs, Expect expect, Answer* answer = nullptr);

private:
    HostClient() = default;
    bool EnsureConnectedLocked();

    std::mutex mMutex;
    tvb::wire::Connection mConnection;
    uint64_t mInstance = 0;
    uint64_t mEpoch = 0;
};

} // namespace iokit

namespace iokit {

// Class, name and class chain of a registry entry handle. Read from the host once, then
// remembered.
kern_return_t GetEntryIdentity(io_object_t entry, RegistryEntryObject::Identity& identity);

} // namespace iokit
