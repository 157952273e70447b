// Registry entries: identity, ancestors, properties and busy state.
#include <IOKit/IOKitLib.h>

#include "../CoreFoundation/CFPropertyList_Internal.h"
#include "IOKitHost_Internal.h"
#include "IOKitMatching_Internal.h"
#include "IOKitObjects_Internal.h"

#include <algorithm>
#include <cstring>

namespace wire = tvb::wire;
using iokit::HandleTable;
using iokit::HostClient;
using iokit::ObjectKind;
using iokit::RegistryEntryObject;

namespace {

// Without a limit of the caller's, a wait still ends: the host answers after this long.
constexpr uint64_t kUnboundedWaitMs = 60 * 1000;
constexpr uint64_t kLongestWaitMs = 60 * 60 * 1000;

std::shared_ptr<RegistryEntryObject> FindEntry(io_object_t handle) {
    return HandleTable::Shared().FindAs<RegistryEntryObject>(handle, ObjectKind::RegistryEntry);
}

// A service-plane entry (the only plane the host has), or why `handle` is none.
IOReturn FindServiceEntry(io_registry_entry_t handle, const io_name_t plane,
                          std::shared_ptr<RegistryEntryObject>& out) {
    out = FindEntry(handle);
    if (!out)
        return MACH_SEND_INVALID_DEST;
    if (plane == nullptr || std::strcmp(plane, kIOServicePlane) != 0)
        return kIOReturnBadArgument;
    return kIOReturnSuccess;
}

wire::PlistPtr EntryRequest(const char* op, const RegistryEntryObject& entry) {
    wire::PlistPtr request = wire::NewRequest(op);
    wire::SetUInt(request.get(), "entry", entry.Key().id);
    return request;
}

// Sends a request about `entry` to the host run that named it.
IOReturn AskAbout(const RegistryEntryObject& entry, const wire::PlistPtr& request,
                  HostClient::Answer* answer, int timeoutMs = iokit::kRequestTimeoutMs) {
    return HostClient::Shared().Call(request.get(), timeoutMs, {entry.Key().instance, 0}, answer);
}

// The entry's providers, nearest first, up to the root.
IOReturn Ancestors(const RegistryEntryObject& entry, std::vector<uint64_t>& out) {
    HostClient::Answer answer;
    IOReturn status = AskAbout(entry, EntryRequest("parents", entry), &answer);
    if (status != kIOReturnSuccess)
        return status;
    if (!wire::GetUIntArray(answer.body.get(), "entries", out))
        return kIOReturnError;
    return kIOReturnSuccess;
}

} // namespace

namespace iokit {

kern_return_t GetEntryIdentity(io_object_t handle, RegistryEntryObject::Identity& identity) {
    auto entry = FindEntry(handle);
    if (!entry)
        return MACH_SEND_INVALID_DEST;
    std::optional<RegistryEntryObject::Identity> known = entry->CachedIdentity();
    if (!known) {
        HostClient::Answer answer;
        IOReturn status = AskAbout(*entry, EntryRequest("entry", *entry), &answer);
        if (status != kIOReturnSuccess)
            return status;
        RegistryEntryObject::Identity read;
        if (!wire::GetString(answer.body.get(), "class", read.className) ||
            !wire::GetString(answer.body.get(), "name", read.name))
            return kIOReturnError;
        plist_t classes = wire::GetItem(answer.body.get(), "classes");
        if (classes != nullptr && plist_get_node_type(classes) == PLIST_ARRAY) {
            for (uint32_t i = 0, n = plist_array_get_size(classes); i < n; ++i) {
                // Anything but a string is skipped.
                if (const char* text =
                        plist_get_string_ptr(plist_array_get_item(classes, i), nullptr))
                    read.classes.emplace_back(text);
            }
        }
        entry->CacheIdentity(read);
        known = std::move(read);
    }
    identity = std::move(*known);
    return KERN_SUCCESS;
}

} // namespace iokit

kern_return_t IORegistryEntryGetName(io_registry_entry_t entry, io_name_t name) {
    if (name == nullptr)
        return kIOReturnBadArgument;
    RegistryEntryObject::Identity identity;
    kern_return_t status = iokit::GetEntryIdentity(entry, identity);
    if (status == KERN_SUCCESS)
        iokit::CopyName(identity.name, name);
    return status;
}

kern_return_t IORegistryEntryGetRegistryEntryID(io_registry_entry_t entry, uint64_t* entryID) {
    auto found = FindEntry(entry);
    if (!found)
        return MACH_SEND_INVALID_DEST;
    if (entryID == nullptr)
        return kIOReturnBadArgument;
    *entryID = found->Key().id;
    return KERN_SUCCESS;
}

kern_return_t IORegistryEntryCreateIterator(io_registry_entry_t entry, const io_name_t plane,
                                            IOOptionBits options, io_iterator_t* iterator) {
    if (iterator == nullptr)
        return kIOReturnBadArgument;
    *iterator = 0;
    std::shared_ptr<RegistryEntryObject> found;
    IOReturn status = FindServiceEntry(entry, plane, found);
    if (status != kIOReturnSuccess)
        return status;
    // The host keeps providers only; children cannot be walked.
    if ((options & kIORegistryIterateParents) == 0)
        return kIOReturnUnsupported;
    std::vector<uint64_t> ancestors;
    status = Ancestors(*found, ancestors);
    if (status != kIOReturnSuccess)
        return status;
    if ((options & kIORegistryIterateRecursively) == 0 && ancestors.size() > 1)
        ancestors.resize(1);
    *iterator = HandleTable::Shared().Add(
        std::make_shared<iokit::EntryListIterator>(found->Key().instance, std::move(ancestors)));
    return KERN_SUCCESS;
}

kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry, const io_name_t plane,
                                            io_registry_entry_t* parent) {
    if (parent == nullptr)
        return kIOReturnBadArgument;
    *parent = 0;
    std::shared_ptr<RegistryEntryObject> found;
    IOReturn status = FindServiceEntry(entry, plane, found);
    if (status != kIOReturnSuccess)
        return status;
    std::vector<uint64_t> ancestors;
    status = Ancestors(*found, ancestors);
    if (status != kIOReturnSuccess)
        return status;
    if (ancestors.empty())
        return kIOReturnNoDevice;
    *parent =
        HandleTable::Shared().RetainEntry(iokit::EntryKey{found->Key().instance, ancestors[0]});
    return KERN_SUCCESS;
}

CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                          CFAllocatorRef, IOOptionBits) {
    auto found = FindEntry(entry);
    std::optional<std::string> name = iokit::StringFromCF(key);
    if (!found || !name)
        return nullptr;
    wire::PlistPtr request = EntryRequest("property", *found);
    wire::SetString(request.get(), "key", *name);
    HostClient::Answer answer;
    if (AskAbout(*found, request, &answer) != kIOReturnSuccess)
        return nullptr;
    plist_t value = wire::GetItem(answer.body.get(), "value");
    return value != nullptr ? __CFPropertyListCreateFromPlistNode(value) : nullptr;
}

kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry,
                                                CFMutableDictionaryRef* properties, CFAllocatorRef,
                                                IOOptionBits) {
    if (properties == nullptr)
        return kIOReturnBadArgument;
    *properties = nullptr;
    if (!FindEntry(entry))
        return MACH_SEND_INVALID_DEST;
    // The host answers for one named property at a time.
    return kIOReturnUnsupported;
}

kern_return_t IOServiceWaitQuiet(io_service_t service, mach_timespec_t* waitTime) {
    auto found = FindEntry(service);
    if (!found)
        return MACH_SEND_INVALID_DEST;
    uint64_t waitMs = kUnboundedWaitMs;
    if (waitTime != nullptr) {
        const uint64_t nanoseconds = waitTime->tv_nsec > 0 ? waitTime->tv_nsec : 0;
        waitMs = std::min<uint64_t>(uint64_t{waitTime->tv_sec} * 1000 + nanoseconds / 1000000,
                                    kLongestWaitMs);
    }
    wire::PlistPtr request = EntryRequest("wait-quiet", *found);
    wire::SetUInt(request.get(), "timeoutMs", waitMs);
    return AskAbout(*found, request, nullptr, static_cast<int>(waitMs) + iokit::kRequestTimeoutMs);
}
