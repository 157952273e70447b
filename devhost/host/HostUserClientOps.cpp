// The bridge driver's user client as the host plays it: connections, selectors, faults.
#include "Host.h"

namespace tvb::host {

Host::Handled Host::On(Peer& peer, const wire::OpenRequest& request, wire::OpenAnswer& answer,
                       Reply& reply) {
    const RegistryEntry* entry = mRegistry.Find(request.entry);
    if (entry == nullptr)
        return reply.Fail(wire::kStatusNotFound, "");
    auto drive = mDrives.find(entry->drive);
    if (!entry->userClient || drive == mDrives.end())
        return reply.Fail(wire::kStatusUnsupported, "no user client on this entry");
    const int32_t status = drive->second.Open(request.type);
    if (status != wire::kStatusSuccess)
        return reply.Fail(status, "");
    const uint64_t id = mNextConnection++;
    mConnections.emplace(id, UserClientConnection{peer.id, request.entry, entry->drive});
    answer.connection = id;
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

Host::Handled Host::On(Peer& peer, const wire::CloseRequest& request, wire::CloseAnswer&,
                       Reply& reply) {
    UserClientConnection* connection = PeerConnection(peer, request.connection, reply);
    if (connection == nullptr)
        return Handled::Answered;
    auto drive = mDrives.find(connection->drive);
    if (drive != mDrives.end())
        drive->second.Close();
    mConnections.erase(request.connection);
    return Handled::Answered;
}

Host::Handled Host::On(Peer& peer, const wire::ScalarRequest& request, wire::ScalarAnswer& answer,
                       Reply& reply) {
    UserClientConnection* connection = nullptr;
    Drive* drive = ConnectedDrive(peer, request.connection, reply, connection);
    if (drive == nullptr)
        return Handled::Answered;
    const std::vector<uint64_t> inputs(request.inputs.begin(), request.inputs.end());
    CallResult result =
        drive->Scalar(connection->bracketOpen, request.selector, inputs, request.outputCount);
    if (result.status != wire::kStatusSuccess)
        return reply.Fail(result.status, "");
    answer.outputs.count =
        static_cast<uint32_t>(std::min<size_t>(result.scalars.size(), wire::Scalars::kBound));
    std::copy_n(result.scalars.begin(), answer.outputs.count, answer.outputs.items.begin());
    return Handled::Answered;
}

Host::Handled Host::On(Peer& peer, const wire::StructRequest& request, wire::StructAnswer&,
                       Reply& reply) {
    UserClientConnection* connection = nullptr;
    Drive* drive = ConnectedDrive(peer, request.connection, reply, connection);
    if (drive == nullptr)
        return Handled::Answered;
    drive->LogStruct(request.selector);
    const std::vector<uint8_t> input(request.input.bytes.begin(),
                                     request.input.bytes.begin() + request.input.size);
    const uint64_t id = request.connection, selector = request.selector,
                   capacity = request.outputCapacity;
    if (drive->CurrentFault() == Fault::SlowAnswer &&
        (selector == bridge::kSelectorButtonMap || selector == bridge::kSelectorLeds)) {
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
    wire::StructAnswer answer;
    auto it = mConnections.find(connectionId);
    auto drive = it == mConnections.end() ? mDrives.end() : mDrives.find(it->second.drive);
    if (drive == mDrives.end()) {
        reply.Fail(wire::kStatusNoDevice, "the drive or connection is gone");
    } else {
        CallResult result =
            drive->second.AnswerStruct(it->second.bracketOpen, selector, input, capacity);
        reply.status = result.status;
        const size_t size =
            std::min<size_t>({result.bytes.size(), capacity, wire::StructBytes::kBound});
        answer.output.size = static_cast<uint32_t>(size);
        std::copy_n(result.bytes.begin(), size, answer.output.bytes.begin());
    }
    Respond(peerId, wire::Op::Struct, reply, answer);
}

} // namespace tvb::host
