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

std::string Header(uint32_t n) {
    return std::string{char(n >> 24), char(n >> 16), char(n >> 8), char(n)};
}

std::string Frame(plist_t dict) {
    std::string out;
    wire::EncodeFrame(dict, out);
    return out;
}

// True when the host hangs up on `c` (rather than answering or staying silent).
bool HungUp(wire::Connection& c) {
    for (int i = 0; i < 100 && c.IsOpen(); ++i)
        c.ReadEvent(kAnswerMs / 100);
    return !c.IsOpen();
}

class HostRobustness : public LiveHost {
protected:
    void ExpectDisconnectedFor(const std::string& bytes, const char* what) {
        wire::Connection bad = Connect();
        ASSERT_TRUE(bad.SendBytes(bytes.data(), bytes.size())) << what;
        EXPECT_TRUE(HungUp(bad)) << what;
        EXPECT_TRUE(Ask(good, "ping", {})) << "after " << what;
    }

    void SetUp() override {
        LiveHost::SetUp();
        good = Connect();
    }

    wire::Connection good;
};

} // namespace

TEST_F(HostRobustness, EachKindOfMalformedFrameCostsOnlyItsSender) {
    ExpectDisconnectedFor(Header(0), "empty frame");
    ExpectDisconnectedFor(Header(wire::kMaxFrameBytes + 1), "oversized frame");
    ExpectDisconnectedFor(Header(5) + "hello", "undecodable frame");

    wire::PlistPtr array(plist_new_array());
    char* raw = nullptr;
    uint32_t length = 0;
    plist_to_bin(array.get(), &raw, &length);
    std::string arrayBytes(raw, length);
    plist_to_bin_free(raw);
    ExpectDisconnectedFor(Header(length) + arrayBytes, "array root");

    wire::PlistPtr noOp = wire::NewDict();
    wire::SetUInt(noOp.get(), "id", 1);
    ExpectDisconnectedFor(Frame(noOp.get()), "missing op");

    wire::PlistPtr noId = wire::NewDict();
    wire::SetString(noId.get(), "op", "ping");
    ExpectDisconnectedFor(Frame(noId.get()), "missing id");

    wire::PlistPtr illTyped = MakeRequest("entry", {{"entry", "one"}});
    wire::SetUInt(illTyped.get(), "id", 1);
    ExpectDisconnectedFor(Frame(illTyped.get()), "ill-typed entry");

    wire::PlistPtr attach = MakeRequest("attach", {{"serial", 5}});
    wire::SetUInt(attach.get(), "id", 1);
    ExpectDisconnectedFor(Frame(attach.get()), "ill-typed serial");
    EXPECT_EQ(CtlOk({"list"}), "");
}

TEST_F(HostRobustness, UnknownOpIsAnsweredNotPunished) {
    wire::PlistPtr r = Ask(good, "reboot", {});
    EXPECT_EQ(wire::StatusOf(r.get()), wire::kStatusUnsupported);
    EXPECT_TRUE(Ask(good, "ping", {}));
}

TEST_F(HostRobustness, OversizedHeaderIsRefusedBeforeItsBodyArrives) {
    // Only the header is sent: the host must not sit waiting for a megabyte.
    wire::Connection bad = Connect();
    const std::string header = Header(0x7fffffff);
    ASSERT_TRUE(bad.SendBytes(header.data(), header.size()));
    EXPECT_TRUE(HungUp(bad));
}

TEST_F(HostRobustness, GarbageFromOnePeerWhileAnotherKeepsWorking) {
    CtlOk({"attach", "KEEP"});
    std::mt19937_64 rng(424242);
    wire::PlistPtr valid = MakeRequest("match", {{"class", "IOMedia"}});
    wire::SetUInt(valid.get(), "id", 7);
    const std::string pristine = Frame(valid.get());
    for (int round = 0; round < 300; ++round) {
        std::string bytes = pristine;
        switch (round % 3) {
        case 0: // bit flips anywhere, header included
            for (int k = 0; k < 1 + int(rng() % 6); ++k)
                bytes[rng() % bytes.size()] ^= char(1 << (rng() % 8));
            break;
        case 1: // a valid header in front of noise
            for (size_t k = 4; k < bytes.size(); ++k)
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
            wire::PlistPtr r = Ask(good, "match", {{"class", "com_ostrel_IOTVB"}});
            ASSERT_TRUE(r) << "round " << round;
            EXPECT_EQ(Ids(r.get()).size(), 1u);
        }
    }
    EXPECT_TRUE(Ask(good, "ping", {}));
    EXPECT_EQ(CtlOk({"list"}), "KEEP disk2 volumes= watchers=0\n");
}

TEST(HostBackpressure, PeerThatStopsReadingIsDroppedNotWaitedFor) {
    hostkit::HostProcess host(TVB_DEVHOST_PATH, {}, {"--max-output", "16384"});
    ASSERT_TRUE(host.Start());
    wire::Connection sink, control, good;
    ASSERT_TRUE(sink.Connect(host.SocketPath()));
    ASSERT_TRUE(control.Connect(host.SocketPath()));
    ASSERT_TRUE(good.Connect(host.SocketPath()));
    ASSERT_TRUE(Ask(control, "attach", {{"serial", "FLOOD"}}));
    wire::PlistPtr bridge = Ask(sink, "match", {{"class", "com_ostrel_IOTVB"}});
    Ask(sink, "subscribe-interest",
        {{"entry", Ids(bridge.get()).at(0)}, {"type", "IOGeneralInterest"}});
    int shrink = 4096;
    setsockopt(sink.Fd(), SOL_SOCKET, SO_RCVBUF, &shrink, sizeof shrink);
    // Each message queues an event the sink never reads; the host must cap what it keeps.
    bool dropped = false;
    for (int i = 0; i < 20000 && !dropped; ++i) {
        wire::PlistPtr r =
            Ask(control, "message", {{"drive", "FLOOD"}, {"messageType", uint64_t{0xe0000300}}});
        ASSERT_TRUE(r);
        uint64_t delivered = 1;
        wire::GetUInt(r.get(), "delivered", delivered);
        dropped = delivered == 0;
    }
    EXPECT_TRUE(dropped);
    EXPECT_TRUE(Ask(good, "ping", {}));
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
        wire::PlistPtr ping = MakeRequest("ping", {});
        wire::SetUInt(ping.get(), "id", 1);
        const std::string bytes = Frame(ping.get());
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
    hostkit::HostProcess host(TVB_DEVHOST_PATH);
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
    wire::PlistPtr ping = MakeRequest("ping", {});
    EXPECT_TRUE(crowd.front().Request(ping.get(), kAnswerMs));
    crowd.clear();
    // The host may see a newcomer before the crowd's hang-ups; then it turns it away too, at
    // once, and the next try gets in.
    bool served = false;
    for (int attempt = 0; attempt < 20 && !served; ++attempt) {
        wire::Connection late;
        ASSERT_TRUE(late.Connect(host.SocketPath()));
        served = static_cast<bool>(late.Request(ping.get(), kAnswerMs));
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
