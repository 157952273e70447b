// A sample backup application for the button poller, a Carbon application. Opened with the
// launch file as its one argument, it reads the drive's serial and volume names, copies the
// folder $TVB_BACKUP_SOURCE (default ~/ToBackUp) into ~/Backups/<first volume>/,
// writes the end file "EndBackup" beside the launch file and quits. A launch file opened
// while it runs (an open-documents Apple event) is read at once and backed up in turn; the
// end file follows the last backup.
//
// Environment (inherited from whoever launched the poller):
//   TVB_BACKUP_SECONDS  how long each backup pretends to take, in real time (default 1)
//   TVB_BACKUP_MODE     end (default) | quit (no end file) | stay (run until told to quit,
//                       still taking documents) | crash (on reading a launch file)
//   TVB_BACKUP_LOG      file that also receives each line, for the demo and tests
//
// Each step is told on standard error, which Launch Services connects to the user's journal.
#include <Carbon/Carbon.h>

#include <tvb/Utf8.h>

#include <csignal>
#include <cstdio>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <deque>
#include <string>
#include <vector>

#include <fcntl.h>
#include <limits.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace {

// The length of the well-formed UTF-8 character at text[i] that is not a control (C0, DEL or
// C1), else 0.
size_t PrintableCharacterAt(const std::string& text, size_t i) {
    const auto lead = static_cast<unsigned char>(text[i]);
    if (lead < 0x80)
        return lead < 0x20 || lead == 0x7F ? 0 : 1;
    uint32_t code = 0;
    const size_t length = tvb::Utf8SequenceAt(text, i, code);
    return code <= 0x9F ? 0 : length;
}

// Text from the drive as a line tells it: the serial is the bridge's bytes as they came, and the
// journal shows a line with a byte that is not UTF-8, or a control character, only as a blob.
// Such bytes are told as \xNN.
std::string Printable(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        const size_t length = PrintableCharacterAt(text, i);
        if (length == 0) {
            char escaped[5];
            std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(text[i]));
            out += escaped;
            ++i;
        } else {
            out.append(text, i, length);
            i += length;
        }
    }
    return out;
}

void Narrate(const std::string& line) {
    std::fprintf(stderr, "SampleBackup: %s\n", line.c_str());
    const char* path = std::getenv("TVB_BACKUP_LOG");
    if (path == nullptr || *path == '\0')
        return;
    std::ofstream log(path, std::ios::app);
    log << "SampleBackup[" << getpid() << "]: " << line << '\n';
}

struct LaunchFile {
    std::string serial;
    std::vector<std::string> volumes;
};

// The poller writes the serial, CR LF, then each volume name followed by CR LF.
bool ReadLaunchFile(const std::string& path, LaunchFile& out) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return false;
    std::stringstream buffer;
    buffer << in.rdbuf();
    std::string text = buffer.str();
    size_t start = 0;
    bool first = true;
    for (size_t end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2) {
        std::string line = text.substr(start, end - start);
        if (first)
            out.serial = line;
        else
            out.volumes.push_back(line);
        first = false;
    }
    return !first;
}

// Volume names come from the drive; keep them to one safe path component. A name of up to
// 255 UTF-16 units may take three times as many bytes, more than a file name may hold, so
// it is cut to NAME_MAX bytes between characters.
std::string SafeComponent(std::string name) {
    for (char& c : name)
        if (c == '/' || c == '\0')
            c = '_';
    if (name.size() > NAME_MAX) {
        size_t cut = NAME_MAX;
        while (cut > 0 && (static_cast<unsigned char>(name[cut]) & 0xC0) == 0x80)
            --cut;
        name.resize(cut);
    }
    if (name.empty() || name == "." || name == "..")
        name = "Volume";
    return name;
}

// The files copied; `failed` counts what could not be, the target folder included.
int CopyFolder(const fs::path& source, const fs::path& target, int& failed) {
    failed = 0;
    std::error_code ec;
    if (!fs::is_directory(source, ec))
        return 0;
    fs::create_directories(target, ec);
    if (ec) {
        ++failed;
        return 0;
    }
    int copied = 0;
    // Advanced with an error code: the iterator's ++ throws at a folder it cannot read, which
    // would end the whole application in the middle of its backup.
    fs::recursive_directory_iterator it(source, ec), end;
    if (ec)
        ++failed;
    while (!ec && it != end) {
        const fs::directory_entry& entry = *it;
        fs::path destination = target / fs::relative(entry.path(), source, ec);
        if (!ec && entry.is_directory(ec)) {
            fs::create_directories(destination, ec);
            // A folder that cannot be read is counted and passed over, not entered.
            std::error_code denied;
            if (!ec && !entry.is_symlink(denied)) {
                fs::directory_iterator probe(entry.path(), denied);
                if (denied) {
                    ++failed;
                    it.disable_recursion_pending();
                }
            }
        } else if (!ec && entry.is_regular_file(ec)) {
            fs::copy_file(entry.path(), destination, fs::copy_options::overwrite_existing, ec);
            if (!ec)
                ++copied;
        }
        if (ec)
            ++failed;
        ec.clear();
        it.increment(ec);
        if (ec)
            ++failed; // the walk cannot go on past this
    }
    return copied;
}

bool WriteEndFile(const fs::path& folder) {
    int fd = open((folder / "EndBackup").c_str(),
                  O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    static const char text[] = "backup finished\n";
    bool ok = write(fd, text, sizeof text - 1) == static_cast<ssize_t>(sizeof text - 1);
    return close(fd) == 0 && ok;
}

struct Backup {
    std::string launchPath;
    LaunchFile launch;
};

std::string gMode = "end";
double gSeconds = 1.0;
std::deque<Backup> gQueue;             // read, waiting for their turn
CFRunLoopTimerRef gBackupTimer = NULL; // armed while the front of the queue is being backed up
bool gQuitOnOurOwn = false;

void BackUp(const Backup& backup) {
    const char* home = std::getenv("HOME");
    const char* sourceText = std::getenv("TVB_BACKUP_SOURCE");
    fs::path source = sourceText ? fs::path(sourceText) : fs::path(home ? home : "/") / "ToBackUp";
    const LaunchFile& launch = backup.launch;
    std::string volume = launch.volumes.empty() ? "Drive " + launch.serial : launch.volumes.front();
    fs::path target = fs::path(home ? home : "/tmp") / "Backups" / SafeComponent(volume);
    int failed = 0;
    int copied = CopyFolder(source, target, failed);
    Narrate("copied " + std::to_string(copied) + " file(s) from " + source.string() + " to " +
            Printable(target.string()) +
            (failed > 0 ? "; " + std::to_string(failed) + " item(s) could not be copied" : ""));
}

void StartNextBackup();

// The pretend work of the front backup is over: copy, then the next one or the end.
void BackupTimerFired(CFRunLoopTimerRef timer, void*) {
    CFRunLoopTimerInvalidate(timer);
    CFRelease(timer);
    gBackupTimer = NULL;
    Backup backup = gQueue.front();
    gQueue.pop_front();
    BackUp(backup);
    if (!gQueue.empty()) {
        StartNextBackup();
        return;
    }
    if (gMode == "stay") {
        Narrate("staying up until told to quit");
        return;
    }
    gQuitOnOurOwn = true;
    if (gMode == "quit") {
        Narrate("quitting without an end file");
    } else {
        const fs::path folder = fs::path(backup.launchPath).parent_path();
        if (WriteEndFile(folder))
            Narrate("wrote " + (folder / "EndBackup").string() + "; quitting");
        else
            Narrate("could not write the end file: " + std::string(std::strerror(errno)));
    }
    QuitApplicationEventLoop();
}

void StartNextBackup() {
    if (gBackupTimer != NULL || gQueue.empty())
        return;
    CFRunLoopTimerContext context = {0, NULL, NULL, NULL, NULL};
    gBackupTimer = CFRunLoopTimerCreate(kCFAllocatorDefault, CFAbsoluteTimeGetCurrent() + gSeconds,
                                        0, 0, 0, BackupTimerFired, &context);
    CFRunLoopAddTimer(CFRunLoopGetMain(), gBackupTimer, kCFRunLoopCommonModes);
}

// Reads the launch file now (the poller replaces it at its next press) and queues its backup.
OSErr Accept(const std::string& launchPath) {
    Backup backup;
    backup.launchPath = launchPath;
    if (!ReadLaunchFile(launchPath, backup.launch)) {
        Narrate("cannot read the launch file " + launchPath);
        return fnfErr;
    }
    std::string volumes;
    for (const auto& v : backup.launch.volumes)
        volumes += (volumes.empty() ? "" : ", ") + Printable(v);
    Narrate("drive serial \"" + Printable(backup.launch.serial) +
            "\", volumes: " + (volumes.empty() ? "(none)" : volumes));
    if (gMode == "crash") {
        Narrate("crashing on purpose");
        std::signal(SIGABRT, SIG_DFL);
        std::abort();
    }
    gQueue.push_back(backup);
    StartNextBackup();
    return noErr;
}

// The open-documents Apple event: a launch file handed over while we run.
OSErr OpenDocuments(const AppleEvent* event, AppleEvent*, SRefCon) {
    AEDescList documents;
    OSErr err = AEGetParamDesc(event, keyDirectObject, typeAEList, &documents);
    if (err != noErr)
        return err;
    long count = 0;
    err = AECountItems(&documents, &count);
    for (long i = 1; err == noErr && i <= count; ++i) {
        FSRef ref;
        AEKeyword keyword;
        DescType type;
        Size size;
        UInt8 path[4096];
        err = AEGetNthPtr(&documents, i, typeFSRef, &keyword, &type, &ref, sizeof ref, &size);
        if (err == noErr)
            err = FSRefMakePath(&ref, path, sizeof path);
        if (err == noErr) {
            Narrate("opened " + std::string(reinterpret_cast<char*>(path)));
            err = Accept(reinterpret_cast<char*>(path));
        }
    }
    AEDisposeDesc(&documents);
    return err;
}

} // namespace

int main(int argc, char* argv[]) {
    // The backup keeps real time, whatever test clock the poller that launched us runs on.
    unsetenv("TVB_CLOCK_SCALE");
    if (argc != 2) {
        Narrate("started without a launch file; nothing to do");
        return 2;
    }
    const char* modeText = std::getenv("TVB_BACKUP_MODE");
    gMode = modeText ? modeText : "end";
    const char* secondsText = std::getenv("TVB_BACKUP_SECONDS");
    gSeconds = secondsText ? std::atof(secondsText) : 1.0;

    Narrate("started with " + std::string(argv[1]));
    if (Accept(argv[1]) != noErr)
        return 1;
    AEEventHandlerUPP openDocuments = NewAEEventHandlerUPP(OpenDocuments);
    AEInstallEventHandler(kCoreEventClass, kAEOpenDocuments, openDocuments, 0, false);
    // A document that arrives while we are about to quit is still backed up; a quit asked
    // for from outside (SIGTERM) ends at once.
    do {
        gQuitOnOurOwn = false;
        RunApplicationEventLoop();
    } while (gQuitOnOurOwn && !gQueue.empty());
    AERemoveEventHandler(kCoreEventClass, kAEOpenDocuments, openDocuments, false);
    DisposeAEEventHandlerUPP(openDocuments);
    if (gBackupTimer != NULL) {
        CFRunLoopTimerInvalidate(gBackupTimer);
        CFRelease(gBackupTimer);
    }
    return 0;
}
