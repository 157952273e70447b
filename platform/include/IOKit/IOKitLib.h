// The user-space IOKit library: the I/O registry, matching, notifications and user clients.
//
// Here the registry and its drivers live in a separate device-host process; these calls talk
// to it over a local socket, and every request has a bounded time-out (1 s, or the wait time
// plus 1 s for IOServiceWaitQuiet). A call that gets no answer fails with
// kIOReturnNotResponding instead of hanging; a handle whose object has gone fails cleanly.
//
// Handles: every io_object_t is a 32-bit name. As with Mach port names, a process holds ONE
// handle per registry object; each call that returns an object (IOIteratorNext,
// IOServiceGetMatchingService, IORegistryEntryGetParentEntry, ...) adds one user reference
// to that handle. IOObjectRelease drops one; at zero the handle is dead and calls on it fail
// (kIOReturnBadArgument, or MACH_SEND_INVALID_DEST for calls that would message the object).
// Iterators, notifications and connections are handles too.
//
// Notifications: call-backs run on the thread that runs the run loop holding the port's
// source. When the port loses the device host, every interest notification registered
// through it receives kIOMessageServiceIsTerminated; the port then reconnects by itself and
// re-registers its matching notifications, whose iterators yield the services found again.
//
// Threading: calls may come from any thread; a notification port and its call-backs belong
// to the thread of the run loop its source is added to.
// Ownership: the Create/Copy rule for CF results; matching dictionaries passed to
// IOServiceGetMatchingService(s) and IOServiceAddMatchingNotification are consumed.
#pragma once

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDictionary.h>
#include <CoreFoundation/CFRunLoop.h>
#include <IOKit/IOKitKeys.h>
#include <IOKit/IOReturn.h>
#include <IOKit/IOTypes.h>
#include <mach/mach.h>

#include <stddef.h>
#include <stdint.h>

typedef struct IONotificationPort* IONotificationPortRef;

typedef void (*IOServiceMatchingCallback)(void* refcon, io_iterator_t iterator);
typedef void (*IOServiceInterestCallback)(void* refcon, io_service_t service, natural_t messageType,
                                          void* messageArgument);

CF_EXTERN_C_BEGIN

// The default master port, accepted wherever a master port is asked for.
extern const mach_port_t kIOMasterPortDefault;

// Connects to the device host. Fails (non-zero, *masterPort 0) when no host answers in time.
kern_return_t IOMasterPort(mach_port_t bootstrapPort, mach_port_t* masterPort);

// Notification ports. The run-loop source belongs to the port (Get rule).
IONotificationPortRef IONotificationPortCreate(mach_port_t masterPort);
void IONotificationPortDestroy(IONotificationPortRef notify);
CFRunLoopSourceRef IONotificationPortGetRunLoopSource(IONotificationPortRef notify);

// Objects.
kern_return_t IOObjectRelease(io_object_t object);
kern_return_t IOObjectRetain(io_object_t object);
kern_return_t IOObjectGetClass(io_object_t object, io_name_t className);
CFStringRef IOObjectCopyClass(io_object_t object);
boolean_t IOObjectConformsTo(io_object_t object, const io_name_t className);
boolean_t IOObjectIsEqualTo(io_object_t object, io_object_t anObject);
// This process's user references on the handle (0 for a dead handle).
uint32_t IOObjectGetUserRetainCount(io_object_t object);
// The stand-in cannot see the host's own count; this is the user count as well.
uint32_t IOObjectGetRetainCount(io_object_t object);

// Iterators.
io_object_t IOIteratorNext(io_iterator_t iterator);
void IOIteratorReset(io_iterator_t iterator);
boolean_t IOIteratorIsValid(io_iterator_t iterator);

// Matching. IOServiceMatching and IOBSDNameMatching return NULL for a NULL name.
CFMutableDictionaryRef IOServiceMatching(const char* name);
CFMutableDictionaryRef IOBSDNameMatching(mach_port_t masterPort, uint32_t options,
                                         const char* bsdName);
io_service_t IOServiceGetMatchingService(mach_port_t masterPort, CFDictionaryRef matching);
kern_return_t IOServiceGetMatchingServices(mach_port_t masterPort, CFDictionaryRef matching,
                                           io_iterator_t* existing);

// Notifications. The matching iterator first yields the services present at registration;
// the call-back runs when new matches arrive, provided the iterator was read to its end
// after the previous delivery. Release the iterator or notification to end it.
kern_return_t IOServiceAddMatchingNotification(IONotificationPortRef notifyPort,
                                               const io_name_t notificationType,
                                               CFDictionaryRef matching,
                                               IOServiceMatchingCallback callback, void* refCon,
                                               io_iterator_t* notification);
kern_return_t IOServiceAddInterestNotification(IONotificationPortRef notifyPort,
                                               io_service_t service, const io_name_t interestType,
                                               IOServiceInterestCallback callback, void* refCon,
                                               io_object_t* notification);

// Busy state: returns at once when quiet, else waits while busy up to waitTime and then
// returns kIOReturnTimeout. A NULL waitTime waits up to 60 s, never for ever.
kern_return_t IOServiceWaitQuiet(io_service_t service, mach_timespec_t* waitTime);

// The registry (IOService plane only).
kern_return_t IORegistryEntryCreateIterator(io_registry_entry_t entry, const io_name_t plane,
                                            IOOptionBits options, io_iterator_t* iterator);
kern_return_t IORegistryEntryGetName(io_registry_entry_t entry, io_name_t name);
kern_return_t IORegistryEntryGetRegistryEntryID(io_registry_entry_t entry, uint64_t* entryID);
kern_return_t IORegistryEntryGetParentEntry(io_registry_entry_t entry, const io_name_t plane,
                                            io_registry_entry_t* parent);
CFTypeRef IORegistryEntryCreateCFProperty(io_registry_entry_t entry, CFStringRef key,
                                          CFAllocatorRef allocator, IOOptionBits options);
kern_return_t IORegistryEntryCreateCFProperties(io_registry_entry_t entry,
                                                CFMutableDictionaryRef* properties,
                                                CFAllocatorRef allocator, IOOptionBits options);

// User clients. owningTask must be mach_task_self().
kern_return_t IOServiceOpen(io_service_t service, task_port_t owningTask, uint32_t type,
                            io_connect_t* connect);
kern_return_t IOServiceClose(io_connect_t connect);
kern_return_t IOConnectAddRef(io_connect_t connect);
kern_return_t IOConnectRelease(io_connect_t connect);
kern_return_t IOConnectGetService(io_connect_t connect, io_service_t* service);

// Inputs are passed as int, outputs as int*, in that order (at most 16 of each).
kern_return_t IOConnectMethodScalarIScalarO(io_connect_t connect, uint32_t index,
                                            IOItemCount scalarInputCount,
                                            IOItemCount scalarOutputCount, ...);
// *structureOutputSize goes in as the capacity of outputStructure and comes back as the
// number of bytes written; bytes past those are left as they were.
kern_return_t IOConnectMethodStructureIStructureO(io_connect_t connect, uint32_t index,
                                                  IOItemCount structureInputSize,
                                                  IOByteCount* structureOutputSize,
                                                  void* inputStructure, void* ouputStructure);
kern_return_t IOConnectCallScalarMethod(mach_port_t connection, uint32_t selector,
                                        const uint64_t* input, uint32_t inputCnt, uint64_t* output,
                                        uint32_t* outputCnt);
kern_return_t IOConnectCallStructMethod(mach_port_t connection, uint32_t selector,
                                        const void* inputStruct, size_t inputStructCnt,
                                        void* outputStruct, size_t* outputStructCnt);

CF_EXTERN_C_END
