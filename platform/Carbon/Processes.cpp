#include "Processes_Internal.h"

#include <Carbon/Files.h>
#include <Carbon/MacErrors.h>
#include <Carbon/Processes.h>
// An application is what CFBundle counts as one, so both share the bundle look-up.
#include <CoreFoundation/CFBundlePriv.h>
#include <tvb/RegularFile.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr OSType kApplicationType = 0x4150504C; // 'APPL'
constexpr OSType kUnknownCode = 0x3F3F3F3F;     // '????'
// The kernel's short name of a process: the first bytes of its program's file name.
constexpr size_t kCommandMaxBytes = 15;

struct Application {
    pid_t pid = 0;
    std::string bundle; // empty for the current process when it is a plain tool
    std::string name;
    OSType type = kApplicationType;
    OSType creator = kUnknownCode;
    tvb::process::Facts facts;
};

// The last process GetNextProcess returned on this thread, until the walk ends. If it exits
// before the caller asks for its information, the caller still gets what it was shown, so that
// a walk that stops at the first error is not cut short by a process that happened to quit.
thread_local Application lastReturned;

// An application's type and creator as its process started, read from its bundle once per
// process, as the Mac's Process Manager learns them at launch: a bundle edited while its
// application runs does not change the process, and a walk does not parse every application's
// Info.plist (up to megabytes each) again at every step. A process is known by its pid, start
// time and bundle, so a reused pid or an exec into another bundle is read afresh.
class LaunchCodes {
public:
    void Get(pid_t pid, const tvb::process::Facts& facts, const std::string& bundlePath,
             OSType& type, OSType& creator) {
        {
            std::lock_guard<std::mutex> guard(mLock);
            auto known = mCodes.find(pid);
            if (known != mCodes.end() && known->second.startTicks == facts.startTicks &&
                known->second.bundle == bundlePath) {
                type = known->second.type;
                creator = known->second.creator;
                return;
            }
        }
        type = kApplicationType;
        creator = kUnknownCode;
        // Unlocked: the parse may be slow and the answer is the same whoever stores it.
        CFBundleRef bundle = __CFBundleCreateWithPath(kCFAllocatorDefault, bundlePath);
        if (bundle == nullptr)
            return; // moved away while its process runs: maybe back at the next look
        CFBundleGetPackageInfo(bundle, &type, &creator);
        CFRelease(bundle);
        std::lock_guard<std::mutex> guard(mLock);
        if (mCodes.size() >= mPruneAt)
            Prune();
        mCodes[pid] = Codes{facts.startTicks, bundlePath, type, creator};
    }

private:
    struct Codes {
        uint64_t startTicks;
        std::string bundle;
        OSType type, creator;
    };

    // Drops the processes that have gone; the bound grows with those still running.
    void Prune() {
        for (auto at = mCodes.begin(); at != mCodes.end();)
            at = kill(at->first, 0) != 0 && errno == ESRCH ? mCodes.erase(at) : std::next(at);
        mPruneAt = std::max<size_t>(kMinPruneAt, 2 * mCodes.size());
    }

    static constexpr size_t kMinPruneAt = 64;
    std::mutex mLock;
    std::map<pid_t, Codes> mCodes;
    size_t mPruneAt = kMinPruneAt;
};

LaunchCodes& KnownLaunchCodes() {
    static LaunchCodes* codes = new LaunchCodes; // never destroyed: used until the process ends
    return *codes;
}

// A running application process of the current user, or false.
bool LookUpApplication(pid_t pid, Application& app) {
    // {0, 1} and {0, 2} stand for the system and the current process, never for pids 1 and 2.
    if (pid <= static_cast<pid_t>(kCurrentProcess))
        return false;
    tvb::process::Facts facts;
    if (!tvb::process::ReadFacts(pid, facts) || facts.uid != geteuid())
        return false;
    std::string bundle = tvb::process::ApplicationBundleOf(pid, facts);
    if (bundle.empty())
        return false;
    app.pid = pid;
    app.name = bundle.substr(bundle.rfind('/') + 1);
    app.name.erase(app.name.size() - 4); // ".app"
    KnownLaunchCodes().Get(pid, facts, bundle, app.type, app.creator);
    app.bundle = std::move(bundle);
    app.facts = std::move(facts);
    return true;
}

bool DescribeCurrentProcess(Application& app) {
    if (LookUpApplication(getpid(), app))
        return true;
    tvb::process::Facts facts;
    if (!tvb::process::ReadFacts(getpid(), facts))
        return false;
    app = Application{};
    app.pid = getpid();
    app.name = facts.command;
    app.facts = std::move(facts);
    return true;
}

bool IsCurrentProcess(const ProcessSerialNumber& psn) {
    return psn.highLongOfPSN == 0 && (psn.lowLongOfPSN == kCurrentProcess ||
                                      psn.lowLongOfPSN == static_cast<UInt32>(getpid()));
}

bool Resolve(const ProcessSerialNumber& psn, Application& app) {
    if (IsCurrentProcess(psn))
        return DescribeCurrentProcess(app);
    if (psn.highLongOfPSN != 0 || psn.lowLongOfPSN > static_cast<UInt32>(INT32_MAX))
        return false;
    auto pid = static_cast<pid_t>(psn.lowLongOfPSN);
    if (LookUpApplication(pid, app))
        return true;
    if (lastReturned.pid != 0 && lastReturned.pid == pid) {
        app = lastReturned;
        return true;
    }
    return false;
}

// A Pascal string of at most 31 bytes, cut before a partial UTF-8 sequence.
void CopyName(const std::string& name, StringPtr out) {
    size_t length = std::min<size_t>(name.size(), 31);
    while (length > 0 && length < name.size() && (name[length] & 0xC0) == 0x80)
        --length;
    out[0] = static_cast<unsigned char>(length);
    std::memcpy(out + 1, name.data(), length);
}

UInt32 Clamp(uint64_t value) {
    return static_cast<UInt32>(std::min<uint64_t>(value, UINT32_MAX));
}

std::string BaseName(const std::string& path) {
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

struct Shebang {
    std::string interpreter;
    std::string argument; // everything after the interpreter, as one argument
};

// A script's "#!" line, split as the kernel splits it. Only a regular file is read: the path
// comes from another process's arguments and could name a FIFO that never answers.
bool ReadShebang(const std::string& path, Shebang& out) {
    char head[256];
    tvb::UniqueFd file = tvb::OpenRegularFile(path.c_str());
    ssize_t got = file ? tvb::ReadFully(file.Get(), head, sizeof head) : -1;
    file.Reset();
    if (got <= 0)
        return false;
    std::string line(head, static_cast<size_t>(got));
    if (line.compare(0, 2, "#!") != 0)
        return false;
    size_t newline = line.find('\n');
    line = line.substr(2, newline == std::string::npos ? std::string::npos : newline - 2);
    const char* blanks = " \t";
    size_t start = line.find_first_not_of(blanks);
    if (start == std::string::npos)
        return false;
    size_t end = std::min(line.find_first_of(blanks, start), line.size());
    out.interpreter = line.substr(start, end - start);
    size_t rest = line.find_first_not_of(blanks, end);
    size_t last = line.find_last_not_of(blanks);
    out.argument = rest == std::string::npos ? std::string() : line.substr(rest, last + 1 - rest);
    return true;
}

// Whether the process runs the program at path, an executable in a bundle it was started
// by. A process hidden from us can only be taken at its word: its name must be path's.
bool StartedAs(pid_t pid, const tvb::process::Facts& facts, const std::string& path) {
    if (path.empty() || path[0] != '/' || __CFBundlePathForExecutable(path).empty())
        return false;
    if (path == facts.executable)
        return true;
    struct stat named, running;
    if (stat(path.c_str(), &named) != 0 || !S_ISREG(named.st_mode))
        return false;
    if (facts.executable.empty())
        return facts.command == BaseName(path).substr(0, kCommandMaxBytes);
    return stat(("/proc/" + std::to_string(pid) + "/exe").c_str(), &running) == 0 &&
           named.st_dev == running.st_dev && named.st_ino == running.st_ino;
}

} // namespace

namespace tvb::process {

std::string ApplicationBundleOf(pid_t pid, const Facts& facts) {
    // Launch Services starts an application by its path in the bundle, which the kernel
    // resolves: a link to a program elsewhere would hide where it was started from.
    std::vector<std::string> arguments = ReadArguments(pid, 3);
    if (!arguments.empty() && StartedAs(pid, facts, arguments[0]))
        return __CFBundlePathForExecutable(arguments[0]);
    std::string bundle = __CFBundlePathForExecutable(facts.executable);
    if (!bundle.empty())
        return bundle;
    // The kernel runs a script as: interpreter [the #! line's one argument] script its-arguments,
    // and env, named on the #! line, runs the interpreter as: name script its-arguments. A
    // program that merely names the script (an editor, tail) starts with neither.
    for (size_t at = 1; at <= 2 && at < arguments.size(); ++at) {
        std::string script = arguments[at];
        if (script.empty())
            continue;
        if (script[0] != '/') {
            std::string folder = ReadWorkingFolder(pid);
            if (folder.empty())
                continue;
            script = folder + "/" + script;
        }
        bundle = __CFBundlePathForExecutable(script);
        Shebang shebang;
        if (bundle.empty() || !ReadShebang(script, shebang))
            continue;
        const std::string& program = arguments[0];
        bool sameInterpreter =
            program == shebang.interpreter || BaseName(program) == BaseName(shebang.interpreter);
        bool throughEnv = BaseName(shebang.interpreter) == "env" && !shebang.argument.empty() &&
                          BaseName(program) == BaseName(shebang.argument);
        if (at == 1 && (sameInterpreter || throughEnv))
            return bundle;
        if (at == 2 && sameInterpreter && arguments[1] == shebang.argument)
            return bundle;
    }
    return {};
}

} // namespace tvb::process

OSErr GetCurrentProcess(ProcessSerialNumber* PSN) {
    if (PSN == nullptr)
        return paramErr;
    PSN->highLongOfPSN = 0;
    PSN->lowLongOfPSN = static_cast<UInt32>(getpid());
    return noErr;
}

OSErr GetNextProcess(ProcessSerialNumber* PSN) {
    if (PSN == nullptr)
        return paramErr;
    pid_t after = 0;
    if (PSN->highLongOfPSN != 0)
        return procNotFound;
    if (PSN->lowLongOfPSN == kCurrentProcess)
        after = getpid();
    else if (PSN->lowLongOfPSN != kNoProcess && PSN->lowLongOfPSN != kSystemProcess)
        after = static_cast<pid_t>(std::min<UInt32>(PSN->lowLongOfPSN, INT32_MAX));
    // The process given need not exist any more: the walk goes on from its pid.
    for (pid_t pid : tvb::process::ListProcessIDs()) {
        Application app;
        if (pid > after && LookUpApplication(pid, app)) {
            lastReturned = std::move(app);
            PSN->highLongOfPSN = 0;
            PSN->lowLongOfPSN = static_cast<UInt32>(pid);
            return noErr;
        }
    }
    lastReturned = Application{};
    PSN->highLongOfPSN = 0;
    PSN->lowLongOfPSN = kNoProcess;
    return procNotFound;
}

OSErr GetProcessInformation(const ProcessSerialNumber* PSN, ProcessInfoRec* info) {
    if (PSN == nullptr || info == nullptr || info->processInfoLength < sizeof(ProcessInfoRec))
        return paramErr;
    Application app;
    if (!Resolve(*PSN, app))
        return procNotFound;

    info->processNumber.highLongOfPSN = 0;
    info->processNumber.lowLongOfPSN = static_cast<UInt32>(app.pid);
    info->processType = app.type;
    info->processSignature = app.creator;
    info->processMode = modeMultiLaunch | modeCanBackground | modeHighLevelEventAware;
    info->processLocation = nullptr;
    info->processSize = Clamp(app.facts.virtualBytes);
    info->processFreeMem = 0;
    Application launcher;
    info->processLauncher.highLongOfPSN = 0;
    info->processLauncher.lowLongOfPSN = LookUpApplication(app.facts.parent, launcher)
                                             ? static_cast<UInt32>(app.facts.parent)
                                             : static_cast<UInt32>(kNoProcess);
    info->processLaunchDate = Clamp(app.facts.startTicks);
    info->processActiveTime = Clamp(app.facts.cpuTicks);
    if (info->processName != nullptr)
        CopyName(app.name, info->processName);
    if (info->processAppSpec != nullptr) {
        std::memset(info->processAppSpec, 0, sizeof(FSRef));
        const std::string& location = app.bundle.empty() ? app.facts.executable : app.bundle;
        FSPathMakeRef(reinterpret_cast<const UInt8*>(location.c_str()), info->processAppSpec,
                      nullptr);
    }
    return noErr;
}

OSStatus GetProcessPID(const ProcessSerialNumber* psn, pid_t* pid) {
    if (psn == nullptr || pid == nullptr)
        return paramErr;
    Application app;
    if (!Resolve(*psn, app))
        return procNotFound;
    *pid = app.pid;
    return noErr;
}

OSStatus GetProcessForPID(pid_t pid, ProcessSerialNumber* psn) {
    if (psn == nullptr)
        return paramErr;
    Application app;
    if (pid != getpid() && !LookUpApplication(pid, app))
        return procNotFound;
    psn->highLongOfPSN = 0;
    psn->lowLongOfPSN = static_cast<UInt32>(pid);
    return noErr;
}

OSErr SameProcess(const ProcessSerialNumber* PSN1, const ProcessSerialNumber* PSN2,
                  Boolean* result) {
    if (PSN1 == nullptr || PSN2 == nullptr || result == nullptr)
        return paramErr;
    auto normal = [](ProcessSerialNumber psn) {
        if (IsCurrentProcess(psn))
            psn.lowLongOfPSN = static_cast<UInt32>(getpid());
        return psn;
    };
    ProcessSerialNumber a = normal(*PSN1);
    ProcessSerialNumber b = normal(*PSN2);
    *result = a.highLongOfPSN == b.highLongOfPSN && a.lowLongOfPSN == b.lowLongOfPSN;
    return noErr;
}
