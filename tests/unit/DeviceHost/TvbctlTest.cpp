// tvbctl's verbs, outputs and errors, which scenario tests and the demo depend on.
#include "LiveHost.h"

using namespace tvb;
using namespace tvb::hosttest;

namespace {

class Tvbctl : public LiveHost {
protected:
    // Fails with exactly one line of error and nothing on stdout.
    void ExpectOneLineError(std::vector<std::string> args, const std::string& fragment) {
        const std::string shown = Join(args);
        hostkit::ProgramResult r = Ctl(std::move(args));
        EXPECT_NE(r.exitCode, 0) << shown;
        EXPECT_EQ(r.out, "") << shown;
        EXPECT_EQ(Lines(r.err).size(), 1u) << shown << ": " << r.err;
        EXPECT_NE(r.err.find(fragment), std::string::npos) << shown << ": " << r.err;
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
    ExpectOneLineError({"attach", "X", "--volume", "Data:100"}, "malformed --volume");
    ExpectOneLineError({"attach", "X", "--volume", "Data:1:2"}, "more free than total");
    ExpectOneLineError({"attach", "X", "--volume", ":1:1"}, "empty name");
    ExpectOneLineError({"attach", "X", "--volume", "Data:-1:0"}, "malformed --volume");
    ExpectOneLineError({"attach", "X", "--settle-ms", "soon"}, "--settle-ms");
    ExpectOneLineError({"attach", "X", "--bridge-serial-hex", "0011"}, "32 hex digits");
    ExpectOneLineError({"attach", "X", "--bridge-serial-hex", std::string(32, 'g')},
                       "32 hex digits");
    ExpectOneLineError({"attach", "X", "--serial-type", "float"}, "--serial-type");
    ExpectOneLineError(
        {"attach", "X", "--bridge-serial", "A", "--bridge-serial-hex", std::string(32, '0')},
        "once");
    ExpectOneLineError({"attach", "X", "--frobnicate"}, "unknown or incomplete option");
    ExpectOneLineError({"attach", "X", "--volume"}, "unknown or incomplete option");
    ExpectOneLineError({"message", "X", "0x1ffffffff"}, "32-bit hex");
    ExpectOneLineError({"message", "X", "zz"}, "32-bit hex");
    ExpectOneLineError({"fault", "X", "explode"}, "unknown fault");
    ExpectOneLineError({"dance"}, "unknown verb");
    EXPECT_EQ(CtlOk({"list"}), ""); // none of them attached anything
}

TEST_F(Tvbctl, HostSideLimitsComeBackAsOneLine) {
    ExpectOneLineError({"attach", "X", "--settle-ms", "999999999"}, "settle time");
    ExpectOneLineError({"attach", "X", "--bridge-class", ""}, "empty bridge class");
}

TEST_F(Tvbctl, MissingArgumentsPrintUsage) {
    for (std::vector<std::string> args : std::vector<std::vector<std::string>>{
             {}, {"attach"}, {"detach"}, {"message", "X"}, {"lights"}, {"calls"}, {"waits", "x"}}) {
        hostkit::ProgramResult r = Ctl(args);
        EXPECT_EQ(r.exitCode, 2) << Join(args);
        EXPECT_NE(r.err.find("usage"), std::string::npos) << Join(args);
    }
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
    EXPECT_EQ(CtlOk({"waits"}), "IOUSBDevice Tarvelle USB Drive quiet\n");
}

TEST(TvbctlWithoutHost, EveryVerbFailsWithOneLine) {
    for (std::vector<std::string> args :
         std::vector<std::vector<std::string>>{{"ping"}, {"list"}, {"attach", "X"}, {"volumes"}}) {
        args.insert(args.begin(), {"--socket", "/nonexistent/devhost.sock"});
        hostkit::ProgramResult r = hostkit::RunProgram(TVB_CTL_PATH, args, kAnswerMs);
        EXPECT_EQ(r.exitCode, 1) << args[2];
        EXPECT_EQ(Lines(r.err).size(), 1u) << r.err;
        EXPECT_NE(r.err.find("cannot reach the device host"), std::string::npos) << r.err;
    }
}

TEST(TvbctlWithoutHost, DefaultSocketComesFromTheEnvironment) {
    hostkit::HostProcess host(TVB_DEVHOST_PATH);
    ASSERT_TRUE(host.Start());
    const char* saved = getenv("TVB_DEVHOST_SOCKET");
    const std::string keep = saved ? saved : "";
    setenv("TVB_DEVHOST_SOCKET", host.SocketPath().c_str(), 1);
    hostkit::ProgramResult r = hostkit::RunProgram(TVB_CTL_PATH, {"ping"}, kAnswerMs);
    if (saved)
        setenv("TVB_DEVHOST_SOCKET", keep.c_str(), 1);
    else
        unsetenv("TVB_DEVHOST_SOCKET");
    EXPECT_EQ(r.exitCode, 0) << r.err;
}
