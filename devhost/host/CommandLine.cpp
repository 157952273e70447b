#include "CommandLine.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <getopt.h>

namespace tvb::host {

namespace {

enum : int { kMaxOutput = 256, kVersion };

int UsageError(const std::string& problem) {
    std::fprintf(stderr, "tvb-devhost: %s\ntry 'tvb-devhost --help'\n", problem.c_str());
    return 2;
}

void PrintUsage() {
    std::printf("usage: tvb-devhost [--socket PATH] [--max-output BYTES]\n"
                "       tvb-devhost --help | --version\n"
                "\n"
                "Plays the I/O registry and the bridge driver of simulated drives for the button\n"
                "poller on Linux; tvbctl plugs them in and presses their buttons. Runs in the\n"
                "foreground until SIGTERM, SIGINT or SIGHUP.\n"
                "\n"
                "  -s, --socket PATH       listen here (default: $TVB_DEVHOST_SOCKET, else\n"
                "                          $XDG_RUNTIME_DIR/tvb-devhost.sock, else\n"
                "                          /tmp/tvb-devhost-UID/devhost.sock); a listening socket\n"
                "                          handed over by systemd is used instead\n"
                "      --max-output BYTES  unread bytes a peer may leave before it is dropped\n"
                "                          (%zu to %zu, default %zu)\n"
                "  -h, --help              show this help\n"
                "      --version           show the version\n"
                "\n"
                "Exit status: 0 stopped by a signal, 1 could not listen, 2 usage error.\n",
                kMinMaxOutput, kMaxMaxOutput, HostLimits{}.maxPendingOutput);
}

// Help or version text that never arrived (a full disk, a closed stdout) is a failure.
int FinishAnswer() {
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    if (flushed && !std::ferror(stdout))
        return 0;
    std::fprintf(stderr, "tvb-devhost: cannot write the output%s%s\n", flushed ? "" : ": ",
                 flushed ? "" : std::strerror(error));
    return 1;
}

// Decimal digits only: no sign, no blanks, no suffix, no overflow.
bool ParseByteCount(const char* text, size_t& out) {
    if (*text == '\0')
        return false;
    size_t value = 0;
    for (const char* p = text; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9')
            return false;
        const auto digit = static_cast<size_t>(*p - '0');
        if (value > (SIZE_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

} // namespace

int ParseHostCommandLine(int argc, char** argv, HostCommandLine& out) {
    static const option kOptions[] = {
        {"socket", required_argument, nullptr, 's'},
        {"max-output", required_argument, nullptr, kMaxOutput},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    optind = 0;
    opterr = 0;
    for (;;) {
        const int key = getopt_long(argc, argv, ":hs:", kOptions, nullptr);
        if (key == -1)
            break;
        switch (key) {
        case 's':
            if (optarg[0] == '\0')
                return UsageError("--socket needs a path");
            out.socketPath = optarg;
            break;
        case kMaxOutput: {
            size_t bytes = 0;
            if (!ParseByteCount(optarg, bytes) || bytes < kMinMaxOutput || bytes > kMaxMaxOutput)
                return UsageError("--max-output needs a byte count from " +
                                  std::to_string(kMinMaxOutput) + " to " +
                                  std::to_string(kMaxMaxOutput) + ", not '" + optarg + "'");
            out.limits.maxPendingOutput = bytes;
            break;
        }
        case 'h':
            PrintUsage();
            return FinishAnswer();
        case kVersion:
            std::printf("tvb-devhost %s\n", TVB_VERSION);
            return FinishAnswer();
        case ':':
            return UsageError(std::string(optopt == 's'          ? "--socket"
                                          : optopt == kMaxOutput ? "--max-output"
                                                                 : argv[optind - 1]) +
                              " needs a value");
        default: {
            if (optopt == 'h' || optopt == kVersion)
                return UsageError(std::string(optopt == 'h' ? "--help" : "--version") +
                                  " takes no value");
            std::string name = optopt != 0 ? "-" + std::string(1, static_cast<char>(optopt))
                                           : std::string(argv[optind - 1]);
            return UsageError("unknown option '" + name.substr(0, name.find('=')) + "'");
        }
        }
    }
    if (optind < argc)
        return UsageError("unexpected argument '" + std::string(argv[optind]) + "'");
    return kRunHost;
}

} // namespace tvb::host
