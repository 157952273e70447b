// tvbctl's verbs, outputs and errors, which scenario tests and the demo depend on.
#include "LiveHost.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <chrono>
#include <thread>

using namespace tvb;
using namespace tvb::hosttest;

namespace {

// A usage error: status 2, nothing on stdout, the problem on one line, then the way to help.
void ExpectUsageError(const tvbtest::ProgramResult& r, const std::string& shown,
                      const std::string& fragment) {
    EXPECT_EQ(r.exitCode, 2) << shown << ": " << r.err;
    EXPECT_EQ(r.out, "") << shown;
    const std::vector<std::string> lines = Lines(r.err);
    ASSERT_EQ(lines.size(), 2u) << shown << ": " << r.err;
    EXPECT_EQ(lines[0].rfind("tvbctl: ", 0), 0u) << shown << ": " << r.err;
    EXPECT_NE(lines[0].find(fragment), std::string::npos) << shown << ": " << r.err;
    EXPECT_EQ(lines[1].rfind("try 'tvbctl --help'", 0), 0u) << shown << ": " << r.err;
}

class Tvbctl : public LiveHost {
protected:
    // Fails with exactly one line of error and nothing on stdout.
    void ExpectOneLineError(std::vector<std::string> args, const std::string& fragment) {
        const std::string shown = Join(args);
        tvbtest::ProgramResult r = Ctl(std::move(args));
        EXPECT_NE(r.exitCode, 0) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_EQ(Lines(r.err).size(), 1u) << shown << ": " << r.err;
        EXPECT_NE(r.err.find(fragment), std::string::npos) << shown << ": " << r.err;
    }
    void ExpectUsageError(std::vector<std::string> args, const std::string& fragment) {
        const std::string shown = Join(args);
        ::ExpectUsageError(Ctl(std::move(args)), shown, fragment);
    }
    nlohmann::json CtlJson(std::vector<std::string> args) {
        const std::string out = CtlOk(std::move(args));
        EXPECT_EQ(Lines(out).size(), 1u) << out;
        return nlohmann::json::parse(out);
    }
};

} // namespace

TEST_F(Tvbctl, AttachListsVolumesAndDetachRemovesTheDrive) {
    EXPECT_EQ(CtlOk({"attach", "AAA", "--volume", "Data:100:50", "--volume", "Time:Machine:9:1"}),
              "disk2\n");
    EXPECT_EQ(CtlOk({"attach", "BBB"}), "disk3\n");
    EXPECT_EQ(CtlOk({"list"}), "AAA disk2 volumes=Data,Time:Machine watchers=0\n"
                               "BBB disk3 volumes= watchers=0\n");
    EXPECT_EQ(CtlOk({"volumes"}), "disk2s1 Data 100 50\ndisk2s2 Time:Machine 9 1\n");
    CtlOk({"detach", "AAA"});
    EXPECT_EQ(CtlOk({"list"}), "BBB disk3 volumes= watchers=0\n");
    EXPECT_EQ(CtlOk({"volumes"}), "");
}

TEST_F(Tvbctl, DuplicateSerialNeedsAllowDuplicateAndThenBsdNamesTellThemApart) {
    CtlOk({"attach", "SAME"});
    ExpectOneLineError({"attach", "SAME"}, "attached already");
    EXPECT_EQ(CtlOk({"attach", "SAME", "--allow-duplicate"}), "disk3\n");
    CtlOk({"press", "disk3"});
    CtlOk({"fault", "disk3", "refuse-open"});
    // The serial names the first of the two; the BSD name picks the second.
    CtlOk({"detach", "disk3"});
    EXPECT_EQ(CtlOk({"list"}), "SAME disk2 volumes= watchers=0\n");
    CtlOk({"detach", "SAME"});
    EXPECT_EQ(CtlOk({"list"}), "");
}

TEST_F(Tvbctl, UnknownDriveIsAnErrorForEveryVerbThatNamesOne) {
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"detach", "NOPE"},
                                               {"press", "NOPE"},
                                               {"lights", "NOPE"},
                                               {"calls", "NOPE"},
                                               {"calls", "--clear", "NOPE"},
                                               {"fault", "NOPE", "none"},
                                               {"message", "NOPE", "e0000010"}})
        ExpectOneLineError(args, "no drive NOPE");
}

TEST_F(Tvbctl, MalformedOptionsAreRefusedBeforeAnythingIsSent) {
    ExpectUsageError({"attach", "X", "--volume", "Data:100"}, "malformed --volume");
    ExpectUsageError({"attach", "X", "--volume", "Data:1:2"}, "more free than total");
    ExpectUsageError({"attach", "X", "--volume", ":1:1"}, "empty name");
    ExpectUsageError({"attach", "X", "--volume", "Data:-1:0"}, "malformed --volume");
    ExpectUsageError({"attach", "X", "--settle-ms", "soon"}, "--settle-ms");
    ExpectUsageError({"attach", "X", "--settle-ms", "-5"}, "--settle-ms");
    ExpectUsageError({"attach", "X", "--settle-ms", "99999999999999999999999"}, "--settle-ms");
    ExpectUsageError({"attach", "X", "--bridge-serial-hex", "0011"}, "32 hex digits");
    ExpectUsageError({"attach", "X", "--bridge-serial-hex", std::string(32, 'g')}, "32 hex digits");
    ExpectUsageError({"attach", "X", "--serial-type", "float"}, "--serial-type");
    ExpectUsageError(
        {"attach", "X", "--bridge-serial", "A", "--bridge-serial-hex", std::string(32, '0')},
        "once");
    ExpectUsageError({"attach", "X", "--frobnicate"}, "unknown option '--frobnicate'");
    ExpectUsageError(
        {"attach", "X", "--se=1"},
        "option '--se' is ambiguous (--settle-ms, --serial-type, --serial-on-ancestor, "
        "--second-storage)");
    ExpectUsageError({"attach", "X", "--volume"}, "--volume needs a value");
    // Too large for the protocol is out of range like any other value.
    ExpectUsageError({"attach", std::string(100000, 's')}, "larger than the protocol allows");
    ExpectUsageError({"attach", "X", "--no-bridge=yes"}, "--no-bridge takes no value");
    ExpectUsageError({"message", "X", "0x1ffffffff"}, "32-bit hex");
    ExpectUsageError({"message", "X", "zz"}, "32-bit hex");
    ExpectUsageError({"fault", "X", "explode"}, "unknown fault");
    ExpectUsageError({"dance"}, "unknown verb 'dance'");
    EXPECT_EQ(CtlOk({"list"}), ""); // none of them attached anything
}

TEST_F(Tvbctl, HostSideLimitsComeBackAsOneLine) {
    ExpectOneLineError({"attach", "X", "--settle-ms", "999999999"}, "settle time");
    ExpectOneLineError({"attach", "X", "--bridge-class", ""}, "empty bridge class");
}

TEST_F(Tvbctl, WrongNumberOfArgumentsIsAUsageError) {
    ExpectUsageError({}, "no verb given");
    ExpectUsageError({"attach"}, "attach: missing SERIAL");
    ExpectUsageError({"detach"}, "detach: missing DRIVE");
    ExpectUsageError({"message", "X"}, "message: missing CODE");
    ExpectUsageError({"lights"}, "missing DRIVE");
    ExpectUsageError({"calls", "--clear"}, "missing DRIVE");
    ExpectUsageError({"waits", "x"}, "unexpected argument 'x'");
    ExpectUsageError({"press", "A", "B"}, "unexpected argument 'B'");
    ExpectUsageError({"help", "dance"}, "unknown verb 'dance'");
}

TEST_F(Tvbctl, OptionsTakeTheirValueEitherWayAndMayFollowTheOperand) {
    EXPECT_EQ(CtlOk({"attach", "--volume=Data:10:5", "EQ", "--volume", "More:4:2"}), "disk2\n");
    EXPECT_EQ(CtlOk({"list"}), "EQ disk2 volumes=Data,More watchers=0\n");
    // After "--" nothing is an option, so a serial may start with a dash.
    EXPECT_EQ(CtlOk({"attach", "--", "-DASH"}), "disk3\n");
    CtlOk({"detach", "--", "-DASH"});
    EXPECT_EQ(CtlOk({"list", "--json"}), CtlOk({"list", "--j"})); // unique prefixes do
}

TEST_F(Tvbctl, BlanksCommasAndControlsInNamesAreEscapedSoLinesSplitOneWay) {
    CtlOk({"attach", "A B,C", "--volume", "Vol 1:10:5", "--volume", "x\\y,z:4:2", "--volume",
           "tab\there\nnl\x7f:1:1"});
    EXPECT_EQ(
        CtlOk({"list"}),
        "A\\x20B\\x2cC disk2 volumes=Vol\\x201,x\\\\y\\x2cz,tab\\x09here\\x0anl\\x7f watchers=0\n");
    EXPECT_EQ(CtlOk({"volumes"}), "disk2s1 Vol\\x201 10 5\n"
                                  "disk2s2 x\\\\y\\x2cz 4 2\n"
                                  "disk2s3 tab\\x09here\\x0anl\\x7f 1 1\n");
    // Other names, UTF-8 included, come out as they went in.
    CtlOk({"attach", "PLAIN", "--volume", "Fotos-\xc3\x9c:2:1"});
    EXPECT_EQ(Lines(CtlOk({"list"})).at(1), "PLAIN disk3 volumes=Fotos-\xc3\x9c watchers=0");
}

// C1 controls (a CSI among them) and bytes that are not UTF-8 would reach the terminal as they
// are; they come out as \xHH too, byte by byte, while valid UTF-8 around them stays.
TEST_F(Tvbctl, C1ControlsAndBytesThatAreNotUtf8AreEscaped) {
    const std::string c1 = "S\xc2\x9b"
                           "31m\xc2\x85"; // CSI, NEL
    const std::string stray = "a\xff"
                              "b\xc3:1:1"; // a stray byte, a cut sequence
    // overlong '/' in two and three bytes, a surrogate, beyond U+10FFFF
    const std::string malformed = "\xc0\xaf\xe0\x80\xaf\xed\xa0\x80\xf4\x90\x80\x80:1:1";
    const std::string valid = "\xc2\xa0\xe2\x82\xac\xf0\x9f\x92\xbe:1:1"; // NBSP, euro, emoji
    CtlOk({"attach", c1, "--volume", stray, "--volume", malformed, "--volume", valid});
    EXPECT_EQ(CtlOk({"list"}), "S\\xc2\\x9b31m\\xc2\\x85 disk2 volumes=a\\xffb\\xc3,"
                               "\\xc0\\xaf\\xe0\\x80\\xaf\\xed\\xa0\\x80\\xf4\\x90\\x80\\x80,"
                               "\xc2\xa0\xe2\x82\xac\xf0\x9f\x92\xbe "
                               "watchers=0\n");
    EXPECT_EQ(Lines(CtlOk({"volumes"})).at(0), "disk2s1 a\\xffb\\xc3 1 1");
}

// An error echoes what was typed or what the host named, but stays one line and sends nothing
// that drives the terminal.
TEST_F(Tvbctl, ErrorsEchoNamesWithTheirControlsEscaped) {
    const std::string hostile = "no\x1b]0;owned\x07\nsuch\xc2\x9b";
    ExpectOneLineError({"press", hostile}, "no drive no\\x1b]0;owned\\x07\\x0asuch\\xc2\\x9b");
    ExpectUsageError({hostile}, "unknown verb 'no\\x1b]0;owned\\x07\\x0asuch\\xc2\\x9b'");
    ExpectUsageError({"message", "X", "1\n2"}, "32-bit hex: 1\\x0a2");
}

// Output that cannot be written fails the command, so a script never goes on without it. A
// closed stdout must not hand its number to the host's socket either: the list (larger than
// any stdio buffer) would be sent to the host, which hangs up on such a peer.
TEST_F(Tvbctl, OutputThatCannotBeWrittenIsAFailure) {
    std::vector<std::string> attach = {"attach", "BIG"};
    for (int i = 0; i < 64; ++i)
        attach.insert(attach.end(),
                      {"--volume", std::string(1000, 'v') + std::to_string(i) + ":1:1"});
    CtlOk(attach);
    for (const char* redirect : {">/dev/full", ">&-"}) {
        for (const char* verb : {"list", "volumes", "--help"}) {
            const std::string script =
                std::string("exec \"$0\" --socket \"$1\" ") + verb + " " + redirect;
            tvbtest::ProgramResult r = tvbtest::RunProgram(
                "/bin/sh", {"-c", script, TVB_CTL_PATH, mHost.SocketPath()}, kAnswerMs);
            EXPECT_EQ(r.exitCode, 1) << script;
            EXPECT_EQ(r.err.rfind("tvbctl: cannot write the output", 0), 0u) << script << r.err;
            EXPECT_EQ(Lines(r.err).size(), 1u) << script << r.err;
        }
    }
    // A peer of our own that sends garbage now is told of after anything tvbctl sent.
    wire::Connection garbage = Connect();
    ASSERT_TRUE(garbage.SendBytes(std::string(32, '\xff').data(), 32));
    ASSERT_TRUE(mHost.WaitForStderr("disconnecting peer")) << mHost.Stderr();
    const std::vector<std::string> log = Lines(mHost.Stderr());
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](const std::string& line) {
                                return line.find("disconnecting peer") != std::string::npos;
                            }),
              1)
        << mHost.Stderr();
}

TEST_F(Tvbctl, JsonGivesTheNamesAsTheyAreInOneDocument) {
    EXPECT_EQ(CtlOk({"list", "--json"}), "[]\n");
    CtlOk({"attach", "A B,C", "--volume", "Vol 1:10:5", "--volume", "Hidden:4:2:nobsd", "--volume",
           "tab\there:1:1:unreadable"});
    CtlOk({"attach", "EMPTY"});
    const nlohmann::json list = CtlJson({"list", "--json"});
    ASSERT_EQ(list.size(), 2u);
    EXPECT_EQ(list[0], (nlohmann::json{{"serial", "A B,C"},
                                       {"bsdName", "disk2"},
                                       {"volumes", {"Vol 1", "Hidden", "tab\there"}},
                                       {"watchers", 0}}));
    EXPECT_EQ(list[1]["volumes"], nlohmann::json::array());
    const nlohmann::json volumes = CtlJson({"volumes", "--json"});
    ASSERT_EQ(volumes.size(), 3u);
    EXPECT_EQ(volumes[0], (nlohmann::json{{"bsdName", "disk2s1"},
                                          {"name", "Vol 1"},
                                          {"totalBytes", 10},
                                          {"freeBytes", 5},
                                          {"unreadable", false}}));
    EXPECT_TRUE(volumes[1]["bsdName"].is_null());
    EXPECT_EQ(volumes[2]["name"], "tab\there");
    EXPECT_EQ(volumes[2]["unreadable"], true);
    EXPECT_EQ(CtlJson({"calls", "--json", "EMPTY"}), nlohmann::json::array());
    EXPECT_EQ(CtlJson({"leds", "EMPTY", "--json"}), nlohmann::json::array());
}

TEST_F(Tvbctl, BridgeSerialIsCutOrPaddedToSixteenBytes) {
    CtlOk({"attach", "LONG", "--bridge-serial", "0123456789ABCDEFGHIJ"});
    CtlOk({"attach", "SHORT", "--bridge-serial", "xyz"});
    wire::Connection c = Connect();
    const std::vector<uint64_t> bridges = Ids(Ask(c, MatchClass("com_ostrel_IOTVB")).entries);
    ASSERT_EQ(bridges.size(), 2u);
    std::vector<std::string> serials;
    for (uint64_t bridge : bridges) {
        const uint64_t uc = Ask(c, About<wire::OpenRequest>(bridge)).connection;
        wire::ScalarRequest open;
        open.connection = uc;
        Ask(c, open);
        wire::StructRequest map;
        map.connection = uc;
        map.selector = 2;
        map.outputCapacity = 24;
        const wire::StructAnswer answer = Ask(c, map);
        ASSERT_EQ(answer.output.size, 24u);
        serials.emplace_back(answer.output.bytes.begin() + 4, answer.output.bytes.begin() + 20);
    }
    EXPECT_EQ(serials[0], "0123456789ABCDEF");
    EXPECT_EQ(serials[1], std::string("xyz") + std::string(13, '\0'));
    // The registry keeps the full serial regardless.
    EXPECT_EQ(TextOf(Ask(c, PropertyOf(bridges[0], "serial_number_core")).value), "LONG");
}

TEST_F(Tvbctl, RegistryShapeOptionsReachTheHost) {
    CtlOk({"attach", "PLAIN", "--no-bridge", "--volume", "Stick:10:5"});
    CtlOk({"attach", "PLUS", "--bridge-class", "com_ostrel_IOTVBPlus", "--serial-on-ancestor",
           "--second-storage", "--serial-type", "number"});
    wire::Connection c = Connect();
    const std::vector<uint64_t> bridges = Ids(Ask(c, MatchClass("com_ostrel_IOTVB")).entries);
    ASSERT_EQ(bridges.size(), 1u); // only PLUS has one
    EXPECT_EQ(Ask(c, About<wire::EntryRequest>(bridges[0])).className, "com_ostrel_IOTVBPlus");
    EXPECT_EQ(Ask(c, MatchClass("IOBlockStorageServices")).entries.size(), 3u);
    EXPECT_EQ(StatusOf(c, PropertyOf(bridges[0], "serial_number_core")), wire::kStatusNotFound);
    const uint64_t usb = Ids(Ask(c, About<wire::ParentsRequest>(bridges[0])).entries).at(0);
    PlistValue onUsb(Ask(c, PropertyOf(usb, "serial_number_core")).value);
    ASSERT_EQ(onUsb.Type(), PLIST_UINT);
    uint64_t number = 1;
    plist_get_uint_val(onUsb.node, &number);
    EXPECT_EQ(number, 0u); // "PLUS" has no digits; only the type matters to the reader
    EXPECT_EQ(CtlOk({"list"}), "PLAIN disk2 volumes=Stick watchers=0\n"
                               "PLUS disk3 volumes= watchers=0\n");
}

TEST_F(Tvbctl, SettleTimeIsSeenThroughWaits) {
    CtlOk({"attach", "S", "--settle-ms", "200"});
    wire::Connection c = Connect();
    Ask(c, WaitQuiet(Ids(Ask(c, MatchClass("IOUSBDevice")).entries).at(0), 10000));
    EXPECT_EQ(CtlOk({"waits"}), "IOUSBDevice Tarvelle\\x20USB\\x20Drive quiet\n");
}

TEST(TvbctlWithoutHost, EveryVerbFailsWithOneLine) {
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"ping"}, {"list"}, {"attach", "X"}, {"volumes"}}) {
        args.insert(args.begin(), {"--socket", "/nonexistent/devhost.sock"});
        tvbtest::ProgramResult r = tvbtest::RunProgram(TVB_CTL_PATH, args, kAnswerMs);
        EXPECT_EQ(r.exitCode, 1) << args[2];
        EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
        EXPECT_NE(r.err.find("cannot reach the device host"), std::string::npos) << r.err;
    }
}

// A request too large for the protocol is the usage error it is with a host.
TEST(TvbctlWithoutHost, RequestTooLargeForTheProtocolIsAUsageErrorAllTheSame) {
    ExpectUsageError(tvbtest::RunProgram(TVB_CTL_PATH,
                                         {"--socket", "/nonexistent/devhost.sock", "attach",
                                          std::string(100000, 's')},
                                         kAnswerMs),
                     "attach SSS...", "larger than the protocol allows");
}

TEST(TvbctlWithoutHost, DefaultSocketComesFromTheEnvironment) {
    tvbtest::DeviceHost host;
    ASSERT_TRUE(host.Start());
    const char* saved = getenv("TVB_DEVHOST_SOCKET");
    const std::string keep = saved ? saved : "";
    setenv("TVB_DEVHOST_SOCKET", host.SocketPath().c_str(), 1);
    tvbtest::ProgramResult r = tvbtest::RunProgram(TVB_CTL_PATH, {"ping"}, kAnswerMs);
    if (saved)
        setenv("TVB_DEVHOST_SOCKET", keep.c_str(), 1);
    else
        unsetenv("TVB_DEVHOST_SOCKET");
    EXPECT_EQ(r.exitCode, 0) << r.err;
}

// A script that starts a host and pings at once must not lose the race; without --wait the
// ping fails as soon as nothing listens, and a bad wait is a usage error.
TEST(TvbctlWithoutHost, PingWaitsForAHostStartedAfterIt) {
    tvbtest::DeviceHost host;
    const std::string socket = host.SocketPath();
    EXPECT_EQ(tvbtest::RunProgram(TVB_CTL_PATH, {"--socket", socket, "ping"}, kAnswerMs).exitCode,
              1);
    ExpectUsageError(
        tvbtest::RunProgram(TVB_CTL_PATH, {"--socket", socket, "ping", "--wait", "601"}),
        "ping --wait 601", "--wait takes a number of seconds");

    // A path too long for any socket is told at once, not after the whole wait.
    tvbtest::ProgramResult tooLong = tvbtest::RunProgram(
        TVB_CTL_PATH, {"--socket", "/tmp/" + std::string(200, 'x'), "ping", "--wait", "600"},
        kAnswerMs);
    EXPECT_EQ(tooLong.exitCode, 1) << tooLong.err;
    EXPECT_NE(tooLong.err.find("too long"), std::string::npos) << tooLong.err;

    tvbtest::ProgramResult late;
    std::thread pinger([&] {
        late =
            tvbtest::RunProgram(TVB_CTL_PATH, {"--socket", socket, "ping", "--wait", "20"}, 30000);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300)); // the ping is waiting by now
    ASSERT_TRUE(host.Launch());
    pinger.join();
    EXPECT_EQ(late.exitCode, 0) << late.err;
}

TEST(TvbctlWithoutHost, HelpAndVersionGoToStdoutAndNeedNoHost) {
    const std::vector<std::string> noHost = {"--socket", "/nonexistent/devhost.sock"};
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), noHost.begin(), noHost.end());
        return tvbtest::RunProgram(TVB_CTL_PATH, args, kAnswerMs);
    };
    std::string overview;
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--help"}, {"-h"}, {"help"}, {"help", "help"}, {"help", "--help"}}) {
        tvbtest::ProgramResult r = run(args);
        EXPECT_EQ(r.exitCode, 0) << args[0];
        EXPECT_EQ(r.err, "") << args[0];
        EXPECT_EQ(r.out.rfind("usage: tvbctl", 0), 0u) << r.out;
        if (overview.empty())
            overview = r.out;
        EXPECT_EQ(r.out, overview) << args[0];
    }
    for (const char* verb : {"attach", "detach", "press", "list", "volumes", "lights", "leds",
                             "calls", "fault", "message", "waits", "ping"}) {
        EXPECT_NE(overview.find(std::string("\n  ") + verb + " "), std::string::npos) << verb;
        tvbtest::ProgramResult byHelp = run({"help", verb});
        EXPECT_EQ(byHelp.exitCode, 0) << verb;
        EXPECT_NE(byHelp.out.find(std::string("usage: tvbctl [--socket PATH] ") + verb),
                  std::string::npos)
            << byHelp.out;
        // The verb's own --help shows the same, whatever else is on the line.
        EXPECT_EQ(run({verb, "--help"}).out, byHelp.out) << verb;
        EXPECT_EQ(run({verb, "X", "-h"}).out, byHelp.out) << verb;
    }
    EXPECT_NE(run({"help", "attach"}).out.find("--bridge-serial-hex"), std::string::npos);
    tvbtest::ProgramResult version = run({"--version"});
    EXPECT_EQ(version.exitCode, 0);
    EXPECT_EQ(version.out, std::string("tvbctl ") + TVB_VERSION + "\n");
    ExpectUsageError(run({"--bogus", "list"}), "--bogus", "unknown option '--bogus'");
    ExpectUsageError(run({"--version=1"}), "--version=1", "--version takes no value");
    ExpectUsageError(run({"list", "--jsn"}), "list --jsn", "unknown option '--jsn'");
    ExpectUsageError(run({"list", "--help=x"}), "list --help=x", "list: --help takes no value");
}

TEST(TvbctlWithoutHost, SocketOptionTakesItsValueEitherWay) {
    tvbtest::DeviceHost host;
    ASSERT_TRUE(host.Start());
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {"--socket=" + host.SocketPath(), "ping"}, {"-s", host.SocketPath(), "ping"}}) {
        tvbtest::ProgramResult r = tvbtest::RunProgram(TVB_CTL_PATH, args, kAnswerMs);
        EXPECT_EQ(r.exitCode, 0) << args[0] << ": " << r.err;
    }
    ExpectUsageError(tvbtest::RunProgram(TVB_CTL_PATH, {"ping", "--socket", host.SocketPath()}),
                     "ping --socket", "unknown option '--socket'");
    ExpectUsageError(tvbtest::RunProgram(TVB_CTL_PATH, {"--socket"}), "--socket",
                     "--socket needs a value");
}
