#include "Processes_Internal.h"

#include <tvb/RegularFile.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <sstream>

#include <dirent.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace tvb::process {

namespace {

struct DirCloser {
    void operator()(DIR* dir) const { closedir(dir); }
};

// Fifty-odd numbers and a name of at most 15 bytes.
constexpr size_t kStatMaxBytes = 4096;
// A process's name (escaped, at most 64 bytes) and a few numbers before the user ids.
constexpr size_t kStatusHeadBytes = 1024;

uint64_t ToSixtieths(uint64_t clockTicks) {
    static const long perSecond = sysconf(_SC_CLK_TCK);
    return perSecond > 0 ? clockTicks * 60 / static_cast<uint64_t>(perSecond) : 0;
}

// The effective user on the "Uid:" line of a process's status, which comes before its long
// lines (groups, masks).
bool ReadEffectiveUser(const std::string& base, uid_t& uid) {
    char head[kStatusHeadBytes];
    UniqueFd file = OpenRegularFile((base + "/status").c_str());
    ssize_t got = file ? ReadFully(file.Get(), head, sizeof head) : -1;
    if (got <= 0)
        return false;
    std::string text(head, static_cast<size_t>(got));
    size_t line = text.find("\nUid:");
    if (line == std::string::npos)
        return false;
    std::istringstream fields(text.substr(line + 5, text.find('\n', line + 1) - line - 5));
    unsigned long real = 0, effective = 0;
    if (!(fields >> real >> effective))
        return false;
    uid = static_cast<uid_t>(effective);
    return true;
}

} // namespace

std::vector<pid_t> ListProcessIDs() {
    std::vector<pid_t> pids;
    std::unique_ptr<DIR, DirCloser> proc(opendir("/proc"));
    if (!proc)
        return pids;
    while (dirent* entry = readdir(proc.get())) {
        char* end = nullptr;
        long pid = std::strtol(entry->d_name, &end, 10);
        if (end != entry->d_name && *end == '\0' && pid > 0)
            pids.push_back(static_cast<pid_t>(pid));
    }
    std::sort(pids.begin(), pids.end());
    return pids;
}

bool ReadFacts(pid_t pid, Facts& facts) {
    std::string base = "/proc/" + std::to_string(pid);
    char target[4096];
    ssize_t length = readlink((base + "/exe").c_str(), target, sizeof target - 1);
    // Not ours to see, or a process that made itself undumpable (as a set-id or capable
    // program is), whose other facts can still be read.
    bool hidden = length < 0 && errno == EACCES;
    if (length <= 0 && !hidden)
        return false; // gone, a zombie, a kernel thread
    facts.executable.clear();
    if (!hidden) {
        target[length] = '\0';
        facts.executable = target;
    }
    // A replaced or removed executable keeps its old path with this suffix.
    static const std::string deleted = " (deleted)";
    if (facts.executable.size() > deleted.size() &&
        facts.executable.compare(facts.executable.size() - deleted.size(), deleted.size(),
                                 deleted) == 0)
        facts.executable.erase(facts.executable.size() - deleted.size());

    // Only a process this user may signal can be theirs: no more is read of the others.
    if (hidden && kill(pid, 0) != 0)
        return false;
    struct stat info;
    if (stat(base.c_str(), &info) != 0)
        return false;
    facts.uid = info.st_uid;
    // An undumpable process's files belong to root, whoever runs it.
    if (hidden && !ReadEffectiveUser(base, facts.uid))
        return false;

    std::string line;
    return ReadRegularFile(base + "/stat", kStatMaxBytes, line) && ParseStat(line, facts);
}

bool ParseStat(const std::string& line, Facts& facts) {
    // One line, but the command name in it may hold newlines as well as spaces and parentheses:
    // a process names itself as it likes.
    size_t open = line.find('(');
    size_t close = line.rfind(')');
    if (open == std::string::npos || close == std::string::npos || close < open)
        return false;
    facts.command = line.substr(open + 1, close - open - 1);
    std::istringstream fields(line.substr(close + 1));
    std::string field;
    std::vector<std::string> rest; // from field 3 (state) on
    while (fields >> field)
        rest.push_back(field);
    if (rest.size() < 21 || rest[0] == "Z" || rest[0] == "X")
        return false;
    facts.parent = static_cast<pid_t>(std::strtol(rest[1].c_str(), nullptr, 10));
    facts.cpuTicks = ToSixtieths(std::strtoull(rest[11].c_str(), nullptr, 10) +
                                 std::strtoull(rest[12].c_str(), nullptr, 10));
    facts.startTicks = ToSixtieths(std::strtoull(rest[19].c_str(), nullptr, 10));
    facts.virtualBytes = std::strtoull(rest[20].c_str(), nullptr, 10);
    return true;
}

std::vector<std::string> ReadArguments(pid_t pid, size_t count) {
    // A process that has just been started shows its new program before its arguments: the
    // kernel lets a vfork-style spawner go on before the new image's arguments are laid out,
    // and until then they read as none. A program with no arguments at all is rare, so none
    // means "look again" for about a millisecond.
    constexpr int kLooks = 10;
    constexpr timespec kPause = {0, 100 * 1000};
    // Megabytes of arguments are allowed; only the first few are wanted, none longer than a path.
    const size_t maxBytes = count * (PATH_MAX + 1);
    std::vector<std::string> arguments;
    std::string text;
    for (int look = 1; arguments.empty() && look <= kLooks; ++look) {
        if (look > 1)
            nanosleep(&kPause, nullptr);
        UniqueFd file = OpenRegularFile(("/proc/" + std::to_string(pid) + "/cmdline").c_str());
        if (!file)
            break; // gone
        text.resize(maxBytes);
        ssize_t got = ReadFully(file.Get(), &text[0], text.size());
        if (got < 0)
            break;
        text.resize(static_cast<size_t>(got));
        // The last one may lack its NUL (a process that rewrote its arguments) or be cut short
        // by the bound; only the bound's cut is dropped.
        for (size_t start = 0; start < text.size() && arguments.size() < count;) {
            size_t end = text.find('\0', start);
            if (end == std::string::npos && text.size() == maxBytes)
                break;
            end = end == std::string::npos ? text.size() : end;
            arguments.push_back(text.substr(start, end - start));
            start = end + 1;
        }
    }
    return arguments;
}

std::string ReadWorkingFolder(pid_t pid) {
    char target[4096];
    ssize_t length =
        readlink(("/proc/" + std::to_string(pid) + "/cwd").c_str(), target, sizeof target - 1);
    return length > 0 ? std::string(target, static_cast<size_t>(length)) : std::string();
}

} // namespace tvb::process
