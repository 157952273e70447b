// The bridge driver's user client as the host plays it: connections, selectors, faults.
#include "Host.h"

namespace tvb::host {

namespace {

constexpr uint32_t kMaxScalars = 16;
constexpr size_t kMaxStructBytes = 4096;

} // namespace

Host::Handled Host::OpOpen(Peer& peer, plist_t request, Reply& reply) {
    uint64_t entryId = 0, type = 0;
    if (!wire::GetUInt(request, "entry", entryId) || !wire::GetUInt(request, "type", type))
        return Handled::Malformed;
    const RegistryEntry* entry = mRegistry.Find(entryId);
    if (entry == nullptr)
        return reply.Fail(wire::kStatusNotFound, "");
    auto drive = mDrives.find(entry->drive);
    if (!entry->userClient || drive == mDrives.end())
        return reply.Fail(wire::kStatusUnsupported, "no user client on this entry");
    const int32_t status = drive->second.Open(type);
    if (status != wire::kStatusSuccess)
        return reply.Fail(status, "");
    const uint64_t id = mNextConnection++;
    mConnections.emplace(id, UserClientConnection{peer.id, entryId, entry->drive});
    wire::SetUInt(reply.body.get(), "connection", id);
    return Handled::Answered;
}

Host::UserClientConnection* Host::PeerConnection(const Peer& peer, uint64_t id, Reply& reply) {
    auto it = mConnections.find(id);
    if (it == mConnections.end() || it->second.peer != peer.id) {
        reply.Fail(wire::kStatusNotFound, "");
        return nullptr;
    }
    return &it->second;
}

Drive* Host::ConnectedDrive(const Peer& peer, uint64_t id, Reply& reply,
                            UserClientConnection*& connection) {
    connection = PeerConnection(peer, id, reply);
    if (connection == nullptr)
        return nullptr;
    auto drive = mDrives.find(connection->drive);
    if (drive == mDrives.end()) {
        reply.Fail(wire::kStatusNoDevice, "the drive is gone");
        return nullptr;
    }
    return &drive->second;
}

Host::Handled Host::OpClose(Peer& peer, plist_t request, Reply& reply) {
    uint64_t id = 0;
    if (!wire::GetUInt(request, "connection", id))
        return Handled::Malformed;
    UserClientConnection* connection = PeerConnection(peer, id, reply);
    if (connection == nullptr)
        return Handled::Answered;
    auto drive = mDrives.find(connection->drive);
    if (drive != mDrives.end())
        drive->second.Close();
    mConnections.erase(id);
    return Handled::Answered;
}

Host::Handled Host::OpScalar(Peer& peer, plist_t request, Reply& reply) {
    uint64_t id = 0, selector = 0, outputCount = 0;
    std::vector<uint64_t> inputs;
    if (!wire::GetUInt(request, "connection", id) ||
        !wire::GetUInt(request, "selector", selector) ||
        !wire::GetUIntArray(request, "inputs", inputs) ||
        !wire::GetUInt(request, "outputCount", outputCount))
        return Handled::Malformed;
    UserClientConnection* connection = nullptr;
    Drive* drive = ConnectedDrive(peer, id, reply, connection);
    if (drive == nullptr)
        return Handled::Answered;
    if (inputs.size() > kMaxScalars || outputCount > kMaxScalars)
        return reply.Fail(wire::kStatusBadArgument, "");
    CallResult result = drive->Scalar(connection->bracketOpen, selector, inputs, outputCount);
    reply.status = result.status;
    wire::SetUIntArray(reply.body.get(), "outputs", result.scalars);
    return Handled::Answered;
}

Host::Handled Host::OpStruct(Peer& peer, plist_t request, Reply& reply) {
    uint64_t id = 0, selector = 0, capacity = 0;
    std::vector<uint8_t> input;
    if (!wire::GetUInt(request, "connection", id) ||
        !wire::GetUInt(request, "selector", selector) || !wire::GetData(request, "input", input) ||
        !wire::GetUInt(request, "outputCapacity", capacity))
        return Handled::Malformed;
    UserClientConnection* connection = nullptr;
    Drive* drive = ConnectedDrive(peer, id, reply, connection);
    if (drive == nullptr)
        return Handled::Answered;
    if (input.size() > kMaxStructBytes)
        return reply.Fail(wire::kStatusBadArgument, "");
    drive->LogStruct(selector);
    if (drive->CurrentFault() == Fault::SlowAnswer && (selector == 2 || selector == 3)) {
        // The command happens when the answer goes out, so a client that gave up and left
        // loses nothing (a pending press stays pending).
        const uint64_t peerId = peer.id, requestId = reply.id;
        AddTimer(Clock::now() + mLimits.slowAnswer,
                 [this, peerId, requestId, id, selector, input, capacity] {
                     AnswerStruct(peerId, requestId, id, selector, input, capacity);
                 });
        return Handled::Deferred;
    }
    AnswerStruct(peer.id, reply.id, id, selector, input, capacity);
    return Handled::Deferred;
}

void Host::AnswerStruct(uint64_t peerId, uint64_t requestId, uint64_t connectionId,
                        uint64_t selector, const std::vector<uint8_t>& input, uint64_t capacity) {
    if (FindPeer(peerId) == nullptr)
        return;
    Reply reply;
    reply.id = requestId;
    auto it = mConnections.find(connectionId);
    auto drive = it == mConnections.end() ? mDrives.end() : mDrives.find(it->second.drive);
    if (drive == mDrives.end()) {
        reply.Fail(wire::kStatusNoDevice, "the drive or connection is gone");
    } else {
        CallResult result =
            drive->second.AnswerStruct(it->second.bracketOpen, selector, input, capacity);
        reply.status = result.status;
        if (result.bytes.size() > capacity)
            result.bytes.resize(capacity);
        wire::SetData(reply.body.get(), "output", result.bytes.data(), result.bytes.size());
    }
    Respond(peerId, reply);
}

} // namespace tvb::host
