// A real tvb-devhost per test on a private socket, with helpers to drive it through tvbctl and
// through raw protocol connections. Every wait is bounded, so a missing answer fails the test
// instead of hanging it.
#pragma once

#include "DeviceHost.h"
#include "TvbWire.h"

#include <gtest/gtest.h>
#include <plist/plist.h>

#include <initializer_list>
#include <string>
#include <vector>

namespace tvb::hosttest {

constexpr int kAnswerMs = 5000; // the reaper: far above any honest answer time

class LiveHost : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(mHost.Start(&error)) << error;
    }

    tvbtest::ProgramResult Ctl(std::vector<std::string> args) {
        return mHost.Ctl(args, kAnswerMs * 2);
    }

    // tvbctl's stdout, failing the test when the command fails.
    std::string CtlOk(std::vector<std::string> args) {
        const std::string shown = Join(args);
        tvbtest::ProgramResult r = Ctl(std::move(args));
        EXPECT_EQ(r.exitCode, 0) << "tvbctl " << shown << ": " << r.err;
        return r.out;
    }

    wire::Connection Connect() {
        wire::Connection c;
        std::string error;
        EXPECT_TRUE(c.Connect(mHost.SocketPath(), &error)) << error;
        return c;
    }

    static std::string Join(const std::vector<std::string>& args) {
        std::string s;
        for (const auto& a : args)
            s += a + " ";
        return s;
    }

    tvbtest::DeviceHost mHost;
};

// One request and its answer: the host's status, or a test failure (and kStatusNotResponding)
// when no answer comes.
template <typename Request>
int32_t Call(wire::Connection& c, const Request& request, typename Request::Answer& answer,
             int timeoutMs = kAnswerMs) {
    const wire::CallStatus status = c.Call(request, answer, timeoutMs);
    EXPECT_TRUE(status.Answered()) << wire::OpName(Request::kOp) << ": " << status.error;
    return status.Answered() ? status.status : wire::kStatusNotResponding;
}

// The answer of a request that must succeed.
template <typename Request>
typename Request::Answer Ask(wire::Connection& c, const Request& request) {
    typename Request::Answer answer;
    EXPECT_EQ(Call(c, request, answer), wire::kStatusSuccess) << wire::OpName(Request::kOp);
    return answer;
}

// Only the status.
template <typename Request> int32_t StatusOf(wire::Connection& c, const Request& request) {
    typename Request::Answer answer;
    return Call(c, request, answer);
}

inline wire::MatchRequest MatchClass(const std::string& className) {
    wire::MatchRequest r;
    r.criteria.hasClass = true;
    r.criteria.className = className;
    return r;
}

inline wire::MatchRequest MatchBsd(const std::string& bsdName) {
    wire::MatchRequest r;
    r.criteria.hasBsdName = true;
    r.criteria.bsdName = bsdName;
    return r;
}

template <typename Request> Request About(uint64_t entry) {
    Request r;
    r.entry = entry;
    return r;
}

inline wire::SubscribeInterestRequest
Interest(uint64_t entry, const std::string& type = wire::kGeneralInterestType) {
    wire::SubscribeInterestRequest r;
    r.entry = entry;
    r.type = type;
    return r;
}

inline wire::WaitQuietRequest WaitQuiet(uint64_t entry, uint64_t timeoutMs) {
    wire::WaitQuietRequest r;
    r.entry = entry;
    r.timeoutMs = timeoutMs;
    return r;
}

inline std::vector<uint64_t> Ids(const wire::EntryIds& ids) {
    return std::vector<uint64_t>(ids.begin(), ids.end());
}

// A property's value, decoded from its binary property list (null when it is none).
struct PlistValue {
    explicit PlistValue(const wire::PlistData& value) {
        plist_from_bin(reinterpret_cast<const char*>(value.bytes.data()),
                       static_cast<uint32_t>(value.bytes.size()), &node);
    }
    ~PlistValue() {
        if (node != nullptr)
            plist_free(node);
    }
    PlistValue(const PlistValue&) = delete;
    PlistValue& operator=(const PlistValue&) = delete;
    plist_type Type() const { return node != nullptr ? plist_get_node_type(node) : PLIST_NONE; }
    plist_t node = nullptr;
};

inline std::string TextOf(const wire::PlistData& value) {
    PlistValue v(value);
    const char* text = v.Type() == PLIST_STRING ? plist_get_string_ptr(v.node, nullptr) : nullptr;
    return text != nullptr ? text : "";
}

inline wire::PropertyRequest PropertyOf(uint64_t entry, const std::string& key) {
    wire::PropertyRequest r;
    r.entry = entry;
    r.key = key;
    return r;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

} // namespace tvb::hosttest
