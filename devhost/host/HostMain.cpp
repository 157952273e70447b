#include "HostMain.h"

#include "CommandLine.h"
#include "EventLoop.h"
#include "Host.h"
#include "SocketSetup.h"
#include "TvbGeneration.h"
#include "TvbWire.h"

#include <systemd/sd-daemon.h>
#include <tvb/RegularFile.h>

#include <csignal>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

namespace tvb::host {

namespace {

// "SIGTERM from pid 1234 (systemd)": a host that went away unasked-for leaves its clients
// only a missing socket, so it says who stopped it.
std::string DescribeStop(const EventLoop::StopSignal& stop) {
    const char* name = stop.signal == SIGTERM  ? "SIGTERM"
                       : stop.signal == SIGINT ? "SIGINT"
                       : stop.signal == SIGHUP ? "SIGHUP"
                                               : "a signal";
    if (stop.sender == 0)
        return std::string(name) + (stop.fromKernel
                                        ? " from the kernel"
                                        : " from a process outside the host's PID namespace");
    std::string command;
    ReadRegularFile("/proc/" + std::to_string(stop.sender) + "/comm", 64, command);
    while (!command.empty() && command.back() == '\n')
        command.pop_back();
    for (char& c : command)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            c = '?';
    return std::string(name) + " from pid " + std::to_string(stop.sender) +
           (command.empty() ? "" : " (" + command + ")");
}

} // namespace

int RunDeviceHost(int argc, char** argv) {
    HostCommandLine options;
    if (const int status = ParseHostCommandLine(argc, argv, options); status != kRunHost)
        return status;

    std::string error;
    EventLoop loop;
    if (!loop.Ok() || !loop.StopOnSignals(&error)) {
        std::fprintf(stderr, "tvb-devhost: cannot start the event loop: %s\n", error.c_str());
        return 1;
    }
    ListeningSocket socket;
    // The environment goes, so that nothing we start believes the socket is meant for it.
    const int handed = sd_listen_fds(1);
    if (handed < 0) {
        std::fprintf(stderr, "tvb-devhost: the sockets systemd handed over are unusable: %s\n",
                     std::strerror(-handed));
        return 1;
    }
    if (handed > 1) {
        std::fprintf(stderr, "tvb-devhost: systemd handed over %d sockets; expected one\n", handed);
        return 1;
    }
    const bool opened = handed == 1
                            ? socket.Adopt(SD_LISTEN_FDS_START, options.socketPath, error)
                            : socket.Open(options.socketPath.empty() ? wire::DefaultSocketPath()
                                                                     : options.socketPath,
                                          error);
    if (!opened) {
        std::fprintf(stderr, "tvb-devhost: %s\n", error.c_str());
        return 1;
    }
    const std::string path = socket.Path();
    // An abstract socket has no folder to publish the generation in: clients then ask.
    if (!path.empty() && path[0] == '/')
        options.limits.generationFile = wire::GenerationPage::PathFor(path);
    Host host(loop, socket.TakeDescriptor(), options.limits);
    if (!host.Start(&error)) {
        std::fprintf(stderr, "tvb-devhost: %s\n", error.c_str());
        return 1;
    }
    std::fprintf(stderr, "tvb-devhost: listening on %s\n", path.c_str());
    sd_notifyf(0, "READY=1\nSTATUS=listening on %s", path.c_str());
    if (!loop.Run()) {
        std::fprintf(stderr, "tvb-devhost: epoll_wait: %s\n", std::strerror(errno));
        return 1;
    }
    std::fprintf(stderr, "tvb-devhost: stopping on %s\n", DescribeStop(loop.StoppedBy()).c_str());
    sd_notify(0, "STOPPING=1");
    return 0;
}

} // namespace tvb::host
