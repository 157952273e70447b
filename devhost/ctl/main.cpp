// tvbctl: plug in, unplug and press simulated drives, and read back what the host saw.
#include "Ctl.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <getopt.h>
#include <unistd.h>

using namespace tvb::ctl;

namespace {

struct Verb {
    const VerbHelp& help;
    int (*run)(Context&, const Args&);
};

const Verb kVerbs[] = {
    {kAttachHelp, Attach},   {kDetachHelp, Detach},   {kPressHelp, Press}, {kListHelp, List},
    {kVolumesHelp, Volumes}, {kLightsHelp, Lights},   {kLedsHelp, Leds},   {kCallsHelp, Calls},
    {kFaultHelp, SetFault},  {kMessageHelp, Message}, {kWaitsHelp, Waits}, {kPingHelp, Ping},
};

const Verb* FindVerb(const std::string& name) {
    for (const Verb& verb : kVerbs)
        if (name == verb.help.name)
            return &verb;
    return nullptr;
}

void PrintUsage() {
    std::printf("usage: tvbctl [--socket PATH] VERB [ARGUMENT]...\n"
                "       tvbctl help [VERB] | --help | --version\n"
                "\n"
                "Plugs in, unplugs and presses the simulated drives of a running tvb-devhost and\n"
                "reads back what the host saw.\n"
                "\n"
                "  -s, --socket PATH  the host's socket (default: $TVB_DEVHOST_SOCKET, else\n"
                "                     $XDG_RUNTIME_DIR/tvb-devhost.sock, else\n"
                "                     /tmp/tvb-devhost-UID/devhost.sock)\n"
                "  -h, --help         show this help\n"
                "      --version      show the version\n"
                "\n"
                "Verbs (tvbctl help VERB tells more):\n");
    for (const Verb& verb : kVerbs)
        std::printf("  %-8s %s\n", verb.help.name, verb.help.summary);
    std::printf("\n"
                "A DRIVE is a serial (the first attached drive with it) or a whole-disk BSD name.\n"
                "Exit status: 0 done, 1 the host refused or could not be reached or the output\n"
                "could not be written, 2 usage error.\n");
}

// help [VERB]
int Help(const Args& args) {
    if (args.empty()) {
        PrintUsage();
        return 0;
    }
    if (args.size() > 1)
        return UsageError("help takes one verb at most");
    // help is a verb too, and "help --help" asks the same.
    if (args[0] == "help" || args[0] == "--help" || args[0] == "-h") {
        PrintUsage();
        return 0;
    }
    const Verb* verb = FindVerb(args[0]);
    if (verb == nullptr)
        return UsageError("unknown verb '" + args[0] + "'");
    PrintVerbHelp(verb->help);
    return 0;
}

// A standard descriptor left closed would be taken by the next one opened, the host's socket,
// and what we print would then be sent to the host. /dev/null opened for reading fills the gap
// and still fails every write, so a closed output is reported like any other.
void FillClosedStandardDescriptors() {
    int fd;
    while ((fd = open("/dev/null", O_RDONLY)) >= 0 && fd <= STDERR_FILENO) {
    }
    if (fd > STDERR_FILENO)
        close(fd);
}

// Output that never arrived is a failure, not a silent success: a script must not go on
// without the BSD name `attach` printed or with half a list.
int FinishOutput(int status) {
    const bool flushed = std::fflush(stdout) == 0;
    const int error = errno;
    if (flushed && !std::ferror(stdout))
        return status;
    if (flushed)
        Fail("cannot write the output");
    else
        Fail(std::string("cannot write the output: ") + std::strerror(error));
    return status == 0 ? kExitFailure : status;
}

int Run(int argc, char** argv) {
    enum { kVersion = 256 };
    static const option kOptions[] = {
        {"socket", required_argument, nullptr, 's'},
        {"help", no_argument, nullptr, 'h'},
        {"version", no_argument, nullptr, kVersion},
        {nullptr, 0, nullptr, 0},
    };
    Context context;
    opterr = 0;
    // "+": the options before the verb are ours; the verb parses the rest.
    for (;;) {
        const int key = getopt_long(argc, argv, "+:hs:", kOptions, nullptr);
        if (key == -1)
            break;
        switch (key) {
        case 's':
            if (optarg[0] == '\0')
                return UsageError("--socket needs a path");
            context.socketPath = optarg;
            break;
        case 'h':
            PrintUsage();
            return 0;
        case kVersion:
            std::printf("tvbctl %s\n", TVB_VERSION);
            return 0;
        case ':':
            return UsageError(std::string(optopt == 's' ? "--socket" : argv[optind - 1]) +
                              " needs a value");
        default: {
            if (optopt == kVersion || optopt == 'h')
                return UsageError(std::string(optopt == 'h' ? "--help" : "--version") +
                                  " takes no value");
            std::string name = optopt != 0 ? "-" + std::string(1, static_cast<char>(optopt))
                                           : std::string(argv[optind - 1]);
            return UsageError("unknown option '" + name.substr(0, name.find('=')) + "'");
        }
        }
    }
    if (optind >= argc)
        return UsageError("no verb given");
    const std::string name = argv[optind];
    const Args args(argv + optind + 1, argv + argc);
    if (name == "help")
        return Help(args);
    const Verb* verb = FindVerb(name);
    if (verb == nullptr)
        return UsageError("unknown verb '" + name + "'");
    if (context.socketPath.empty())
        context.socketPath = tvb::wire::DefaultSocketPath();
    return verb->run(context, args);
}

} // namespace

int main(int argc, char** argv) {
    FillClosedStandardDescriptors();
    return FinishOutput(Run(argc, argv));
}
