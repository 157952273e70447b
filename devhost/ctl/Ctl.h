// tvbctl: the device host's control CLI. Each verb is one function in a file of its own, a thin
// client that sends one or two requests and prints the answer.
// Threading: single-threaded.
// Ownership: a verb borrows the Context; answers are plain values.
#pragma once

#include "TvbWire.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tvb::ctl {

constexpr int kControlTimeoutMs = 5000;

struct Context {
    std::string socketPath;
    wire::Connection connection;
};

using Args = std::vector<std::string>;

// Prints "tvbctl: <message>" on stderr and returns the failure exit status.
int Fail(const std::string& message);
// Prints the usage line of a verb on stderr and returns the usage exit status.
int Usage(const std::string& synopsis);

// Sends `request` and fills `answer` when the host answers with success; otherwise prints one
// line (the host's reason, or why no host answered) and returns false.
bool Check(const wire::CallStatus& status);
bool Connected(Context& context);
template <typename Request>
bool Call(Context& context, const Request& request, typename Request::Answer& answer) {
    return Connected(context) && Check(context.connection.Call(request, answer, kControlTimeoutMs));
}
// Call() for a verb that prints nothing: the exit status.
template <typename Request> int Send(Context& context, const Request& request) {
    typename Request::Answer answer;
    return Call(context, request, answer) ? 0 : 1;
}
// The verb OP SERIAL|BSD that only sends a request naming the drive.
template <typename Request> int SendToDrive(Context& context, const Args& args, const char* verb) {
    if (args.size() != 1)
        return Usage(std::string(verb) + " SERIAL|BSD");
    Request request;
    request.drive = args[0];
    return Send(context, request);
}

bool ParseDecimal(const std::string& text, uint64_t& out);
bool ParseHex(const std::string& text, uint64_t& out); // optional 0x prefix

int Attach(Context& context, const Args& args);
int Detach(Context& context, const Args& args);
int Message(Context& context, const Args& args);
int List(Context& context, const Args& args);
int Press(Context& context, const Args& args);
int Lights(Context& context, const Args& args);
int Calls(Context& context, const Args& args);
int Leds(Context& context, const Args& args);
int SetFault(Context& context, const Args& args);
int Waits(Context& context, const Args& args);
int Volumes(Context& context, const Args& args);
int Ping(Context& context, const Args& args);

} // namespace tvb::ctl
