// A real tvb-devhost per test on a private socket, with helpers to drive it through tvbctl and
// through raw protocol connections. Every wait is bounded, so a missing answer fails the test
// instead of hanging it.
#pragma once

#include "HostProcess.h"
#include "TvbWire.h"

#include <gtest/gtest.h>

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

    hostkit::ProgramResult Ctl(std::vector<std::string> args) {
        args.insert(args.begin(), {"--socket", mHost.SocketPath()});
        return hostkit::RunProgram(TVB_CTL_PATH, args, kAnswerMs * 2);
    }

    // tvbctl's stdout, failing the test when the command fails.
    std::string CtlOk(std::vector<std::string> args) {
        const std::string shown = Join(args);
        hostkit::ProgramResult r = Ctl(std::move(args));
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

    hostkit::HostProcess mHost{TVB_DEVHOST_PATH};
};

// Builds and sends one request; null (and a test failure) when no answer comes.
struct Field {
    const char* key;
    enum Kind { UInt, String, Bool, Data } kind;
    uint64_t u = 0;
    std::string s;
    Field(const char* k, uint64_t v) : key(k), kind(UInt), u(v) {}
    Field(const char* k, int v) : key(k), kind(UInt), u(static_cast<uint64_t>(v)) {}
    Field(const char* k, const char* v) : key(k), kind(String), s(v) {}
    Field(const char* k, std::string v) : key(k), kind(String), s(std::move(v)) {}
    Field(const char* k, bool v) : key(k), kind(Bool), u(v) {}
    static Field Bytes(const char* k, std::vector<uint8_t> v) {
        Field f(k, std::string(v.begin(), v.end()));
        f.kind = Data;
        return f;
    }
};

inline wire::PlistPtr MakeRequest(const char* op, std::initializer_list<Field> fields) {
    wire::PlistPtr r = wire::NewRequest(op);
    for (const Field& f : fields) {
        switch (f.kind) {
        case Field::UInt:
            wire::SetUInt(r.get(), f.key, f.u);
            break;
        case Field::String:
            wire::SetString(r.get(), f.key, f.s);
            break;
        case Field::Bool:
            wire::SetBool(r.get(), f.key, f.u != 0);
            break;
        case Field::Data:
            wire::SetData(r.get(), f.key, f.s.data(), f.s.size());
            break;
        }
    }
    return r;
}

// Null when no answer comes in time, which the caller may expect.
inline wire::PlistPtr Try(wire::Connection& c, const char* op, std::initializer_list<Field> fields,
                          int timeoutMs, std::string* error = nullptr) {
    wire::PlistPtr request = MakeRequest(op, fields);
    return c.Request(request.get(), timeoutMs, error);
}

inline wire::PlistPtr Ask(wire::Connection& c, const char* op, std::initializer_list<Field> fields,
                          int timeoutMs = kAnswerMs) {
    std::string error;
    wire::PlistPtr response = Try(c, op, fields, timeoutMs, &error);
    EXPECT_TRUE(response) << op << ": " << error;
    return response;
}

// Sends a request numbered `id` without waiting for its answer.
inline bool SendOnly(wire::Connection& c, wire::PlistPtr request, uint64_t id) {
    wire::SetUInt(request.get(), "id", id);
    std::string frame;
    return wire::EncodeFrame(request.get(), frame) && c.SendBytes(frame.data(), frame.size());
}

inline std::vector<uint64_t> Ids(plist_t response, const char* key = "entries") {
    std::vector<uint64_t> ids;
    EXPECT_TRUE(wire::GetUIntArray(response, key, ids)) << key;
    return ids;
}

inline std::string Str(plist_t dict, const char* key) {
    std::string s;
    EXPECT_TRUE(wire::GetString(dict, key, s)) << key;
    return s;
}

inline std::vector<uint8_t> Bytes(plist_t dict, const char* key) {
    std::vector<uint8_t> b;
    EXPECT_TRUE(wire::GetData(dict, key, b)) << key;
    return b;
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
