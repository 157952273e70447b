#include "Ctl.h"

#include "tvb/Utf8.h"

#include <nlohmann/json.hpp>

#include <cstdio>
#include <getopt.h>

namespace tvb::ctl {

namespace {

// "--name" for a long option's key.
std::string LongName(const std::vector<VerbParser::Option>& options, int key) {
    for (const auto& option : options)
        if (option.key == key)
            return std::string("--") + option.name;
    return "-" + std::string(1, static_cast<char>(key));
}

} // namespace

int Fail(const std::string& message) {
    std::fprintf(stderr, "tvbctl: %s\n", EscapeControls(message).c_str());
    return kExitFailure;
}

int UsageError(const std::string& text, const char* verb) {
    const std::string problem = EscapeControls(text);
    if (verb != nullptr)
        std::fprintf(stderr, "tvbctl: %s: %s\ntry 'tvbctl --help' or 'tvbctl help %s'\n", verb,
                     problem.c_str(), verb);
    else
        std::fprintf(stderr, "tvbctl: %s\ntry 'tvbctl --help'\n", problem.c_str());
    return kExitUsage;
}

void PrintVerbHelp(const VerbHelp& help) {
    std::printf("usage: tvbctl [--socket PATH] %s\n\n%s\n", help.synopsis, help.summary);
    if (help.text[0] != '\0')
        std::printf("\n%s", help.text);
}

VerbParser::VerbParser(const VerbHelp& help, std::vector<Option> options,
                       std::vector<const char*> operands)
    : mHelp(help), mOptions(std::move(options)), mOperandNames(std::move(operands)) {}

int VerbParser::Parse(const Args& args, const Handler& handler) {
    // getopt wants writable strings and a program name in front.
    std::vector<std::string> words = {std::string("tvbctl ") + mHelp.name};
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& word : words)
        argv.push_back(word.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(words.size());

    std::vector<option> table;
    for (const Option& o : mOptions)
        table.push_back({o.name, o.takesValue ? required_argument : no_argument, nullptr, o.key});
    table.push_back({"help", no_argument, nullptr, 'h'});
    table.push_back({nullptr, 0, nullptr, 0});

    // "-": operands come back in order (as key 1) even under POSIXLY_CORRECT; ":": a missing
    // value is told apart from an unknown option. Keys of long options are >= 256, so optopt
    // tells a long option from a short one.
    optind = 0;
    opterr = 0;
    mOperands.clear();
    for (;;) {
        const int key = getopt_long(argc, argv.data(), "-:h", table.data(), nullptr);
        if (key == -1)
            break;
        if (key == 1) {
            mOperands.push_back(optarg);
        } else if (key == 'h') {
            PrintVerbHelp(mHelp);
            return 0;
        } else if (key == ':') {
            return UsageError(LongName(mOptions, optopt) + " needs a value", mHelp.name);
        } else if (key == '?') {
            if (optopt >= 256 || optopt == 'h') // only "--help=..." makes 'h' unknown
                return UsageError(
                    (optopt == 'h' ? std::string("--help") : LongName(mOptions, optopt)) +
                        " takes no value",
                    mHelp.name);
            std::string name = optopt != 0 ? "-" + std::string(1, static_cast<char>(optopt))
                                           : std::string(argv[optind - 1]);
            name = name.substr(0, name.find('='));
            // getopt says the same of a prefix of several options: name them.
            std::string candidates;
            if (name.size() > 2 && name.compare(0, 2, "--") == 0)
                for (const option& o : table)
                    if (o.name != nullptr && std::string(o.name).rfind(name.substr(2), 0) == 0)
                        candidates += (candidates.empty() ? "--" : ", --") + std::string(o.name);
            if (candidates.find(',') != std::string::npos)
                return UsageError("option '" + name + "' is ambiguous (" + candidates + ")",
                                  mHelp.name);
            return UsageError("unknown option '" + name + "'", mHelp.name);
        } else if (handler) {
            const std::string problem = handler(key, optarg != nullptr ? optarg : "");
            if (!problem.empty())
                return UsageError(problem, mHelp.name);
        }
    }
    for (int i = optind; i < argc; ++i)
        mOperands.push_back(argv[i]);
    if (mOperands.size() < mOperandNames.size())
        return UsageError(std::string("missing ") + mOperandNames[mOperands.size()], mHelp.name);
    if (mOperands.size() > mOperandNames.size())
        return UsageError("unexpected argument '" + mOperands[mOperandNames.size()] + "'",
                          mHelp.name);
    return kRun;
}

namespace {

void AppendHexEscape(std::string& out, unsigned char byte) {
    static const char kHex[] = "0123456789abcdef";
    out += "\\x";
    out += kHex[byte >> 4];
    out += kHex[byte & 0xf];
}

// C0, DEL and C1 controls and bytes that are not UTF-8 become "\xHH" (a terminal in an 8-bit
// locale takes a lone 0x9b for CSI); with `forSplitting`, blanks, commas and backslashes too.
std::string Escape(const std::string& text, bool forSplitting) {
    std::string out;
    out.reserve(text.size());
    for (size_t at = 0; at < text.size();) {
        const auto byte = static_cast<unsigned char>(text[at]);
        if (byte < 0x80) {
            if (forSplitting && byte == '\\')
                out += "\\\\";
            else if (byte < 0x20 || byte == 0x7f || (forSplitting && (byte == ' ' || byte == ',')))
                AppendHexEscape(out, byte);
            else
                out += static_cast<char>(byte);
            ++at;
            continue;
        }
        uint32_t code = 0;
        const size_t length = tvb::Utf8SequenceAt(text, at, code);
        if (length == 0) {
            AppendHexEscape(out, byte);
            ++at;
            continue;
        }
        if (code <= 0x9f) // C1
            for (size_t i = 0; i < length; ++i)
                AppendHexEscape(out, static_cast<unsigned char>(text[at + i]));
        else
            out.append(text, at, length);
        at += length;
    }
    return out;
}

} // namespace

std::string EscapeName(const std::string& name) {
    return Escape(name, true);
}

std::string EscapeControls(const std::string& text) {
    return Escape(text, false);
}

int ParseFlag(VerbParser& parser, const Args& args, bool& flag) {
    return parser.Parse(args, [&flag](int, const std::string&) {
        flag = true;
        return std::string();
    });
}

bool Connected(Context& context) {
    std::string error;
    if (!context.connection.IsOpen() && !context.connection.Connect(context.socketPath, &error)) {
        Fail(error);
        return false;
    }
    return true;
}

bool Check(Context& context, const wire::CallStatus& status) {
    if (status.Ok())
        return true;
    if (status.transport == wire::CallStatus::Refused) {
        context.failure = UsageError(status.error);
        return false;
    }
    std::string why = status.error;
    if (why.empty()) {
        char code[64];
        std::snprintf(code, sizeof code, "the host answered 0x%08x", unsigned(status.status));
        why = code;
    }
    Fail(why);
    return false;
}

void PrintJson(const nlohmann::json& value) {
    // Names are whatever bytes a drive was given; invalid UTF-8 shows as U+FFFD, not as a throw.
    const std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    std::printf("%s\n", text.c_str());
}

bool ParseDecimal(const std::string& text, uint64_t& out) {
    if (text.empty() || text.size() > 20)
        return false;
    uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        const uint64_t digit = static_cast<uint64_t>(c - '0');
        if (value > (UINT64_MAX - digit) / 10)
            return false;
        value = value * 10 + digit;
    }
    out = value;
    return true;
}

bool ParseHex(const std::string& text, uint64_t& out) {
    std::string digits = text;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty() || digits.size() > 16)
        return false;
    uint64_t value = 0;
    for (char c : digits) {
        int v;
        if (c >= '0' && c <= '9')
            v = c - '0';
        else if (c >= 'a' && c <= 'f')
            v = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F')
            v = c - 'A' + 10;
        else
            return false;
        value = value << 4 | static_cast<uint64_t>(v);
    }
    out = value;
    return true;
}

} // namespace tvb::ctl
