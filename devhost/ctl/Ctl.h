// tvbctl: the device host's control CLI. Each verb is one function in a file of its own, a thin
// client that sends one or two requests and prints the answer.
// Threading: single-threaded.
// Ownership: a verb borrows the Context; responses come back as owned PlistPtr.
#pragma once

#include "TvbWire.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tvb::ctl {

struct Context {
    std::string socketPath;
    wire::Connection connection;
};

using Args = std::vector<std::string>;

// Prints "tvbctl: <message>" on stderr and returns the failure exit status.
int Fail(const std::string& message);
// Prints the usage line of a verb on stderr and returns the usage exit status.
int Usage(const std::string& synopsis);

// Sends `request` and returns the response when its status is success; otherwise prints one
// line (the host's reason, or why no host answered) and returns null.
wire::PlistPtr Call(Context& context, wire::PlistPtr request);
// Call() for a verb that prints nothing: the exit status.
int Send(Context& context, wire::PlistPtr request);
// Call(), then print(item) for each item of the response's array `key`: the exit status.
int PrintEach(Context& context, wire::PlistPtr request, const char* key, void (*print)(plist_t));
// A request naming a drive by serial or whole-disk BSD name.
wire::PlistPtr DriveRequest(const char* op, const std::string& drive);
// The verb OP SERIAL|BSD that only sends the op.
int SendToDrive(Context& context, const Args& args, const char* op);

// The items of `dict`'s array `key`; none when it is missing or not an array.
std::vector<plist_t> Items(plist_t dict, const char* key);
// A string node's text; "" for anything else.
std::string Text(plist_t node);

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
