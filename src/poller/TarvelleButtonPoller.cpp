// The button poller: tracks bridge drives, polls their backup buttons every tick,
// hands a press over to the backup application and drives the capacity lights.
// Everything runs on the main thread inside the main event loop; nothing is locked.

#include "TarvelleButtonPoller.h"

#include <IOKit/IOMessage.h>

#include <new>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <syslog.h>

#include "VURuvevidova/LCFString.h"

// ---------------------------------------------------------------------------
// Globals. The first three are constructed in this order before main and
// destroyed in the reverse order at exit: the device list goes before the timer.

LCFRunLoopTimer runLoopTimer;
static CFArrayCallBacks pollButtonCallbacks = {0, NULL, NULL, NULL, NULL};
LCFArrayTemplate<service_serial*> pollButtonServices(0, &pollButtonCallbacks, kCFAllocatorDefault);

static const CFTimeInterval initialInterval = 5.0;
static const CFTimeInterval normalInterval = 3.0;

bool updatePctFree = true;
bool backupActive = false;
io_service_t backupService = 0;

mach_port_t gMasterPort = 0;
static IONotificationPortRef gNotifyPort = NULL;
static io_iterator_t gDeviceAddedIter = 0;
static CFRunLoopRef gRunLoop = NULL;

CFStringRef arcsoftApplicationPath = NULL;
UInt32 arcsoftApplicationCreator = 0;

static const char kBridgeClassName[] = "com_ostrel_IOTVB";
static const OSType kPollerSignature = 'TvPl';
static const UInt32 kUnknownCreator = 0x3F3F3F3F; // '????', a bundle that names no creator
enum { kApplicationPathSize = 1024, kLaunchTextSize = 32767 };

// ---------------------------------------------------------------------------
// Small helpers.

// The backup application's path as UTF-8. A path that does not fit, or that holds
// a NUL (which would silently name a shorter, different path), does not convert.
static bool CopyApplicationPath(char (&path)[kApplicationPathSize]) {
    if (arcsoftApplicationPath == NULL)
        return false;
    if (!CFStringGetCString(arcsoftApplicationPath, path, sizeof path, kCFStringEncodingUTF8))
        return false;
    CFIndex utf8Length = 0;
    CFStringGetBytes(arcsoftApplicationPath,
                     CFRangeMake(0, CFStringGetLength(arcsoftApplicationPath)),
                     kCFStringEncodingUTF8, 0, false, NULL, 0, &utf8Length);
    return static_cast<CFIndex>(strlen(path)) == utf8Length;
}

// The backup application as it is on disk now; resolved anew each time so a moved or
// deleted application is noticed.
static OSStatus ResolveApplicationPath(FSRef& applicationRef) {
    if (arcsoftApplicationPath == NULL)
        return fnfErr;
    char path[kApplicationPathSize];
    if (!CopyApplicationPath(path))
        return bdNamErr;
    return FSPathMakeRef(reinterpret_cast<const UInt8*>(path), &applicationRef, NULL);
}

// The run loop of the Carbon main event loop, where the poll timer and notifications run.
static CFRunLoopRef MainRunLoop() {
    return static_cast<CFRunLoopRef>(
        const_cast<void*>(GetCFRunLoopFromEventLoop(GetMainEventLoop())));
}

// A new poll timer: first tick `firstDelay` from now, then every `interval`.
static void ArmPollTimer(CFTimeInterval firstDelay, CFTimeInterval interval) {
    LCFRunLoopTimerContext context(&pollButtonServices);
    runLoopTimer.CreateRelativeMulti(firstDelay, interval, PollButtonDevices, context, NULL);
    runLoopTimer.AddToRunLoop(MainRunLoop(), kCFRunLoopCommonModes);
}

// The UTF-16 form of one of the hand-off names (each well under 255 characters).
struct HandOffName {
    explicit HandOffName(CFStringRef name) : length(CFStringGetLength(name)) {
        CFStringGetCharacters(name, CFRangeMake(0, length), characters);
    }
    CFIndex length;
    UniChar characters[255];
};

static OSStatus MakeChildFSRef(const FSRef& parent, CFStringRef name, FSRef& childRef) {
    HandOffName unicodeName(name);
    return FSMakeFSRefUnicode(&parent, unicodeName.length, unicodeName.characters,
                              kCFStringEncodingUTF8, &childRef);
}

// ---------------------------------------------------------------------------
// Start-up and main loop.

bool RIAlreadyRunning(OSType sig) {
    int count = 0;
    ProcessSerialNumber psn = {0, kNoProcess};
    for (;;) {
        if (GetNextProcess(&psn) != noErr)
            break;
        ProcessInfoRec info;
        memset(&info, 0, sizeof info);
        info.processInfoLength = sizeof info;
        if (GetProcessInformation(&psn, &info) != noErr)
            break;
        if (info.processSignature == sig)
            ++count;
    }
    return count > 1;
}

// After the event loop no notification can come any more. The entries are released
// so that the process ends with nothing unaccounted for; their records stay with
// the notification port, which lives until the process is gone.
static void SetBackupService(io_service_t service);

static void ReleaseListedDevices() {
    service_serial* entry = NULL;
    while (pollButtonServices.RemoveLastItem(entry))
        delete entry;
    SetBackupService(0);
}

int ButtonPollerMain(int argc, char* argv[]) {
    (void)argc;
    (void)argv;
    int result = 0;

    CFPropertyListRef appName =
        CFPreferencesCopyAppValue(CFSTR("AppName"), CFSTR("TotalMedia Backup"));
    if (appName != NULL) {
        if (CFGetTypeID(appName) == CFStringGetTypeID())
            arcsoftApplicationPath = static_cast<CFStringRef>(appName);
        else
            CFRelease(appName);
    }

    FSRef applicationRef;
    if (ResolveApplicationPath(applicationRef) == noErr)
        CleanupDummyFiles();

    if (RIAlreadyRunning(kPollerSignature))
        return 0;

    result = InitializeDeviceMonitor();
    if (result != 0)
        return result;

    ArmPollTimer(initialInterval, normalInterval);

    RunApplicationEventLoop();
    ReleaseListedDevices();
    return result;
}

// ---------------------------------------------------------------------------
// Poll cycle.

void ResetTimerInterval(double intervalTime) {
    ArmPollTimer(intervalTime, intervalTime);
}

// backupService keeps a reference of its own so that a drive unplugged during the
// backup leaves a dead handle that fails cleanly, never one reused by another drive.
static void SetBackupService(io_service_t service) {
    if (service != 0)
        IOObjectRetain(service);
    if (backupService != 0)
        IOObjectRelease(backupService);
    backupService = service;
}

static void RefreshAllLights() {
    updatePctFree = false;
    service_serial* entry = NULL;
    for (long index = 1; pollButtonServices.FetchItemAt(index, entry); ++index)
        SetBlinkenLightsValue(entry->service, GetVolumeUsedValue(entry->service));
}

static void TrackBackup() {
    FSRef endRef;
    bool finished = MakeDummyEndFileFSRef(endRef) == noErr || !isArcSoftAppRunning();
    if (!finished)
        return;
    CleanupDummyFiles();
    backupActive = false;
    if (backupService != 0) {
        SetShowBlinkenLightsValue(backupService, GetVolumeUsedValue(backupService), true);
        SetBackupService(0);
    }
}

static void HandlePress(io_service_t service, const ButtonMapResponse& response) {
    CleanupDummyFiles();
    syslog(LOG_INFO, "GeneralMessage:  Polled button press");
    FSRef launchRef;
    if (WriteDummyLaunchFile(service, response.serialNumber, launchRef) != noErr)
        return;
    if (LaunchBackupApplication(launchRef) != noErr)
        return;
    backupActive = true;
    SetBackupService(service);
}

static void PollButtons() {
    service_serial* entry = NULL;
    for (long index = 1; pollButtonServices.FetchItemAt(index, entry); ++index) {
        ButtonMapResponse response;
        IOReturn status = QueryButtonMap(entry->service, response);
        if (IsButtonPressed(status, response))
            HandlePress(entry->service, response);
    }
}

void PollButtonDevices(CFRunLoopTimerRef timer, void* info) {
    (void)timer;
    (void)info;

    if (updatePctFree) {
        try {
            RefreshAllLights();
        } catch (...) {
            syslog(LOG_INFO, "threw in the timer handler");
        }
    }

    if (backupActive)
        TrackBackup();

    if (!backupActive) {
        try {
            PollButtons();
        } catch (...) {
            syslog(LOG_INFO, "threw in the timer handler");
        }
    }

    ResetTimerInterval(normalInterval);
}

// ---------------------------------------------------------------------------
// Registry navigation.

static io_iterator_t CreateAncestorIterator(io_service_t childService) {
    io_iterator_t iterator = 0;
    kern_return_t status = IORegistryEntryCreateIterator(
        childService, kIOServicePlane, kIORegistryIterateRecursively | kIORegistryIterateParents,
        &iterator);
    if (status != KERN_SUCCESS)
        return 0;
    return iterator;
}

io_service_t FindParentServiceClass(io_service_t childService, const char* serviceClass) {
    io_iterator_t iterator = CreateAncestorIterator(childService);
    if (iterator == 0)
        return 0;

    IOObjectRetain(childService);
    io_service_t current = childService;
    while (current != 0) {
        io_name_t className;
        if (IOObjectGetClass(current, className) == KERN_SUCCESS &&
            strcmp(className, serviceClass) == 0)
            break;
        IOObjectRelease(current);
        current = IOIteratorNext(iterator);
    }
    IOObjectRelease(iterator);
    return current;
}

io_service_t FindParentServiceClassWithProperty(io_service_t childService, CFStringRef property) {
    mach_timespec_t timeMax = {5, 0};
    UInt32 levels = 0;
    const UInt32 busyWaitLevels = 1;

    io_iterator_t iterator = CreateAncestorIterator(childService);
    if (iterator == 0) {
        syslog(LOG_INFO, "FindParentServiceClassWithProperty iterator creation failed");
        return 0;
    }

    IOObjectRetain(childService);
    io_service_t current = childService;
    while (current != 0) {
        if (levels <= busyWaitLevels)
            IOServiceWaitQuiet(current, &timeMax);
        CFTypeRef value =
            IORegistryEntryCreateCFProperty(current, property, kCFAllocatorDefault, 0);
        if (value != NULL) {
            CFRelease(value);
            break;
        }
        IOObjectRelease(current);
        ++levels;
        current = IOIteratorNext(iterator);
    }
    IOObjectRelease(iterator);
    return current;
}

CFStringRef ExtractOstrelSerialNumberOfDevice(io_service_t childService) {
    io_service_t topService =
        FindParentServiceClassWithProperty(childService, CFSTR("serial_number_core"));
    if (topService == 0)
        return NULL;
    CFTypeRef value = IORegistryEntryCreateCFProperty(topService, CFSTR("serial_number_core"),
                                                      kCFAllocatorDefault, 0);
    IOObjectRelease(topService);
    // The serial identifies a device and is compared as a string; any other type
    // would be compared as one by mistake, so such a device is not listed.
    if (value != NULL && CFGetTypeID(value) != CFStringGetTypeID()) {
        CFRelease(value);
        return NULL;
    }
    return static_cast<CFStringRef>(value);
}

bool HasParent(io_service_t childService, io_service_t parent) {
    bool result = false;
    io_iterator_t iterator = CreateAncestorIterator(childService);
    if (iterator == 0)
        return false;

    IOObjectRetain(childService);
    io_service_t current = childService;
    while (current != 0) {
        result = IOObjectIsEqualTo(current, parent);
        IOObjectRelease(current);
        if (result)
            break;
        current = IOIteratorNext(iterator);
    }
    IOObjectRelease(iterator);
    return result;
}

io_service_t GetServiceForBSDName(char* bsdName) {
    io_service_t result = 0;
    CFMutableDictionaryRef matchingDict = IOBSDNameMatching(gMasterPort, 0, bsdName);
    if (matchingDict == NULL) {
        puts("IOBSDNameMatching returned a NULL dictionary.");
        return 0;
    }
    io_iterator_t iter = 0;
    kern_return_t status = IOServiceGetMatchingServices(gMasterPort, matchingDict, &iter);
    if (status == KERN_SUCCESS && iter != 0) {
        result = IOIteratorNext(iter);
        IOObjectRelease(iter);
    }
    return result;
}

// ---------------------------------------------------------------------------
// Device list and hot-plug notifications.

service_serial::service_serial(io_service_t serviceIn, CFStringRef serialIn)
    : service(serviceIn), serial(serialIn) {
    if (serial == NULL)
        serial = static_cast<CFStringRef>(CFRetain(CFSTR("")));
}

service_serial::~service_serial() {
    if (service != 0)
        IOObjectRelease(service);
    if (serial != NULL)
        CFRelease(serial);
}

static bool IsSerialListed(CFStringRef serial) {
    service_serial* entry = NULL;
    for (long index = 1; pollButtonServices.FetchItemAt(index, entry); ++index) {
        if (SafeCFStringCompare(entry->serial, serial, 0) == kCFCompareEqualTo)
            return true;
    }
    return false;
}

static void FreeInstanceData(InstanceData* privateDataRef) {
    if (privateDataRef->deviceName != NULL)
        CFRelease(privateDataRef->deviceName);
    if (privateDataRef->deviceSerialNumber != NULL)
        CFRelease(privateDataRef->deviceSerialNumber);
    if (privateDataRef->notification != 0)
        IOObjectRelease(privateDataRef->notification);
    free(privateDataRef);
}

// An entry without a registered record would stay listed for good, since no termination
// could reach it, and keep the drive out at its next arrival: take it back instead.
static void TakeBackEntry(service_serial* entry, long position) {
    pollButtonServices.RemoveItemsAt(1, position);
    delete entry;
}

static void ListDevice(io_service_t childService, CFStringRef notificationSerial) {
    service_serial* entry = new (std::nothrow) service_serial(childService, notificationSerial);
    if (entry == NULL) {
        CFRelease(notificationSerial);
        return;
    }
    IOObjectRetain(childService); // the entry's own reference
    long position = pollButtonServices.AddItem(entry);
    if (position == 0) {
        delete entry;
        return;
    }

    InstanceData* privateDataRef = static_cast<InstanceData*>(malloc(sizeof(InstanceData)));
    if (privateDataRef == NULL) {
        TakeBackEntry(entry, position);
        return;
    }
    memset(privateDataRef, 0, sizeof *privateDataRef);

    io_name_t deviceName;
    if (IORegistryEntryGetName(childService, deviceName) != KERN_SUCCESS)
        deviceName[0] = '\0';
    privateDataRef->deviceSerialNumber = ExtractOstrelSerialNumberOfDevice(childService);
    privateDataRef->deviceName =
        CFStringCreateWithCString(kCFAllocatorDefault, deviceName, kCFStringEncodingASCII);
    kern_return_t status = IOServiceAddInterestNotification(
        gNotifyPort, childService, kIOGeneralInterest, GeneralMessage, privateDataRef,
        &privateDataRef->notification);
    if (status != KERN_SUCCESS) {
        FreeInstanceData(privateDataRef);
        TakeBackEntry(entry, position);
        return;
    }
    privateDataRef->lastButtonCounter = 0xFFFF;
}

void DeviceAdded(void* refCon, io_iterator_t iterator) {
    (void)refCon;
    updatePctFree = true;

    io_service_t service;
    while ((service = IOIteratorNext(iterator)) != 0) {
        io_service_t childService = FindParentServiceClass(service, kBridgeClassName);
        IOObjectRelease(service);
        if (childService == 0)
            continue;

        CFStringRef notificationSerial = ExtractOstrelSerialNumberOfDevice(childService);
        if (notificationSerial != NULL) {
            if (IsSerialListed(notificationSerial))
                CFRelease(notificationSerial);
            else
                ListDevice(childService, notificationSerial);
        }
        IOObjectRelease(childService);
    }
}

void GeneralMessage(void* refCon, io_service_t service, natural_t messageType,
                    void* messageArgument) {
    (void)service;
    (void)messageArgument;

    switch (messageType) {
    case kIOMessageServiceIsTerminated:
        break;
    case kIOMessageServiceIsAttemptingOpen:
    case kIOMessageServiceWasClosed:
        return;
    default:
        updatePctFree = true;
        return;
    }

    InstanceData* privateDataRef = static_cast<InstanceData*>(refCon);
    service_serial* entry = NULL;
    for (long index = 1; pollButtonServices.FetchItemAt(index, entry); ++index) {
        if (entry->serial != NULL && privateDataRef->deviceSerialNumber != NULL &&
            SafeCFStringCompare(entry->serial, privateDataRef->deviceSerialNumber, 0) ==
                kCFCompareEqualTo) {
            pollButtonServices.RemoveItemsAt(1, index);
            delete entry;
            break;
        }
    }

    FreeInstanceData(privateDataRef);
}

OSStatus InitializeDeviceMonitor() {
    kern_return_t status = IOMasterPort(MACH_PORT_NULL, &gMasterPort);
    if (status != KERN_SUCCESS || gMasterPort == 0)
        return -1;

    gNotifyPort = IONotificationPortCreate(gMasterPort);
    CFRunLoopSourceRef runLoopSource = IONotificationPortGetRunLoopSource(gNotifyPort);
    gRunLoop = MainRunLoop();

    CFMutableDictionaryRef matchingDict = IOServiceMatching("IOBlockStorageServices");
    if (matchingDict == NULL)
        return -1;

    CFRunLoopAddSource(gRunLoop, runLoopSource, kCFRunLoopDefaultMode);
    IOServiceAddMatchingNotification(gNotifyPort, kIOFirstMatchNotification, matchingDict,
                                     DeviceAdded, NULL, &gDeviceAddedIter);
    DeviceAdded(NULL, gDeviceAddedIter);
    return 0;
}

// ---------------------------------------------------------------------------
// Bridge command channel.

// One command inside its own open/close bracket on a connection of its own.
// The result is the command's status; the output is valid only when it is 0.
static IOReturn ExchangeStructure(io_service_t service, uint32_t selector, void* input,
                                  IOItemCount inputSize, void* output, IOByteCount outputCapacity) {
    io_connect_t connection = 0;
    kern_return_t status = IOServiceOpen(service, mach_task_self(), 0, &connection);
    if (status != KERN_SUCCESS)
        return status;

    status = IOConnectMethodScalarIScalarO(connection, kOstrelTVBClientOpen, 0, 0);
    if (status != KERN_SUCCESS) {
        IOServiceClose(connection);
        return status;
    }

    // Running out of memory inside a call must not leave the bracket open: the exchange
    // reports it as a status like any other failure.
    IOReturn commandStatus = kIOReturnNoMemory;
    try {
        IOByteCount outputSize = outputCapacity;
        commandStatus = IOConnectMethodStructureIStructureO(connection, selector, inputSize,
                                                            &outputSize, input, output);
    } catch (const std::bad_alloc&) {
    }
    try {
        IOConnectMethodScalarIScalarO(connection, kOstrelTVBClientClose, 0, 0);
    } catch (const std::bad_alloc&) {
    }
    IOServiceClose(connection);
    return commandStatus;
}

IOReturn QueryButtonMap(io_service_t service, ButtonMapResponse& response) {
    // A short answer must not leave stale bytes behind that read as a press.
    memset(static_cast<void*>(&response), 0, sizeof response);
    return ExchangeStructure(service, kOstrelTVBClientGetButtonMap, NULL, 0, &response,
                             sizeof response);
}

bool IsButtonPressed(IOReturn queryStatus, const ButtonMapResponse& response) {
    return queryStatus == kIOReturnSuccess && static_cast<uint32_t>(response.buttonMap) != 0;
}

// False when the driver refused the LED command and also when none could be sent.
bool SetBlinkenLights(io_service_t service, LEDValueInput& ledInput) {
    DummyResponse response;
    return ExchangeStructure(service, kOstrelTVBClientSetLEDValue, &ledInput, sizeof ledInput,
                             &response, sizeof response) == kIOReturnSuccess;
}

bool SetBlinkenLightsValue(io_service_t service, uint8 pctFull) {
    LEDValueInput ledInput;
    memset(&ledInput, 0, sizeof ledInput);
    ledInput.boolSetLightValue = 1;
    ledInput.lightValue = pctFull;
    return SetBlinkenLights(service, ledInput);
}

bool SetShowBlinkenLightsValue(io_service_t service, uint8 pctFull, bool showNow) {
    LEDValueInput ledInput;
    memset(&ledInput, 0, sizeof ledInput);
    ledInput.boolSetLightValue = 1;
    ledInput.lightValue = pctFull;
    ledInput.boolSetEnableLight = 1;
    ledInput.boolEnableLight = showNow ? 1 : 0;
    return SetBlinkenLights(service, ledInput);
}

bool ShowBlinkenLights(io_service_t service, bool showNow) {
    LEDValueInput ledInput;
    memset(&ledInput, 0, sizeof ledInput);
    ledInput.boolSetEnableLight = 1;
    ledInput.boolEnableLight = showNow ? 1 : 0;
    return SetBlinkenLights(service, ledInput);
}

// ---------------------------------------------------------------------------
// Device volumes.

typedef void (*VolumeVisitor)(const FSVolumeInfo& volumeInfo, const HFSUniStr255& volumeName,
                              void* context);

// Visits, in index order, every mounted volume whose BSD media lies below commonService.
static void WalkVolumesForService(io_service_t commonService, FSVolumeInfoBitmap whichInfo,
                                  VolumeVisitor visit, void* context) {
    OSErr err = noErr;
    for (UInt32 allVolumeIndex = 1; err != nsvErr; ++allVolumeIndex) {
        FSVolumeInfo volumeInfo;
        HFSUniStr255 uniVolumeName;
        FSVolumeRefNum actualVolume = 0;
        memset(&volumeInfo, 0, sizeof volumeInfo);
        err = FSGetVolumeInfo(kFSInvalidVolumeRefNum, allVolumeIndex, &actualVolume, whichInfo,
                              &volumeInfo, &uniVolumeName, NULL);
        if (err != noErr)
            continue;

        GetVolParmsInfoBuffer volumeParms;
        HParamBlockRec pb;
        memset(&volumeParms, 0, sizeof volumeParms);
        memset(&pb, 0, sizeof pb);
        pb.ioParam.ioNamePtr = NULL;
        pb.ioParam.ioVRefNum = actualVolume;
        pb.ioParam.ioBuffer = reinterpret_cast<Ptr>(&volumeParms);
        pb.ioParam.ioReqCount = sizeof volumeParms;
        err = PBHGetVolParmsSync(&pb);
        if (err != noErr || volumeParms.vMDeviceID == NULL)
            continue;

        io_service_t volumeService =
            GetServiceForBSDName(static_cast<char*>(volumeParms.vMDeviceID));
        if (volumeService == 0)
            continue;
        if (HasParent(volumeService, commonService))
            visit(volumeInfo, uniVolumeName, context);
        IOObjectRelease(volumeService);
    }
}

enum { kVolumeNamesMaxLength = 1024 };

struct VolumeNames {
    CFMutableStringRef text;
    bool full;
};

// Whole names only: from the first name that would not fit with its CR LF on, the text
// stays as it is, so the backup application never sees a cut name or a gap.
static void AppendVolumeName(const FSVolumeInfo& volumeInfo, const HFSUniStr255& volumeName,
                             void* context) {
    (void)volumeInfo;
    VolumeNames* names = static_cast<VolumeNames*>(context);
    if (names->full ||
        CFStringGetLength(names->text) + volumeName.length + 2 > kVolumeNamesMaxLength) {
        names->full = true;
        return;
    }
    CFStringAppendCharacters(names->text, volumeName.unicode, volumeName.length);
    CFStringAppendCString(names->text, "\r\n", kCFStringEncodingMacRoman);
}

CFStringRef GetFormattedVolumeNamesForService(io_service_t commonService) {
    VolumeNames names = {CFStringCreateMutable(kCFAllocatorDefault, kVolumeNamesMaxLength), false};
    if (names.text == NULL)
        throw std::bad_alloc();
    try {
        WalkVolumesForService(commonService, kFSVolInfoFSInfo, AppendVolumeName, &names);
    } catch (...) {
        CFRelease(names.text);
        throw;
    }
    return names.text;
}

struct VolumeTotals {
    uint64 totalBytes;
    uint64 freeBytes;
};

static void AddVolumeSizes(const FSVolumeInfo& volumeInfo, const HFSUniStr255& volumeName,
                           void* context) {
    (void)volumeName;
    VolumeTotals* totals = static_cast<VolumeTotals*>(context);
    totals->totalBytes += volumeInfo.totalBytes;
    totals->freeBytes += volumeInfo.freeBytes;
}

void GetVolumeTotalsForService(io_service_t commonService, uint64& totalBytes, uint64& freeBytes) {
    VolumeTotals totals = {0, 0};
    totalBytes = 0;
    freeBytes = 0;
    WalkVolumesForService(commonService, kFSVolInfoFSInfo | kFSVolInfoSizes, AddVolumeSizes,
                          &totals);
    totalBytes = totals.totalBytes;
    freeBytes = totals.freeBytes;
}

uint8 GetVolumeUsedValue(io_service_t service) {
    uint64 totalBytes = 0;
    uint64 freeBytes = 0;
    GetVolumeTotalsForService(service, totalBytes, freeBytes);
    if (totalBytes == 0)
        return 0;
    return static_cast<uint8>((freeBytes * 100) / totalBytes);
}

// ---------------------------------------------------------------------------
// Hand-off folder and files.

OSStatus MakeDummyDirFSRef(FSRef& dummyDirRefOut) {
    FSRef documentsRef;
    OSStatus err = FSFindFolder(kUserDomain, kDocumentsFolderType, kCreateFolder, &documentsRef);
    if (err != noErr)
        return err;

    err = MakeChildFSRef(documentsRef, CFSTR("For Button Manage"), dummyDirRefOut);
    if (err != fnfErr)
        return err;

    HandOffName unicodeName(CFSTR("For Button Manage"));
    return FSCreateDirectoryUnicode(&documentsRef, unicodeName.length, unicodeName.characters,
                                    kFSCatInfoNone, NULL, &dummyDirRefOut, NULL, NULL);
}

OSStatus CreateDummyLaunchFileFSRef(FSRef& dummyRef) {
    FSRef dirRef;
    OSStatus err = MakeDummyDirFSRef(dirRef);
    if (err != noErr)
        return err;

    HandOffName unicodeName(CFSTR("LaunchBackup"));
    return FSCreateFileUnicode(&dirRef, unicodeName.length, unicodeName.characters, kFSCatInfoNone,
                               NULL, &dummyRef, NULL);
}

static OSStatus MakeHandOffFileFSRef(CFStringRef name, FSRef& fileRef) {
    FSRef dirRef;
    OSStatus err = MakeDummyDirFSRef(dirRef);
    if (err != noErr)
        return err;
    return MakeChildFSRef(dirRef, name, fileRef);
}

OSStatus MakeDummyLaunchFileFSRef(FSRef& dummyRef) {
    return MakeHandOffFileFSRef(CFSTR("LaunchBackup"), dummyRef);
}

OSStatus MakeDummyEndFileFSRef(FSRef& dummyRef) {
    return MakeHandOffFileFSRef(CFSTR("EndBackup"), dummyRef);
}

void CleanupDummyFiles() {
    FSRef fileRef;
    if (MakeDummyEndFileFSRef(fileRef) == noErr)
        FSDeleteObject(&fileRef);
    if (MakeDummyLaunchFileFSRef(fileRef) == noErr)
        FSDeleteObject(&fileRef);
}

static OSErr WriteAll(FSIORefNum forkRef, UInt16 positionMode, const void* bytes, ByteCount count) {
    ByteCount written = 0;
    OSErr err = FSWriteFork(forkRef, positionMode, 0, count, bytes, &written);
    if (err == noErr && written != count)
        err = ioErr;
    return err;
}

OSStatus WriteDummyLaunchFile(io_service_t service, const uint8 serialNumber[16], FSRef& dummyRef) {
    OSStatus err = CreateDummyLaunchFileFSRef(dummyRef);
    if (err != noErr)
        return err;

    HFSUniStr255 dataForkName;
    FSGetDataForkName(&dataForkName);
    FSIORefNum forkRef = 0;
    err = FSOpenFork(&dummyRef, dataForkName.length, dataForkName.unicode, fsRdWrPerm, &forkRef);
    if (err != noErr)
        return err;

    static char volumeText[kLaunchTextSize];
    volumeText[0] = '\0';
    size_t serialLength = 0;
    while (serialLength < 16 && serialNumber[serialLength] != 0)
        ++serialLength;

    // A launch file the backup would misread is worse than none: any failed write
    // drops the press and takes the partial file away.
    CFStringRef names = NULL;
    try {
        names = GetFormattedVolumeNamesForService(service);
    } catch (...) {
        FSCloseFork(forkRef);
        FSDeleteObject(&dummyRef);
        throw;
    }
    OSErr writeErr = WriteAll(forkRef, fsFromStart, serialNumber, serialLength);
    if (writeErr == noErr)
        writeErr = WriteAll(forkRef, fsAtMark, "\r\n", 2);
    if (writeErr == noErr &&
        CFStringGetCString(names, volumeText, sizeof volumeText, kCFStringEncodingUTF8))
        writeErr = WriteAll(forkRef, fsAtMark, volumeText, strlen(volumeText));
    OSErr closeErr = FSCloseFork(forkRef);
    CFRelease(names);

    if (writeErr == noErr)
        writeErr = closeErr;
    if (writeErr != noErr) {
        FSDeleteObject(&dummyRef);
        return writeErr;
    }
    return noErr;
}

// ---------------------------------------------------------------------------
// Backup application.

OSStatus LaunchBackupApplication(const FSRef& dummyRef) {
    FSRef applicationRef;
    OSStatus err = ResolveApplicationPath(applicationRef);
    if (err != noErr)
        return err;

    LSLaunchFSRefSpec launchSpec;
    launchSpec.appRef = &applicationRef;
    launchSpec.numDocs = 1;
    launchSpec.itemRefs = &dummyRef;
    launchSpec.passThruParams = NULL;
    launchSpec.launchFlags = kLSLaunchDefaults;
    launchSpec.asyncRefCon = NULL;
    err = LSOpenFromRefSpec(&launchSpec, NULL);
    if (err != noErr)
        return err;

    CFURLRef applicationURL = CFURLCreateFromFSRef(kCFAllocatorDefault, &applicationRef);
    if (applicationURL != NULL) {
        CFBundleRef bundle = CFBundleCreate(kCFAllocatorDefault, applicationURL);
        if (bundle != NULL) {
            UInt32 packageType = 0;
            CFBundleGetPackageInfo(bundle, &packageType, &arcsoftApplicationCreator);
            CFRelease(bundle);
        }
        CFRelease(applicationURL);
    }
    return noErr;
}

// A creator code never learnt (0) or not given by the bundle ('????') names no
// process reliably: then the backup application is recognised by its location.
bool isArcSoftAppRunning() {
    bool byCreator = arcsoftApplicationCreator != 0 && arcsoftApplicationCreator != kUnknownCreator;
    FSRef applicationRef;
    if (!byCreator && ResolveApplicationPath(applicationRef) != noErr)
        return false;

    ProcessSerialNumber psn = {0, kNoProcess};
    for (;;) {
        if (GetNextProcess(&psn) != noErr)
            return false;
        ProcessInfoRec info;
        FSRef processLocation;
        memset(&info, 0, sizeof info);
        info.processInfoLength = sizeof info;
        info.processAppSpec = byCreator ? NULL : &processLocation;
        if (GetProcessInformation(&psn, &info) != noErr)
            return false;
        if (byCreator ? info.processSignature == arcsoftApplicationCreator
                      : FSCompareFSRefs(&processLocation, &applicationRef) == noErr)
            return true;
    }
}
