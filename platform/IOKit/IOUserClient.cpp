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
using iokit::HostClient;
using iokit::ObjectKind;

namespace {

constexpr uint32_t kMaxScalars = 16;
constexpr size_t kMaxStructureBytes = 512 * 1024;

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
        return Call(Request("close"));
    }
    // A request on this connection.
    wire::PlistPtr Request(const char* op) const {
        wire::PlistPtr request = wire::NewRequest(op);
        wire::SetUInt(request.get(), "connection", mConnection);
        return request;
    }
    IOReturn Call(const wire::PlistPtr& request, HostClient::Answer* answer = nullptr) const {
        return HostClient::Shared().Call(request.get(), iokit::kRequestTimeoutMs,
                                         {mService.instance, mEpoch}, answer);
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

IOReturn CallScalar(io_connect_t connect, uint32_t selector, const std::vector<uint64_t>& inputs,
                    uint32_t outputCount, std::vector<uint64_t>& outputs) {
    std::shared_ptr<ConnectionObject> connection;
    IOReturn status = OpenConnection(connect, connection);
    if (status != kIOReturnSuccess)
        return status;
    if (inputs.size() > kMaxScalars || outputCount > kMaxScalars)
        return kIOReturnBadArgument;
    wire::PlistPtr request = connection->Request("scalar");
    wire::SetUInt(request.get(), "selector", selector);
    wire::SetUIntArray(request.get(), "inputs", inputs);
    wire::SetUInt(request.get(), "outputCount", outputCount);
    HostClient::Answer answer;
    status = connection->Call(request, &answer);
    if (status != kIOReturnSuccess)
        return status;
    outputs.clear();
    if (outputCount > 0 && !wire::GetUIntArray(answer.body.get(), "outputs", outputs))
        return kIOReturnError;
    if (outputs.size() > outputCount)
        outputs.resize(outputCount);
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
        inputSize > kMaxStructureBytes || capacity > kMaxStructureBytes)
        return kIOReturnBadArgument;
    wire::PlistPtr request = connection->Request("struct");
    wire::SetUInt(request.get(), "selector", selector);
    wire::SetData(request.get(), "input", input, inputSize);
    wire::SetUInt(request.get(), "outputCapacity", capacity);
    HostClient::Answer answer;
    status = connection->Call(request, &answer);
    if (status != kIOReturnSuccess)
        return status;
    std::vector<uint8_t> bytes;
    wire::GetData(answer.body.get(), "output", bytes);
    const size_t written = std::min(bytes.size(), capacity);
    if (written > 0)
        std::memcpy(output, bytes.data(), written);
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
    wire::PlistPtr request = wire::NewRequest("open");
    wire::SetUInt(request.get(), "entry", entry->Key().id);
    wire::SetUInt(request.get(), "type", type);
    HostClient::Answer answer;
    IOReturn status = HostClient::Shared().Call(request.get(), iokit::kRequestTimeoutMs,
                                                {entry->Key().instance, 0}, &answer);
    if (status != kIOReturnSuccess)
        return status;
    uint64_t id = 0;
    if (!wire::GetUInt(answer.body.get(), "connection", id))
        return kIOReturnError;
    *connect = HandleTable::Shared().Add(
        std::make_shared<ConnectionObject>(entry->Key(), id, answer.epoch));
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
    std::vector<uint64_t> inputs;
    int* outputs[kMaxScalars] = {};
    va_list arguments;
    va_start(arguments, scalarOutputCount);
    for (IOItemCount i = 0; i < scalarInputCount; ++i)
        inputs.push_back(static_cast<uint64_t>(static_cast<int64_t>(va_arg(arguments, int))));
    for (IOItemCount i = 0; i < scalarOutputCount; ++i)
        outputs[i] = va_arg(arguments, int*);
    va_end(arguments);

    std::vector<uint64_t> results;
    IOReturn status = CallScalar(connect, index, inputs, scalarOutputCount, results);
    if (status != kIOReturnSuccess)
        return status;
    for (size_t i = 0; i < results.size(); ++i) {
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
    std::vector<uint64_t> results;
    IOReturn status = CallScalar(connection, selector,
                                 std::vector<uint64_t>(input, input + inputCnt), wanted, results);
    if (status != kIOReturnSuccess)
        return status;
    std::copy(results.begin(), results.end(), output);
    if (outputCnt != nullptr)
        *outputCnt = static_cast<uint32_t>(results.size());
    return kIOReturnSuccess;
}

kern_return_t IOConnectCallStructMethod(mach_port_t connection, uint32_t selector,
                                        const void* inputStruct, size_t inputStructCnt,
                                        void* outputStruct, size_t* outputStructCnt) {
    return CallStruct(connection, selector, inputStruct, inputStructCnt, outputStruct,
                      outputStructCnt);
}
