// tvbctl: the device host's control CLI. Each verb is one function in a file of its own, a thin
// client that parses its arguments, sends one or two requests and prints the answer.
// Threading: single-threaded.
// Ownership: a verb borrows the Context; answers are plain values.
//
// Exit status: 0 done, 1 the host refused or could not be reached, 2 a usage error (one line
// naming the problem on stderr, then a pointer to the help).
#pragma once

#include "TvbWire.h"

#include <nlohmann/json.hpp>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tvb::ctl {

constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;

struct Context {
    std::string socketPath;
    wire::Connection connection;
    int failure = kExitFailure; // what a failed Call() ends the verb with
};

using Args = std::vector<std::string>;

// What `tvbctl help VERB` shows: the synopsis after "tvbctl " and a few lines on the verb.
struct VerbHelp {
    const char* name;
    const char* synopsis;
    const char* summary; // one line, for the verb list of `tvbctl --help`
    const char* text;    // the rest, may be empty
};

// Prints "tvbctl: <message>" on stderr (through EscapeControls) and returns the failure exit
// status.
int Fail(const std::string& message);
// Prints "tvbctl: [VERB: ]<problem>" (through EscapeControls) and the pointer to the help on
// stderr; returns 2.
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

// VerbParser::Parse for a verb whose one option is a flag (--json, --clear): sets `flag`.
int ParseFlag(VerbParser& parser, const Args& args, bool& flag);

constexpr int kControlTimeoutMs = 5000;

bool Connected(Context& context);
// True when the host answered with success; otherwise prints one line (the host's reason, or
// why no host answered) and returns false. A request too large for the protocol was never sent:
// that is a usage error (context.failure becomes kExitUsage).
bool Check(Context& context, const wire::CallStatus& status);
// Sends `request` and fills `answer`; false (after the one line) unless the host succeeded.
template <typename Request>
bool Call(Context& context, const Request& request, typename Request::Answer& answer) {
    // Weighed before connecting, so that it is the same usage error whether a host runs or not.
    std::vector<uint8_t> frame;
    if (!wire::AppendRequest(frame, 0, request)) {
        context.failure = UsageError("the request is larger than the protocol allows");
        return false;
    }
    return Connected(context) &&
           Check(context, context.connection.Call(request, answer, kControlTimeoutMs));
}
// Call() for a verb that prints nothing: the exit status.
template <typename Request> int Send(Context& context, const Request& request) {
    typename Request::Answer answer;
    return Call(context, request, answer) ? 0 : context.failure;
}
// The verb VERB DRIVE that only sends a request naming the drive.
template <typename Request>
int SendToDrive(Context& context, const Args& args, const VerbHelp& help) {
    VerbParser parser(help, {}, {"DRIVE"});
    if (const int status = parser.Parse(args); status != VerbParser::kRun)
        return status;
    Request request;
    request.drive = parser.Operands()[0];
    return Send(context, request);
}
// One JSON value on stdout, on a line of its own.
void PrintJson(const nlohmann::json& value);

// A name for the plain output: "\\" for a backslash and "\xHH" for blanks, commas, control
// characters (below 0x20, DEL, and U+0080 to U+009F) and bytes that are not UTF-8, so that a
// line splits the same way whatever the names hold and cannot drive the terminal; everything
// else (UTF-8 included) stays as it is. printf '%b' undoes it.
std::string EscapeName(const std::string& name);
// The same for a line of an error message, which keeps its blanks, commas and backslashes:
// what the user typed or the host named is echoed, and an error stays one line.
std::string EscapeControls(const std::string& text);

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
