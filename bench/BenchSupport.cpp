#include "BenchSupport.h"

#include <dirent.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "DeviceHost.h"

namespace tvb::bench {

namespace {

std::vector<pid_t> Threads(pid_t pid) {
    std::vector<pid_t> threads;
    if (pid == 0) {
        threads.push_back(0);
        return threads;
    }
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = opendir(dir.c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.')
                threads.push_back(static_cast<pid_t>(std::atoi(e->d_name)));
        closedir(d);
    }
    return threads;
}

cpu_set_t CaptureStartMask() {
    cpu_set_t mask;
    CPU_ZERO(&mask);
    if (sched_getaffinity(0, sizeof mask, &mask) != 0)
        CPU_SET(0, &mask);
    return mask;
}

} // namespace

const cpu_set_t& StartMask() {
    static const cpu_set_t mask = CaptureStartMask();
    return mask;
}

bool SetAffinity(pid_t pid, const cpu_set_t& mask) {
    bool ok = true;
    for (pid_t thread : Threads(pid))
        ok = sched_setaffinity(thread, sizeof mask, &mask) == 0 && ok;
    return ok;
}

bool PinToCpu(pid_t pid, int cpu) {
    StartMask(); // remember the wide mask before narrowing our own
    cpu_set_t mask;
    CPU_ZERO(&mask);
    CPU_SET(cpu, &mask);
    return SetAffinity(pid, mask);
}

ProcessCounters ReadCounters(pid_t pid) {
    ProcessCounters counters;
    const std::string base = "/proc/" + std::to_string(pid);
    for (pid_t thread : Threads(pid)) {
        std::ifstream status(base + "/task/" + std::to_string(thread) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("voluntary_ctxt_switches:", 0) == 0)
                counters.voluntarySwitches += std::stol(line.substr(24));
    }
    std::ifstream status(base + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            counters.rssKiB = std::stol(line.substr(6));
    // Time on a CPU in nanoseconds, per thread (finer than the clock ticks of /proc/PID/stat).
    for (pid_t thread : Threads(pid)) {
        std::ifstream schedstat(base + "/task/" + std::to_string(thread) + "/schedstat");
        double ns = 0;
        if (schedstat >> ns)
            counters.cpuSeconds += ns * 1e-9;
    }
    return counters;
}

std::string Ctl(const std::string& socket, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {"--socket", socket};
    argv.insert(argv.end(), args.begin(), args.end());
    tvbtest::ProgramResult result = tvbtest::RunProgram(TVB_CTL_PATH, argv, 30000);
    if (result.exitCode != 0) {
        std::fprintf(stderr, "tvbctl %s failed: %s\n", args.empty() ? "" : args[0].c_str(),
                     result.err.c_str());
        std::exit(1);
    }
    return result.out;
}

tvbtest::Process StartCtl(const std::string& socket, const std::vector<std::string>& args) {
    std::vector<std::string> argv = {TVB_CTL_PATH, "--socket", socket};
    argv.insert(argv.end(), args.begin(), args.end());
    // What it prints (a BSD name) is no measurement; its exit status tells whether it worked.
    return tvbtest::Process(argv, tvbtest::InheritedEnvironment(), "/dev/null");
}

double Median(std::vector<double> values) {
    return Percentile(std::move(values), 0.5);
}

double Mean(const std::vector<double>& values) {
    double sum = 0;
    for (double v : values)
        sum += v;
    return values.empty() ? 0 : sum / static_cast<double>(values.size());
}

double Percentile(std::vector<double> values, double fraction) {
    if (values.empty())
        return 0;
    const size_t at = std::min(values.size() - 1,
                               static_cast<size_t>(fraction * static_cast<double>(values.size())));
    std::nth_element(values.begin(), values.begin() + static_cast<long>(at), values.end());
    return values[at];
}

double LogLogSlope(const std::vector<double>& x, const std::vector<double>& y) {
    const size_t n = std::min(x.size(), y.size());
    if (n < 2)
        return NAN;
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    for (size_t i = 0; i < n; ++i) {
        const double lx = std::log(x[i]), ly = std::log(y[i]);
        sx += lx;
        sy += ly;
        sxx += lx * lx;
        sxy += lx * ly;
    }
    const double dn = static_cast<double>(n);
    return (dn * sxy - sx * sy) / (dn * sxx - sx * sx);
}

bool TraceReader::Next(const std::string& line, TraceLine& out) {
    if (!ParseTraceLine(line, mTimestamps, out))
        return false;
    if (out.unfinished) {
        mPending[out.pid] = out.unixStream;
        return false;
    }
    if (out.resumed)
        out.unixStream = mPending[out.pid];
    return true;
}

bool ParseTraceLine(const std::string& line, bool timestamps, TraceLine& out) {
    out = TraceLine();
    std::istringstream fields(line);
    fields >> out.pid;
    if (timestamps) {
        std::string stamp;
        fields >> stamp;
        out.at = std::atof(stamp.c_str());
    }
    std::string rest;
    std::getline(fields, rest);
    rest.erase(0, rest.find_first_not_of(' '));
    if (rest.rfind("<... ", 0) == 0) {
        out.resumed = true;
        out.name = rest.substr(5, rest.find(' ', 5) - 5);
    } else {
        const size_t paren = rest.find('(');
        if (paren == std::string::npos || rest.rfind("+++", 0) == 0 || rest.rfind("---", 0) == 0)
            return false;
        out.name = rest.substr(0, paren);
        size_t i = paren + 1;
        while (i < rest.size() && std::isdigit(static_cast<unsigned char>(rest[i])))
            ++i;
        out.unixStream = rest.compare(i, 13, "<UNIX-STREAM:") == 0;
        out.unfinished = rest.find("<unfinished ...>") != std::string::npos;
    }
    const size_t equals = rest.rfind(" = ");
    if (equals != std::string::npos)
        out.result = std::atol(rest.c_str() + equals + 3);
    return true;
}

bool IsSend(const std::string& name) {
    return name == "sendto" || name == "sendmsg" || name == "send" || name == "write" ||
           name == "writev";
}

bool IsReceive(const std::string& name) {
    return name == "recvfrom" || name == "recvmsg" || name == "recv" || name == "read" ||
           name == "readv";
}

std::string MakeTempDir(const char* prefix) {
    std::string path = std::string("/tmp/") + prefix + "-XXXXXX";
    if (!mkdtemp(path.data())) {
        std::perror("mkdtemp");
        std::exit(1);
    }
    return path;
}

void RemoveTree(const std::string& path) {
    if (path.rfind("/tmp/", 0) != 0)
        return;
    tvbtest::RunProgram("/bin/rm", {"-rf", path});
}

double Now() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

void Summary(const std::string& section, const std::string& what, const std::string& value) {
    std::printf("summary|%s|%s|%s\n", section.c_str(), what.c_str(), value.c_str());
    std::fflush(stdout);
}

PingPong::PingPong(size_t out, size_t in, double busyUs)
    : mOut(std::max<size_t>(out, 1)), mIn(std::max<size_t>(in, 1)), mBusyUs(busyUs) {}

bool PingPong::Start() {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return false;
    mChild = fork();
    if (mChild == 0) {
        close(fds[0]);
        std::vector<char> request(mOut), reply(mIn, 'r');
        while (recv(fds[1], request.data(), request.size(), MSG_WAITALL) ==
               static_cast<ssize_t>(request.size())) {
            if (send(fds[1], reply.data(), reply.size(), MSG_NOSIGNAL) !=
                static_cast<ssize_t>(reply.size()))
                break;
            const double until = Now() + mBusyUs * 1e-6;
            while (Now() < until) {
            }
        }
        _exit(0);
    }
    close(fds[1]);
    mSocket = fds[0];
    return mChild > 0;
}

PingPong::~PingPong() {
    if (mSocket >= 0)
        close(mSocket);
    if (mChild > 0)
        waitpid(mChild, nullptr, 0);
}

bool PingPong::RoundTrip() {
    mRequest.resize(mOut, 'q');
    mReply.resize(mIn);
    return send(mSocket, mRequest.data(), mRequest.size(), MSG_NOSIGNAL) ==
               static_cast<ssize_t>(mRequest.size()) &&
           recv(mSocket, mReply.data(), mReply.size(), MSG_WAITALL) ==
               static_cast<ssize_t>(mReply.size());
}

std::string Format(const char* format, double value) {
    char text[64];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace tvb::bench
