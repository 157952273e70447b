// The button poller: tracks bridge drives, polls their backup buttons every tick,
// hands a press over to the backup application and drives the capacity lights.
// Everything runs on the main thread inside the main event loop; nothing is locked.

#include "TarvelleButtonPoller.h"

#include <IOKit/IOMessage.h>

#include <limits.h>
#include <new>
#include <signal.h>
#include <stdarg.h>
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
// Why there is no path: a value of another type was stored, rather than none at all.
static bool appNameIsNotAString = false;

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

// One line on standard error, which the journal keeps under a service manager: for the
// things a user must hear about that the system log is not told.
static void ReportOnStderr(const char* format, ...) __attribute__((format(printf, 1, 2)));

static void ReportOnStderr(const char* format, ...) {
    char line[1536];
    va_list arguments;
    va_start(arguments, format);
    vsnprintf(line, sizeof line, format, arguments);
    va_end(arguments);
    // Text from outside (a path) must not break the one line into several.
    for (char* c = line; *c != '\0'; ++c) {
        if (static_cast<unsigned char>(*c) < 0x20 || *c == 0x7F)
            *c = '?';
    }
    fprintf(stderr, "TarvelleButtonPoller: %s\n", line);
    fflush(stderr);
}

// ---------------------------------------------------------------------------
// Start-up and main loop.

// Two copies started at the same moment would each find the other and both give up, leaving
// none: a copy counts only when it started before this one (the earlier launch, or the same
// tick and the lower pid), so exactly one of them stays.
static bool StartedBefore(UInt32 launch, pid_t pid, UInt32 ownLaunch, pid_t ownPid) {
    return launch < ownLaunch || (launch == ownLaunch && pid < ownPid);
}

bool RIAlreadyRunning(OSType sig, pid_t* otherPID) {
    int count = 0;
    ProcessSerialNumber self = {0, kCurrentProcess};
    ProcessInfoRec ownInfo;
    memset(&ownInfo, 0, sizeof ownInfo);
    ownInfo.processInfoLength = sizeof ownInfo;
    const UInt32 ownLaunch =
        GetProcessInformation(&self, &ownInfo) == noErr ? ownInfo.processLaunchDate : 0xFFFFFFFF;
    const pid_t ownPid = getpid();
    ProcessSerialNumber psn = {0, kNoProcess};
    for (;;) {
        if (GetNextProcess(&psn) != noErr)
            break;
        ProcessInfoRec info;
        memset(&info, 0, sizeof info);
        info.processInfoLength = sizeof info;
        if (GetProcessInformation(&psn, &info) != noErr)
            break;
        if (info.processSignature != sig)
            continue;
        Boolean isSelf = false;
        pid_t pid = 0;
        if (SameProcess(&psn, &self, &isSelf) == noErr && !isSelf) {
            if (GetProcessPID(&psn, &pid) != noErr ||
                !StartedBefore(info.processLaunchDate, pid, ownLaunch, ownPid))
                continue;
            if (otherPID != NULL)
                *otherPID = pid;
        }
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

    // A file-size limit must fail the write that passes it, which drops the press and its
    // partial launch file, and a line for standard error whose reader has gone must be lost,
    // rather than either ending the daemon. Launched applications get the defaults back.
    signal(SIGXFSZ, SIG_IGN);
    signal(SIGPIPE, SIG_IGN);

    CFPropertyListRef appName =
        CFPreferencesCopyAppValue(CFSTR("AppName"), CFSTR("TotalMedia Backup"));
    if (appName != NULL) {
        if (CFGetTypeID(appName) == CFStringGetTypeID()) {
            arcsoftApplicationPath = static_cast<CFStringRef>(appName);
        } else {
            appNameIsNotAString = true;
            CFRelease(appName);
        }
    }

    FSRef applicationRef;
    if (ResolveApplicationPath(applicationRef) == noErr)
        CleanupDummyFiles();

    pid_t otherCopy = 0;
    if (RIAlreadyRunning(kPollerSignature, &otherCopy)) {
        if (otherCopy != 0)
            ReportOnStderr("another copy is already running (pid %d); this one exits",
                           static_cast<int>(otherCopy));
        else
            ReportOnStderr("another copy is already running; this one exits");
        return 0;
    }

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

// A drive that missed its value (a refused or failed command) asks for another refresh at
// the next tick, so its lights catch up once the fault has cleared.
static void RefreshAllLights() {
    updatePctFree = false;
    bool missed = false;
    service_serial* entry = NULL;
    for (long index = 1; pollButtonServices.FetchItemAt(index, entry); ++index) {
        if (!SetBlinkenLightsValue(entry->service, GetVolumeUsedValue(entry->service)))
            missed = true;
    }
    if (missed)
        updatePctFree = true;
}

// An end file the press could not clear (a folder of that name with something in it) was
// there before the backup began, so it cannot be the application's signal: while it stays,
// only the application's quitting ends the backup. Otherwise the launch file would go at
// the next tick, perhaps before the application has read it.
static FSRef staleEndFile;
static bool staleEndFileKnown = false;

static bool EndFileWritten() {
    FSRef endRef;
    if (MakeDummyEndFileFSRef(endRef) != noErr)
        return false;
    return !staleEndFileKnown || FSCompareFSRefs(&endRef, &staleEndFile) != noErr;
}

static void TrackBackup() {
    bool finished = EndFileWritten() || !isArcSoftAppRunning();
    if (!finished)
        return;
    CleanupDummyFiles();
    backupActive = false;
    if (backupService != 0) {
        SetShowBlinkenLightsValue(backupService, GetVolumeUsedValue(backupService), true);
        SetBackupService(0);
    }
}

// A press the hand-off folder cannot take is lost, so the user must hear of it.
static void ReportDroppedPress(OSStatus err) {
    // Documents may lie deeper than an application path may be long.
    char documents[PATH_MAX];
    FSRef documentsRef;
    OSStatus findErr =
        FSFindFolder(kUserDomain, kDocumentsFolderType, kDontCreateFolder, &documentsRef);
    if (findErr == noErr)
        findErr =
            FSRefMakePath(&documentsRef, reinterpret_cast<UInt8*>(documents), sizeof documents);
    if (findErr == noErr)
        ReportOnStderr("a button press was dropped: no launch file could be written in "
                       "%s/For Button Manage (File Manager status %d)",
                       documents, static_cast<int>(err));
    else if (findErr == fnfErr || findErr == dirNFErr)
        ReportOnStderr("a button press was dropped: no Documents folder for the launch file "
                       "(File Manager status %d)",
                       static_cast<int>(err));
    // Out of descriptors, say, the folder may well be there: only the status is known.
    else
        ReportOnStderr("a button press was dropped: no launch file could be written "
                       "(File Manager status %d)",
                       static_cast<int>(err));
}

static void HandlePress(io_service_t service, const ButtonMapResponse& response) {
    CleanupDummyFiles();
    staleEndFileKnown = MakeDummyEndFileFSRef(staleEndFile) == noErr;
    syslog(LOG_INFO, "GeneralMessage:  Polled button press");
    FSRef launchRef;
    OSStatus err = WriteDummyLaunchFile(service, response.serialNumber, launchRef);
    if (err != noErr) {
        ReportDroppedPress(err);
        return;
    }
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
    // The serial that listed the entry, not a second read: a read failing now would leave
    // a record whose termination finds no entry, and the drive listed for good.
    privateDataRef->deviceSerialNumber = static_cast<CFStringRef>(CFRetain(notificationSerial));
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

// Each step of an exchange is guarded on its own: no exception leaves the exchange, running
// out of memory inside a call is a failed step like any other, and once the connection is
// open it is closed whatever happened, which ends the bracket opened by selector 0 too.
static IOReturn StatusOfCurrentException() {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return kIOReturnNoMemory;
    } catch (...) {
        return kIOReturnError;
    }
}

static IOReturn OpenUserClient(io_service_t service, io_connect_t& connection) {
    connection = 0;
    try {
        return IOServiceOpen(service, mach_task_self(), 0, &connection);
    } catch (...) {
        connection = 0;
        return StatusOfCurrentException();
    }
}

static IOReturn CallBracketSelector(io_connect_t connection, uint32_t selector) {
    try {
        return IOConnectMethodScalarIScalarO(connection, selector, 0, 0);
    } catch (...) {
        return StatusOfCurrentException();
    }
}

static IOReturn CallCommandSelector(io_connect_t connection, uint32_t selector, void* input,
                                    IOItemCount inputSize, void* output,
                                    IOByteCount outputCapacity) {
    try {
        IOByteCount outputSize = outputCapacity;
        return IOConnectMethodStructureIStructureO(connection, selector, inputSize, &outputSize,
                                                   input, output);
    } catch (...) {
        return StatusOfCurrentException();
    }
}

// A connection left open would hold the drive's user client for good: a close that ran out
// of memory is tried once more.
static void CloseUserClient(io_connect_t connection) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        try {
            IOServiceClose(connection);
            return;
        } catch (...) {
        }
    }
}

// One command inside its own open/close bracket on a connection of its own.
// The result is the command's status; the output is valid only when it is 0.
static IOReturn ExchangeStructure(io_service_t service, uint32_t selector, void* input,
                                  IOItemCount inputSize, void* output, IOByteCount outputCapacity) {
    io_connect_t connection = 0;
    kern_return_t status = OpenUserClient(service, connection);
    if (status != KERN_SUCCESS)
        return status;

    status = CallBracketSelector(connection, kOstrelTVBClientOpen);
    if (status != KERN_SUCCESS) {
        CloseUserClient(connection);
        return status;
    }

    IOReturn commandStatus =
        CallCommandSelector(connection, selector, input, inputSize, output, outputCapacity);
    CallBracketSelector(connection, kOstrelTVBClientClose);
    CloseUserClient(connection);
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

// The launch file separates its lines with CR LF, so a device's text must hold no line
// break of its own: control characters are written as the replacement character instead.
static const UniChar kReplacementCharacter = 0xFFFD;

static bool IsControlCharacter(UInt32 c) {
    return c < 0x20 || c == 0x7F;
}

// A name is UTF-16, where the controls go on past DEL (NEL, and CSI that terminals obey)
// and Unicode has line and paragraph separators of its own.
static bool IsControlOrLineBreak(UniChar c) {
    return IsControlCharacter(c) || (c >= 0x80 && c <= 0x9F) || c == 0x2028 || c == 0x2029;
}

// The same characters past DEL as the bridge's serial bytes may spell them in UTF-8: the
// length of the one that starts `bytes`, else 0.
static size_t EncodedLineBreakLength(const uint8* bytes, size_t count) {
    if (count >= 2 && bytes[0] == 0xC2 && bytes[1] >= 0x80 && bytes[1] <= 0x9F)
        return 2;
    if (count >= 3 && bytes[0] == 0xE2 && bytes[1] == 0x80 &&
        (bytes[2] == 0xA8 || bytes[2] == 0xA9))
        return 3;
    return 0;
}

// Whole names only: from the first name that would not fit with its CR LF on, the text
// stays as it is, so the backup application never sees a cut name or a gap. A replaced
// character is one UTF-16 unit as the original was, so the limit counts names the same.
static void AppendVolumeName(const FSVolumeInfo& volumeInfo, const HFSUniStr255& volumeName,
                             void* context) {
    (void)volumeInfo;
    VolumeNames* names = static_cast<VolumeNames*>(context);
    if (names->full ||
        CFStringGetLength(names->text) + volumeName.length + 2 > kVolumeNamesMaxLength) {
        names->full = true;
        return;
    }
    UniChar line[255];
    const UInt16 length = volumeName.length < 255 ? volumeName.length : 255;
    for (UInt16 i = 0; i < length; ++i) {
        const UniChar c = volumeName.unicode[i];
        // A surrogate without its partner has no UTF-8 form, and would cost the whole text.
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < length && volumeName.unicode[i + 1] >= 0xDC00 &&
            volumeName.unicode[i + 1] <= 0xDFFF) {
            line[i] = c;
            line[i + 1] = volumeName.unicode[i + 1];
            ++i;
            continue;
        }
        line[i] =
            IsControlOrLineBreak(c) || (c >= 0xD800 && c <= 0xDFFF) ? kReplacementCharacter : c;
    }
    CFStringAppendCharacters(names->text, line, length);
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

// part × 100 / whole, truncated, for any 64-bit sizes: the product itself would overflow
// beyond 184 PB. The remainder's share is added one hundredth at a time, each step staying
// below whole, so no intermediate value exceeds 64 bits.
static uint64 PercentOf(uint64 part, uint64 whole) {
    uint64 percent = (part / whole) * 100;
    const uint64 rest = part % whole;
    uint64 carried = 0; // rest × step modulo whole
    for (int step = 0; step < 100; ++step) {
        if (carried >= whole - rest) {
            carried -= whole - rest;
            ++percent;
        } else {
            carried += rest;
        }
    }
    return percent;
}

uint8 GetVolumeUsedValue(io_service_t service) {
    uint64 totalBytes = 0;
    uint64 freeBytes = 0;
    GetVolumeTotalsForService(service, totalBytes, freeBytes);
    if (totalBytes == 0)
        return 0;
    return static_cast<uint8>(PercentOf(freeBytes, totalBytes));
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
    // The serial's bytes as the bridge gave them, but never a line break of the bridge's.
    static const char kReplacementUTF8[] = "\xEF\xBF\xBD";
    char serialText[16 * (sizeof kReplacementUTF8 - 1)];
    size_t serialLength = 0;
    for (size_t i = 0; i < 16 && serialNumber[i] != 0; ++i) {
        const size_t encoded = EncodedLineBreakLength(serialNumber + i, 16 - i);
        if (IsControlCharacter(serialNumber[i]) || encoded != 0) {
            memcpy(serialText + serialLength, kReplacementUTF8, sizeof kReplacementUTF8 - 1);
            serialLength += sizeof kReplacementUTF8 - 1;
            if (encoded != 0)
                i += encoded - 1;
        } else {
            serialText[serialLength++] = static_cast<char>(serialNumber[i]);
        }
    }

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
    OSErr writeErr = WriteAll(forkRef, fsFromStart, serialText, serialLength);
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

// The last "AppName" problem told on stderr. A press that finds the same problem again says
// nothing; one that finds the application usable forgets it, so it is told if it comes back.
static char appNameProblem[kApplicationPathSize + 256];

static void ReportAppNameProblem(const char* problem) {
    if (strcmp(problem, appNameProblem) == 0)
        return;
    snprintf(appNameProblem, sizeof appNameProblem, "%s", problem);
    ReportOnStderr("no backup application: %s", problem);
}

// Only a failure of the resolve or of Launch Services saying the item is no application is
// the preference's fault; any other refusal is the launch's own and is told every time.
static void ReportLaunchFailure(OSStatus err, bool resolved) {
    char problem[sizeof appNameProblem];
    char path[kApplicationPathSize];
    if (arcsoftApplicationPath == NULL) {
        snprintf(problem, sizeof problem, "%s",
                 appNameIsNotAString
                     ? "\"AppName\" in the preferences of \"TotalMedia Backup\" is not a string"
                     : "the preferences of \"TotalMedia Backup\" hold no \"AppName\"");
    } else if (!CopyApplicationPath(path)) {
        snprintf(problem, sizeof problem,
                 "\"AppName\" is no usable path (longer than %d bytes or holding a NUL)",
                 kApplicationPathSize - 1);
    } else if (!resolved) {
        snprintf(problem, sizeof problem,
                 "\"AppName\" names %s, which cannot be found (File Manager status %d)", path,
                 static_cast<int>(err));
    } else if (err == kLSApplicationNotFoundErr || err == kLSNotAnApplicationErr ||
               err == kLSNoExecutableErr) {
        snprintf(problem, sizeof problem,
                 "\"AppName\" names %s, which is not an application bundle "
                 "(Launch Services status %d)",
                 path, static_cast<int>(err));
    } else if (err == userCanceledErr) {
        // Told to quit meanwhile: the launch was not waited for, not refused.
        ReportOnStderr("quitting before the backup application %s was seen to start; it may "
                       "still start",
                       path);
        return;
    } else {
        appNameProblem[0] = '\0';
        ReportOnStderr("launching the backup application %s failed (Launch Services status %d)",
                       path, static_cast<int>(err));
        return;
    }
    ReportAppNameProblem(problem);
}

OSStatus LaunchBackupApplication(const FSRef& dummyRef) {
    FSRef applicationRef;
    OSStatus err = ResolveApplicationPath(applicationRef);
    if (err != noErr) {
        ReportLaunchFailure(err, false);
        return err;
    }

    LSLaunchFSRefSpec launchSpec;
    launchSpec.appRef = &applicationRef;
    launchSpec.numDocs = 1;
    launchSpec.itemRefs = &dummyRef;
    launchSpec.passThruParams = NULL;
    launchSpec.launchFlags = kLSLaunchDefaults;
    launchSpec.asyncRefCon = NULL;
    err = LSOpenFromRefSpec(&launchSpec, NULL);
    if (err != noErr) {
        ReportLaunchFailure(err, true);
        return err;
    }
    appNameProblem[0] = '\0';

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
