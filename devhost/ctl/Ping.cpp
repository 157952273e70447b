#include "Ctl.h"

#include <chrono>
#include <thread>

#include <sys/un.h>

namespace tvb::ctl {

const VerbHelp kPingHelp = {
    "ping",
    "ping [--wait SECONDS]",
    "Succeeds when a device host answers on the socket.",
    "  --wait SECONDS  a host that is not listening yet is tried again until it answers or\n"
    "                  SECONDS (at most 600) have passed: for scripts that start a host\n"
    "                  and go on at once\n",
};

namespace {

// Between two tries of a host that is not there yet.
constexpr auto kRetryInterval = std::chrono::milliseconds(50);

} // namespace

int Ping(Context& context, const Args& args) {
    enum { kWait = 256 };
    uint64_t waitSeconds = 0;
    VerbParser parser(kPingHelp, {{"wait", true, kWait}}, {});
    const int parsed = parser.Parse(args, [&](int, const std::string& value) {
        if (!ParseDecimal(value, waitSeconds) || waitSeconds > 600)
            return "--wait takes a number of seconds from 0 to 600, not '" + value + "'";
        return std::string();
    });
    if (parsed != VerbParser::kRun)
        return parsed;
    // A path no socket can have never starts to answer: no use waiting for it.
    if (context.socketPath.empty() || context.socketPath.size() >= sizeof(sockaddr_un::sun_path))
        waitSeconds = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(waitSeconds);
    while (waitSeconds > 0 && !context.connection.IsOpen() &&
           !context.connection.Connect(context.socketPath, nullptr)) {
        if (std::chrono::steady_clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(kRetryInterval);
    }
    return Send(context, wire::HelloRequest{});
}

} // namespace tvb::ctl
