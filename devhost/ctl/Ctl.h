// tvbctl: the device host's control CLI. Each verb is one function in a file of its own, a thin
// client that parses its arguments, sends one or two requests and prints the answer.
// Threading: single-threaded.
// Ownership: a verb borrows the Context; responses come back as owned PlistPtr.
//
// Exit status: 0 done, 1 the host refused or could not be reached, 2 a usage error (one line
// naming the problem on stderr, then a pointer to the help).
#pragma once

#include "TvbWire.h"

#include <nlohmann/json_fwd.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tvb::ctl {

struct Context {
    std::string socketPath;
    wire::Connection connection;
};

using Args = std::vector<std::string>;

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

// What `tvbctl help VERB` shows: the synopsis after "tvbctl " and a few lines on the verb.
struct VerbHelp {
    const char* name;
    const char* synopsis;
    const char* summary; // one line, for the verb list of `tvbctl --help`
    const char* text;    // the rest, may be empty
};

// Prints "tvbctl: <message>" on stderr and returns the failure exit status.
int Fail(const std::string& message);
// Prints "tvbctl: [VERB: ]<problem>" and the pointer to the help on stderr; returns 2.
int UsageError(const std::string& problem, const char* verb = nullptr);
// The whole of `help VERB` on stdout.
void PrintVerbHelp(const VerbHelp& help);

// A verb's arguments through getopt_long: options anywhere (or after "--" none), "-h"/"--help"
// for the verb's help, and exactly the named operands.
class VerbParser {
public:
    struct Option {
        const char* name; // long name without "--"
        bool takesValue;
        int key; // what the handler is called with
    };
    // Returns "" to go on, or the usage problem that stops the verb.
    using Handler = std::function<std::string(int key, const std::string& value)>;

    VerbParser(const VerbHelp& help, std::vector<Option> options,
               std::vector<const char*> operands);
    // kRun when the verb goes ahead (Operands() filled), else the exit status to return: 0
    // after the help was shown, 2 after a usage error was reported.
    static constexpr int kRun = -1;
    int Parse(const Args& args, const Handler& handler = {});
    const Args& Operands() const { return mOperands; }

private:
    const VerbHelp& mHelp;
    std::vector<Option> mOptions;
    std::vector<const char*> mOperandNames;
    Args mOperands;
};

// Sends `request` and returns the response when its status is success; otherwise prints one
// line (the host's reason, or why no host answered) and returns null.
wire::PlistPtr Call(Context& context, wire::PlistPtr request);
// Call() for a verb that prints nothing: the exit status.
int Send(Context& context, wire::PlistPtr request);
// Call(), then print(item) for each item of the response's array `key`: the exit status.
int PrintEach(Context& context, wire::PlistPtr request, const char* key, void (*print)(plist_t));
// Call(), then one JSON array on stdout made of convert(item) for each item of `key`.
int PrintJsonArray(Context& context, wire::PlistPtr request, const char* key,
                   nlohmann::json (*convert)(plist_t));
// A request naming a drive by serial or whole-disk BSD name.
wire::PlistPtr DriveRequest(const char* op, const std::string& drive);
// The verb OP SERIAL|BSD that only sends the op.
int SendToDrive(Context& context, const Args& args, const VerbHelp& help, const char* op);

// The items of `dict`'s array `key`; none when it is missing or not an array.
std::vector<plist_t> Items(plist_t dict, const char* key);
// A string node's text; "" for anything else.
std::string Text(plist_t node);
// A name for the plain output: "\\" for a backslash and "\xHH" for blanks, commas, control
// characters and DEL, so that a line splits the same way whatever the names hold; everything
// else (UTF-8 included) stays as it is. printf '%b' undoes it.
std::string EscapeName(const std::string& name);

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

extern const VerbHelp kAttachHelp, kDetachHelp, kMessageHelp, kListHelp, kPressHelp, kLightsHelp,
    kCallsHelp, kLedsHelp, kFaultHelp, kWaitsHelp, kVolumesHelp, kPingHelp;

} // namespace tvb::ctl
