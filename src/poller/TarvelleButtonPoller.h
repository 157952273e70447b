// The button poller's main source: start-up, poll cycle, device tracking, bridge
// commands, capacity lights, device volumes and the backup hand-off.
// Threading: everything runs on the main thread, dispatched by the main run loop.
// Ownership: IOKit handles and CF references returned by functions below belong to
// the caller (release them); arguments are never consumed.
#pragma once

#include <Carbon/Carbon.h>
#include <CoreFoundation/CoreFoundation.h>
#include <IOKit/IOKitLib.h>

#include "LEBEUInt.h"
#include "OstrelTVBUserClientCom.h"
#include "VURuvevidova/LCFArray.h"
#include "VURuvevidova/LCFRunloop.h"

typedef uint8_t uint8;
typedef uint64_t uint64;

// One listed bridge device. Owns one reference to its service and one to its serial.
struct service_serial {
    io_service_t service;
    CFStringRef serial;

    // Adopts both references; a NULL serial becomes the empty string.
    service_serial(io_service_t serviceIn, CFStringRef serialIn);
    ~service_serial();

    service_serial(const service_serial&) = delete;
    service_serial& operator=(const service_serial&) = delete;
};
typedef service_serial* service_serial_ptr;

// Per-device interest-notification record, obtained with malloc and freed with free.
struct InstanceData {
    io_object_t notification;
    CFStringRef deviceName;
    CFStringRef deviceSerialNumber;
    UInt16 lastButtonCounter;
};

// Shared state, main thread only. Device tracking (DeviceAdded, GeneralMessage) adds and
// removes the entries of pollButtonServices, which the poll cycle only reads, and raises
// updatePctFree, which the poll cycle clears after a refresh (and raises again when a drive
// missed its value). The poll cycle alone writes backupActive, backupService and
// arcsoftApplicationCreator; start-up writes arcsoftApplicationPath, InitializeDeviceMonitor
// gMasterPort.
extern LCFRunLoopTimer runLoopTimer;
extern LCFArrayTemplate<service_serial*> pollButtonServices;
extern bool updatePctFree;
extern bool backupActive;
extern io_service_t backupService;
extern mach_port_t gMasterPort;
extern CFStringRef arcsoftApplicationPath;
extern UInt32 arcsoftApplicationCreator;

// Start-up and main loop.
int ButtonPollerMain(int argc, char* argv[]);
// Whether a copy that started before this one carries sig; when otherPID is given, it receives
// that copy's pid. Of copies started together exactly one goes on.
bool RIAlreadyRunning(OSType sig, pid_t* otherPID = NULL);

// Poll cycle.
void PollButtonDevices(CFRunLoopTimerRef timer, void* info);
void ResetTimerInterval(double intervalTime);

// Registry navigation.
io_service_t FindParentServiceClass(io_service_t childService, const char* serviceClass);
io_service_t FindParentServiceClassWithProperty(io_service_t childService, CFStringRef property);
CFStringRef ExtractOstrelSerialNumberOfDevice(io_service_t childService);
bool HasParent(io_service_t childService, io_service_t parent);
io_service_t GetServiceForBSDName(char* bsdName);

// Device list and hot-plug notifications.
OSStatus InitializeDeviceMonitor();
void DeviceAdded(void* refCon, io_iterator_t iterator);
void GeneralMessage(void* refCon, io_service_t service, natural_t messageType,
                    void* messageArgument);

// Bridge command channel and capacity lights.
IOReturn QueryButtonMap(io_service_t service, ButtonMapResponse& response);
bool IsButtonPressed(IOReturn queryStatus, const ButtonMapResponse& response);
bool SetBlinkenLights(io_service_t service, LEDValueInput& ledInput);
bool SetBlinkenLightsValue(io_service_t service, uint8 pctFull);
bool SetShowBlinkenLightsValue(io_service_t service, uint8 pctFull, bool showNow);
bool ShowBlinkenLights(io_service_t service, bool showNow);

// Device volumes.
CFStringRef GetFormattedVolumeNamesForService(io_service_t commonService);
void GetVolumeTotalsForService(io_service_t commonService, uint64& totalBytes, uint64& freeBytes);
uint8 GetVolumeUsedValue(io_service_t service);

// Hand-off folder and files.
OSStatus MakeDummyDirFSRef(FSRef& dummyDirRefOut);
OSStatus CreateDummyLaunchFileFSRef(FSRef& dummyRef);
OSStatus MakeDummyLaunchFileFSRef(FSRef& dummyRef);
OSStatus MakeDummyEndFileFSRef(FSRef& dummyRef);
void CleanupDummyFiles();
OSStatus WriteDummyLaunchFile(io_service_t service, const uint8 serialNumber[16], FSRef& dummyRef);

// Backup application.
OSStatus LaunchBackupApplication(const FSRef& dummyRef);
bool isArcSoftAppRunning();
