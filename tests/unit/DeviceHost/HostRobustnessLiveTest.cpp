// Peers that misbehave are cut off; everyone else keeps being served.
#include "LiveHost.h"

#include <csignal>
#include <random>

#include <poll.h>
#include <pwd.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace tvb;
using namespace tvb::hosttest;

namespace {

// A frame with any header and body, valid or not.
std::string RawFrame(uint16_t code, std::vector<uint8_t> body, uint64_t id = 1,
                     wire::FrameKind kind = wire::FrameKind::Request) {
    std::vector<uint8_t> out;
    wire::FrameHeader header;
    header.code = code;
    header.kind = kind;
    header.id = id;
    wire::AppendFrame(out, header, [&](wire::Writer& w) { w.Raw(body.data(), body.size()); });
    return std::string(out.begin(), out.end());
}

std::string Length(uint32_t n) {
    return std::string{char(n), char(n >> 8), char(n >> 16), char(n >> 24)};
}

template <typename Request> std::string Encoded(const Request& request, uint64_t id = 1) {
    std::vector<uint8_t> out;
    wire::AppendRequest(out, id, request);
    return std::string(out.begin(), out.end());
}

uint16_t CodeOf(wire::Op op) {
    return static_cast<uint16_t>(op);
}

// True when the host hangs up on `c` (rather than answering or staying silent).
bool HungUp(wire::Connection& c) {
    wire::Event event;
    for (int i = 0; i < 100 && c.IsOpen(); ++i)
        c.NextEvent(event, kAnswerMs / 100);
    return !c.IsOpen();
}

class HostRobustness : public LiveHost {
protected:
    void ExpectDisconnectedFor(const std::string& bytes, const char* what) {
        wire::Connection bad = Connect();
        ASSERT_TRUE(bad.SendBytes(bytes.data(), bytes.size())) << what;
        EXPECT_TRUE(HungUp(bad)) << what;
        EXPECT_EQ(StatusOf(good, wire::HelloRequest{}), wire::kStatusSuccess) << "after " << what;
    }

    void SetUp() override {
        LiveHost::SetUp();
        good = Connect();
    }

    wire::Connection good;
};

} // namespace

TEST_F(HostRobustness, EachKindOfMalformedFrameCostsOnlyItsSender) {
    ExpectDisconnectedFor(Length(0), "empty frame");
    ExpectDisconnectedFor(Length(wire::kMaxFrameBytes + 1), "oversized frame");
    std::string badKind = RawFrame(CodeOf(wire::Op::Hello), {});
    badKind[6] = 9;
    ExpectDisconnectedFor(badKind, "unknown frame kind");
    ExpectDisconnectedFor(RawFrame(CodeOf(wire::Op::Hello), {}, 1, wire::FrameKind::Answer),
                          "an answer sent to the host");
    ExpectDisconnectedFor(RawFrame(CodeOf(wire::Op::Entry), {1, 0, 0}), "entry cut short");
    ExpectDisconnectedFor(RawFrame(CodeOf(wire::Op::Entry), {1, 0, 0, 0, 0, 0, 0, 0, 7}),
                          "bytes beyond the declared fields");
    ExpectDisconnectedFor(RawFrame(CodeOf(wire::Op::Waits), {2}), "a bool that is neither 0 nor 1");
    // A text longer than its bound, and one longer than the frame.
    std::vector<uint8_t> longText = {0, 0x20, 0, 0};
    longText.resize(4 + 0x2000, 'x');
    ExpectDisconnectedFor(RawFrame(CodeOf(wire::Op::Detach), longText), "text above its bound");
    ExpectDisconnectedFor(RawFrame(CodeOf(wire::Op::Detach), {0xff, 0xff, 0xff, 0x7f, 'x'}),
                          "text longer than the frame");
    EXPECT_EQ(CtlOk({"list"}), "");
}

TEST_F(HostRobustness, AHugeListIsRefusedAtItsCountWithoutFreezingTheHost) {
    // 100,000 scalar inputs (the bound is 16): refused at the count, before a single item is
    // read, and the other peers never wait for it.
    std::vector<uint8_t> body(8 + 4, 0); // connection, selector
    for (uint32_t count = 100000, i = 0; i < 4; ++i)
        body.push_back(static_cast<uint8_t>(count >> (8 * i)));
    body.resize(body.size() + 100000 * 8 + 4, 0); // the inputs, outputCount
    ExpectDisconnectedFor(RawFrame(CodeOf(wire::Op::Scalar), body), "100,000 scalar inputs");
}

TEST_F(HostRobustness, UnknownOpIsAnsweredNotPunished) {
    wire::Connection raw = Connect();
    const std::string unknown = RawFrame(9999, {}, 77);
    ASSERT_TRUE(raw.SendBytes(unknown.data(), unknown.size()));
    // The answer to request 77 is not this connection's to wait for: read the bytes ourselves.
    pollfd p{raw.Fd(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, kAnswerMs), 1);
    uint8_t bytes[256];
    const ssize_t got = recv(raw.Fd(), bytes, sizeof bytes, 0);
    ASSERT_GE(got, static_cast<ssize_t>(wire::kHeaderBytes));
    wire::FrameView frame;
    size_t consumed = 0;
    ASSERT_EQ(wire::DecodeFrame(bytes, static_cast<size_t>(got), frame, consumed),
              wire::DecodeStatus::Frame);
    EXPECT_EQ(frame.header.kind, wire::FrameKind::Answer);
    EXPECT_EQ(frame.header.id, 77u);
    EXPECT_EQ(frame.header.status, wire::kStatusUnsupported);
    EXPECT_EQ(StatusOf(raw, wire::HelloRequest{}), wire::kStatusSuccess);
}

// The ids of the next `count` answers on `c`, read off its socket in whatever pieces they come.
std::vector<uint64_t> AnswerIds(wire::Connection& c, size_t count) {
    wire::FrameReader reader;
    std::vector<uint64_t> ids;
    while (ids.size() < count) {
        pollfd p{c.Fd(), POLLIN, 0};
        if (poll(&p, 1, kAnswerMs) != 1)
            break;
        const ssize_t got = recv(c.Fd(), reader.Reserve(4096), 4096, 0);
        if (got <= 0)
            break;
        reader.Grow(static_cast<size_t>(got));
        wire::FrameView frame;
        while (reader.Next(frame) == wire::DecodeStatus::Frame)
            ids.push_back(frame.header.id);
    }
    return ids;
}

// The host takes in what a peer's socket holds at once: requests that arrive together, one
// that arrives in two parts, and one sent just before the peer stops writing are all answered.
TEST_F(HostRobustness, RequestsJoinedSplitOrLastBeforeAHangUpAreEachAnswered) {
    wire::Connection raw = Connect();
    const std::string joined = Encoded(wire::HelloRequest{}, 1) + Encoded(wire::HelloRequest{}, 2);
    ASSERT_TRUE(raw.SendBytes(joined.data(), joined.size()));
    EXPECT_EQ(AnswerIds(raw, 2), (std::vector<uint64_t>{1, 2}));

    const std::string split = Encoded(wire::HelloRequest{}, 3);
    ASSERT_TRUE(raw.SendBytes(split.data(), 10));
    // Once another peer's request has been answered, the host has been through its loop with
    // the first part waiting.
    ASSERT_EQ(StatusOf(good, wire::HelloRequest{}), wire::kStatusSuccess);
    ASSERT_TRUE(raw.SendBytes(split.data() + 10, split.size() - 10));
    EXPECT_EQ(AnswerIds(raw, 1), std::vector<uint64_t>{3});

    const std::string last = Encoded(wire::HelloRequest{}, 4);
    ASSERT_TRUE(raw.SendBytes(last.data(), last.size()));
    ASSERT_EQ(shutdown(raw.Fd(), SHUT_WR), 0);
    EXPECT_EQ(AnswerIds(raw, 1), std::vector<uint64_t>{4});
}

TEST_F(HostRobustness, OversizedHeaderIsRefusedBeforeItsBodyArrives) {
    // Only the header is sent: the host must not sit waiting for a megabyte.
    wire::Connection bad = Connect();
    const std::string header = Length(0x7fffffff);
    ASSERT_TRUE(bad.SendBytes(header.data(), header.size()));
    EXPECT_TRUE(HungUp(bad));
}

TEST_F(HostRobustness, GarbageFromOnePeerWhileAnotherKeepsWorking) {
    CtlOk({"attach", "KEEP"});
    std::mt19937_64 rng(424242);
    const std::string pristine = Encoded(MatchClass("IOMedia"), 7);
    for (int round = 0; round < 300; ++round) {
        std::string bytes = pristine;
        switch (round % 3) {
        case 0: // bit flips anywhere, header included
            for (int k = 0; k < 1 + int(rng() % 6); ++k)
                bytes[rng() % bytes.size()] ^= char(1 << (rng() % 8));
            break;
        case 1: // a valid header in front of noise
            for (size_t k = wire::kHeaderBytes; k < bytes.size(); ++k)
                bytes[k] = char(rng());
            break;
        default: // cut short, then anything
            bytes.resize(rng() % bytes.size());
            bytes += std::string(rng() % 64, char(rng()));
            break;
        }
        wire::Connection noisy = Connect();
        ASSERT_TRUE(noisy.IsOpen());
        noisy.SendBytes(bytes.data(), bytes.size());
        if (round % 25 == 0) {
            EXPECT_EQ(Ask(good, MatchClass("com_ostrel_IOTVB")).entries.size(), 1u)
                << "round " << round;
        }
    }
    EXPECT_EQ(StatusOf(good, wire::HelloRequest{}), wire::kStatusSuccess);
    EXPECT_EQ(CtlOk({"list"}), "KEEP disk2 volumes= watchers=0\n");
}

TEST(HostBackpressure, PeerThatStopsReadingIsDroppedNotWaitedFor) {
    tvbtest::DeviceHost host({}, {"--max-output", "16384"});
    ASSERT_TRUE(host.Start());
    wire::Connection sink, control, good;
    ASSERT_TRUE(sink.Connect(host.SocketPath()));
    ASSERT_TRUE(control.Connect(host.SocketPath()));
    ASSERT_TRUE(good.Connect(host.SocketPath()));
    wire::AttachRequest attach;
    attach.serial = "FLOOD";
    Ask(control, attach);
    Ask(sink, Interest(Ids(Ask(sink, MatchClass("com_ostrel_IOTVB")).entries).at(0)));
    int shrink = 4096;
    setsockopt(sink.Fd(), SOL_SOCKET, SO_RCVBUF, &shrink, sizeof shrink);
    // Each message queues an event the sink never reads; the host must cap what it keeps.
    bool dropped = false;
    for (int i = 0; i < 20000 && !dropped; ++i) {
        wire::MessageRequest message;
        message.drive = "FLOOD";
        message.messageType = 0xe0000300;
        wire::MessageAnswer answer;
        ASSERT_EQ(Call(control, message, answer), wire::kStatusSuccess);
        dropped = answer.delivered == 0;
    }
    EXPECT_TRUE(dropped);
    EXPECT_EQ(StatusOf(good, wire::HelloRequest{}), wire::kStatusSuccess);
    EXPECT_TRUE(host.WaitForStderr("does not read"));
}

TEST_F(HostRobustness, PeersOfAnotherUserAreRefused) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to connect as another user";
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr)
        GTEST_SKIP() << "no user nobody";
    // Open the path up so that only the credential check stands in the way.
    ASSERT_EQ(chmod(mHost.Directory().c_str(), 0711), 0);
    ASSERT_EQ(chmod(mHost.SocketPath().c_str(), 0666), 0);

    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
            _exit(10);
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", mHost.SocketPath().c_str());
        if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
            _exit(11);
        const std::string bytes = Encoded(wire::HelloRequest{});
        if (send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) // may already be closed
            _exit(0);
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kAnswerMs) != 1)
            _exit(12); // neither answered nor hung up
        char byte;
        _exit(recv(fd, &byte, 1, 0) <= 0 ? 0 : 13); // EOF or reset: refused
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    EXPECT_TRUE(mHost.WaitForStderr("refused a peer of uid " + std::to_string(nobody->pw_uid)));
}

TEST(HostDescriptors, PeersBeyondTheDescriptorLimitAreTurnedAwayNotQueued) {
    // The host inherits a small descriptor limit; this process gets its own back at once.
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    rlimit tight = saved;
    tight.rlim_cur = 64;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    tvbtest::DeviceHost host;
    std::string error;
    const bool started = host.Start(&error);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &saved), 0);
    ASSERT_TRUE(started) << error;

    std::vector<wire::Connection> crowd(80);
    for (wire::Connection& c : crowd)
        ASSERT_TRUE(c.Connect(host.SocketPath()));
    // The last ones in the crowd are hung up on rather than left waiting.
    EXPECT_TRUE(HungUp(crowd.back()));
    // The first ones are served, and the host never reached the end of its descriptors.
    wire::HelloAnswer hello;
    EXPECT_TRUE(crowd.front().Call(wire::HelloRequest{}, hello, kAnswerMs).Ok());
    crowd.clear();
    // The host may see a newcomer before the crowd's hang-ups; then it turns it away too, at
    // once, and the next try gets in.
    bool served = false;
    for (int attempt = 0; attempt < 20 && !served; ++attempt) {
        wire::Connection late;
        ASSERT_TRUE(late.Connect(host.SocketPath()));
        served = late.Call(wire::HelloRequest{}, hello, kAnswerMs).Ok();
    }
    EXPECT_TRUE(served) << host.Stderr();
    EXPECT_TRUE(host.WaitForStderr("peers already"));
    EXPECT_EQ(host.Stderr().find("pausing"), std::string::npos);
}

TEST(ClientTrust, ConnectionRefusesAListenerOfAnotherUser) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root to listen as another user";
    const passwd* nobody = getpwnam("nobody");
    if (nobody == nullptr)
        GTEST_SKIP() << "no user nobody";
    char pattern[] = "/tmp/tvb-trust-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    ASSERT_EQ(chmod(dir.c_str(), 0777), 0);
    const std::string path = dir + "/devhost.sock";
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // An impostor: listens where a host would and waits to be told to go.
        close(ready[0]);
        if (setgid(nobody->pw_gid) != 0 || setuid(nobody->pw_uid) != 0)
            _exit(10);
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
        if (bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 ||
            listen(fd, 4) != 0)
            _exit(11);
        char go = 1;
        if (write(ready[1], &go, 1) != 1)
            _exit(12);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char go = 0;
    ASSERT_EQ(read(ready[0], &go, 1), 1);
    close(ready[0]);
    wire::Connection c;
    std::string error;
    EXPECT_FALSE(c.Connect(path, &error));
    EXPECT_NE(error.find("belongs to uid " + std::to_string(nobody->pw_uid)), std::string::npos)
        << error;
    EXPECT_FALSE(c.IsOpen());
    kill(child, SIGKILL);
    waitpid(child, nullptr, 0);
    unlink(path.c_str());
    rmdir(dir.c_str());
}

// A host that answers out of turn: an earlier request's answer and an event come first and are
// passed over, but an answer of another operation under this request's number is never taken
// for its own, even when its body would read as one.
TEST(ClientTrust, AnswersAreMatchedByNumberAndOperationOrTheConnectionIsGivenUp) {
    char pattern[] = "/tmp/tvb-answers-XXXXXX";
    const std::string dir = mkdtemp(pattern);
    const std::string path = dir + "/devhost.sock";
    tvb::UniqueFd listener(socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::snprintf(address.sun_path, sizeof address.sun_path, "%s", path.c_str());
    ASSERT_EQ(bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(listen(listener.Get(), 4), 0);
    auto answer = [](wire::Op op, uint64_t id, uint64_t value) {
        std::vector<uint8_t> out;
        wire::AppendAnswer(out, op, id, wire::kStatusSuccess, 1, wire::OpenAnswer{value}, "");
        return out;
    };
    wire::Connection c;
    ASSERT_TRUE(c.Connect(path));
    tvb::UniqueFd host(accept(listener.Get(), nullptr, nullptr));
    // Requests are numbered from 1 on a connection, so each answer can be written before its
    // request is sent; one that comes with an answer before its request is sent is no answer.
    std::vector<uint8_t> script = answer(wire::Op::Open, 0, 5);
    wire::AppendEvent(script, 1, wire::InterestEvent{3, wire::kMessageServiceIsTerminated, 0});
    const std::vector<uint8_t> opening = answer(wire::Op::Open, 1, 9);
    script.insert(script.end(), opening.begin(), opening.end());
    ASSERT_EQ(send(host.Get(), script.data(), script.size(), 0), ssize_t(script.size()));

    wire::OpenAnswer opened;
    const wire::CallStatus first = c.Call(wire::OpenRequest{}, opened, kAnswerMs);
    EXPECT_TRUE(first.Ok()) << first.error;
    EXPECT_EQ(opened.connection, 9u);
    EXPECT_TRUE(c.HasQueuedEvent());
    opened = {};
    script = answer(wire::Op::SubscribeInterest, 2, 7);
    ASSERT_EQ(send(host.Get(), script.data(), script.size(), 0), ssize_t(script.size()));
    const wire::CallStatus second = c.Call(wire::OpenRequest{}, opened, kAnswerMs);
    EXPECT_EQ(second.transport, wire::CallStatus::BadAnswer);
    EXPECT_EQ(opened.connection, 0u);
    EXPECT_FALSE(c.IsOpen());
    unlink(path.c_str());
    rmdir(dir.c_str());
}
