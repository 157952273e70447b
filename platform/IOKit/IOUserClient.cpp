// User clients: connections opened on a service and the methods called through them.
#include <IOKit/IOKitLib.h>

#include "IOKitHost_Internal.h"
#include "IOKitObjects_Internal.h"

#include <algorithm>
#include <cstdarg>
#include <cstring>
#include <vector>

namespace wire = tvb::wire;
using iokit::HandleTable;
using iokit::ObjectKind;

namespace {

constexpr uint32_t kMaxScalars = wire::kMaxScalars;
constexpr size_t kMaxStructureBytes = wire::kMaxStructBytes;

// A connection lives on the host socket it was opened on; if that socket is re-made, the
// host has closed the connection and every call on it fails with kIOReturnNoDevice.
class ConnectionObject final : public iokit::Object {
public:
    ConnectionObject(iokit::EntryKey service, uint64_t connection, uint64_t epoch)
        : Object(ObjectKind::Connection), mService(service), mConnection(connection),
          mEpoch(epoch) {}
    const char* ClassName() const override { return "IOUserClient"; }
    void Died() override { Close(); }

    iokit::EntryKey Service() const { return mService; }

    IOReturn Close() {
        {
            std::lock_guard<std::mutex> lock(mMutex);
            if (mClosed)
                return kIOReturnNotOpen;
            mClosed = true;
        }
        wire::CloseRequest request;
        wire::CloseAnswer answer;
        return Call(request, answer);
    }
    // Sends a request on this connection (its `connection` field is filled in here).
    template <typename Request>
    IOReturn Call(Request& request, typename Request::Answer& answer) const {
        request.connection = mConnection;
        return iokit::Host().Call(request, answer, iokit::kRequestTimeoutMs,
                                  {mService.instance, mEpoch});
    }
    bool IsClosed() {
        std::lock_guard<std::mutex> lock(mMutex);
        return mClosed;
    }

private:
    const iokit::EntryKey mService;
    const uint64_t mConnection;
    const uint64_t mEpoch;
    std::mutex mMutex;
    bool mClosed = false;
};

std::shared_ptr<ConnectionObject> FindConnection(io_connect_t connect) {
    return HandleTable::Shared().FindAs<ConnectionObject>(connect, ObjectKind::Connection);
}

// The open connection behind `connect`, or why there is none.
IOReturn OpenConnection(io_connect_t connect, std::shared_ptr<ConnectionObject>& out) {
    out = FindConnection(connect);
    if (!out)
        return MACH_SEND_INVALID_DEST;
    return out->IsClosed() ? kIOReturnNotOpen : kIOReturnSuccess;
}

// Writes at most `wanted` outputs and sets `got` to how many, on success only.
IOReturn CallScalar(io_connect_t connect, uint32_t selector, const uint64_t* inputs,
                    uint32_t inputCount, uint32_t wanted, uint64_t* outputs, uint32_t& got) {
    std::shared_ptr<ConnectionObject> connection;
    IOReturn status = OpenConnection(connect, connection);
    if (status != kIOReturnSuccess)
        return status;
    if (inputCount > kMaxScalars || wanted > kMaxScalars)
        return kIOReturnBadArgument;
    wire::ScalarRequest request;
    request.selector = selector;
    request.inputs.count = inputCount;
    std::copy_n(inputs, inputCount, request.inputs.items.begin());
    request.outputCount = wanted;
    wire::ScalarAnswer answer;
    status = connection->Call(request, answer);
    if (status != kIOReturnSuccess)
        return status;
    got = std::min(answer.outputs.count, wanted);
    std::copy_n(answer.outputs.items.begin(), got, outputs);
    return kIOReturnSuccess;
}

// Writes at most *outputSize bytes to `output` and sets *outputSize to how many, on success
// only. A null `outputSize` asks for no output.
template <typename Size>
IOReturn CallStruct(io_connect_t connect, uint32_t selector, const void* input, size_t inputSize,
                    void* output, Size* outputSize) {
    const size_t capacity = outputSize != nullptr ? *outputSize : 0;
    std::shared_ptr<ConnectionObject> connection;
    IOReturn status = OpenConnection(connect, connection);
    if (status != kIOReturnSuccess)
        return status;
    if ((inputSize > 0 && input == nullptr) || (capacity > 0 && output == nullptr) ||
        inputSize > kMaxStructureBytes)
        return kIOReturnBadArgument;
    wire::StructRequest request;
    request.selector = selector;
    request.input.size = static_cast<uint32_t>(inputSize);
    if (inputSize > 0)
        std::memcpy(request.input.bytes.data(), input, inputSize);
    request.outputCapacity = static_cast<uint32_t>(std::min(capacity, kMaxStructureBytes));
    wire::StructAnswer answer;
    status = connection->Call(request, answer);
    if (status != kIOReturnSuccess)
        return status;
    const size_t written = std::min<size_t>(answer.output.size, capacity);
    if (written > 0)
        std::memcpy(output, answer.output.bytes.data(), written);
    if (outputSize != nullptr)
        *outputSize = static_cast<Size>(written);
    return kIOReturnSuccess;
}

} // namespace

kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type,
                            io_connect_t* connect) {
    if (connect == nullptr)
        return kIOReturnBadArgument;
    *connect = 0;
    auto entry = HandleTable::Shared().FindAs<iokit::RegistryEntryObject>(
        service, ObjectKind::RegistryEntry);
    if (!entry)
        return MACH_SEND_INVALID_DEST;
    // Only this task's own connections can be made here.
    if (owningTask != mach_task_self())
        return kIOReturnBadArgument;
    wire::OpenRequest request;
    request.entry = entry->Key().id;
    request.type = type;
    wire::OpenAnswer answer;
    wire::HostSession::Seen seen;
    IOReturn status = iokit::Host().Call(request, answer, iokit::kRequestTimeoutMs,
                                         {entry->Key().instance, 0}, &seen);
    if (status != kIOReturnSuccess)
        return status;
    *connect = HandleTable::Shared().Add(
        std::make_shared<ConnectionObject>(entry->Key(), answer.connection, seen.epoch));
    return KERN_SUCCESS;
}

kern_return_t IOServiceClose(io_connect_t connect) {
    auto connection = FindConnection(connect);
    if (!connection)
        return MACH_SEND_INVALID_DEST;
    IOReturn status = connection->Close();
    HandleTable::Shared().Release(connect);
    return status;
}

kern_return_t IOConnectAddRef(io_connect_t connect) {
    if (!FindConnection(connect))
        return MACH_SEND_INVALID_DEST;
    return HandleTable::Shared().Retain(connect);
}

kern_return_t IOConnectRelease(io_connect_t connect) {
    if (!FindConnection(connect))
        return MACH_SEND_INVALID_DEST;
    return HandleTable::Shared().Release(connect);
}

kern_return_t IOConnectGetService(io_connect_t connect, io_service_t* service) {
    if (service == nullptr)
        return kIOReturnBadArgument;
    *service = 0;
    auto connection = FindConnection(connect);
    if (!connection)
        return MACH_SEND_INVALID_DEST;
    *service = HandleTable::Shared().RetainEntry(connection->Service());
    return KERN_SUCCESS;
}

kern_return_t IOConnectMethodScalarIScalarO(io_connect_t connect, uint32_t index,
                                            IOItemCount scalarInputCount,
                                            IOItemCount scalarOutputCount, ...) {
    if (scalarInputCount > kMaxScalars || scalarOutputCount > kMaxScalars)
        return kIOReturnBadArgument;
    uint64_t inputs[kMaxScalars] = {};
    int* outputs[kMaxScalars] = {};
    va_list arguments;
    va_start(arguments, scalarOutputCount);
    for (IOItemCount i = 0; i < scalarInputCount; ++i)
        inputs[i] = static_cast<uint64_t>(static_cast<int64_t>(va_arg(arguments, int)));
    for (IOItemCount i = 0; i < scalarOutputCount; ++i)
        outputs[i] = va_arg(arguments, int*);
    va_end(arguments);

    uint64_t results[kMaxScalars] = {};
    uint32_t got = 0;
    IOReturn status =
        CallScalar(connect, index, inputs, scalarInputCount, scalarOutputCount, results, got);
    if (status != kIOReturnSuccess)
        return status;
    for (uint32_t i = 0; i < got; ++i) {
        if (outputs[i] != nullptr)
            *outputs[i] = static_cast<int>(results[i]);
    }
    return kIOReturnSuccess;
}

kern_return_t IOConnectMethodStructureIStructureO(io_connect_t connect, uint32_t index,
                                                  IOItemCount structureInputSize,
                                                  IOByteCount* structureOutputSize,
                                                  void* inputStructure, void* ouputStructure) {
    return CallStruct(connect, index, inputStructure, structureInputSize, ouputStructure,
                      structureOutputSize);
}

kern_return_t IOConnectCallScalarMethod(mach_port_t connection, uint32_t selector,
                                        const uint64_t* input, uint32_t inputCnt, uint64_t* output,
                                        uint32_t* outputCnt) {
    const uint32_t wanted = outputCnt != nullptr ? *outputCnt : 0;
    if ((inputCnt > 0 && input == nullptr) || (wanted > 0 && output == nullptr) ||
        inputCnt > kMaxScalars)
        return kIOReturnBadArgument;
    uint32_t got = 0;
    IOReturn status = CallScalar(connection, selector, input, inputCnt, wanted, output, got);
    if (status != kIOReturnSuccess)
        return status;
    if (outputCnt != nullptr)
        *outputCnt = got;
    return kIOReturnSuccess;
}

kern_return_t IOConnectCallStructMethod(mach_port_t connection, uint32_t selector,
                                        const void* inputStruct, size_t inputStructCnt,
                                        void* outputStruct, size_t* outputStructCnt) {
    return CallStruct(connection, selector, inputStruct, inputStructCnt, outputStruct,
                      outputStructCnt);
}
