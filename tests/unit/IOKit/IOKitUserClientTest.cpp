// User clients: opening the bridge, the scalar and structure calls, and every way the
// driver or the host can fail them.
#include "IOKitTestSupport.h"
#include "TvbSession.h"

#include <sys/wait.h>

#include <csignal>
#include <cstring>

namespace iokittest {
namespace {

constexpr uint32_t kOpen = 0, kClose = 1, kButtonMap = 2, kLed = 3;

class IOKitUserClient : public IOKitTest {
protected:
    io_connect_t OpenBridge(const char* bridgeClass = "com_ostrel_IOTVB") {
        bridge = FirstService(bridgeClass);
        EXPECT_NE(bridge, 0u);
        io_connect_t connect = 0;
        EXPECT_EQ(IOServiceOpen(bridge, mach_task_self(), 0, &connect), KERN_SUCCESS);
        return connect;
    }
    // A fresh drive with `fault` set, and a connection to its bridge.
    io_connect_t OpenFaultyBridge(const std::string& serial, const std::string& fault) {
        Attach(serial);
        Ctl({"fault", serial, fault});
        return OpenBridge();
    }
    // Asks for the button map into a buffer first filled with `fill`.
    static IOReturn ButtonMap(io_connect_t connect, uint8_t (&answer)[24], IOByteCount& size,
                              uint8_t fill) {
        std::memset(answer, fill, sizeof answer);
        size = sizeof answer;
        return IOConnectMethodStructureIStructureO(connect, kButtonMap, 0, &size, nullptr, answer);
    }
    // Closes the bracket and the connection, whatever state they are in.
    static void CloseBracket(io_connect_t connect) {
        IOConnectMethodScalarIScalarO(connect, kClose, 0, 0);
        IOServiceClose(connect);
    }
    void TearDown() override {
        if (bridge != 0)
            IOObjectRelease(bridge);
        IOKitTest::TearDown();
    }
    io_service_t bridge = 0;
};

TEST_F(IOKitUserClient, BracketedButtonQueryReachesTheDriverInOrder) {
    Attach("ORDER", {"--bridge-serial", "BRIDGE-ORDER"});
    Ctl({"press", "ORDER"});
    io_connect_t connect = OpenBridge();
    ASSERT_NE(connect, 0u);
    EXPECT_EQ(IOConnectMethodScalarIScalarO(connect, kOpen, 0, 0), KERN_SUCCESS);
    uint8_t answer[24];
    IOByteCount size = 0;
    EXPECT_EQ(ButtonMap(connect, answer, size, 0xEE), KERN_SUCCESS);
    EXPECT_EQ(size, 24u);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(answer + 4), 12), "BRIDGE-ORDER");
    EXPECT_EQ(answer[16], 0);
    const uint8_t pressed[4] = {0, 0, 0, 1};
    EXPECT_EQ(std::memcmp(answer + 20, pressed, 4), 0);
    // The driver reported the press once.
    size = sizeof answer;
    EXPECT_EQ(IOConnectMethodStructureIStructureO(connect, kButtonMap, 0, &size, nullptr, answer),
              KERN_SUCCESS);
    const uint8_t released[4] = {0, 0, 0, 0};
    EXPECT_EQ(std::memcmp(answer + 20, released, 4), 0);
    EXPECT_EQ(IOConnectMethodScalarIScalarO(connect, kClose, 0, 0), KERN_SUCCESS);
    EXPECT_EQ(IOServiceClose(connect), KERN_SUCCESS);
    EXPECT_EQ(CtlOutput({"calls", "ORDER"}),
              "open\nselector 0\nselector 2\nselector 2\nselector 1\nclose\n");
    // A closed connection is a dead handle.
    EXPECT_EQ(IOConnectMethodScalarIScalarO(connect, kOpen, 0, 0), MACH_SEND_INVALID_DEST);
}

TEST_F(IOKitUserClient, LedInputReachesTheDriverByteForByte) {
    Attach("LIGHTS");
    io_connect_t connect = OpenBridge();
    ASSERT_EQ(IOConnectMethodScalarIScalarO(connect, kOpen, 0, 0), KERN_SUCCESS);
    uint8_t input[4] = {1, 42, 1, 1};
    uint8_t output[4] = {9, 9, 9, 9};
    IOByteCount size = sizeof output;
    EXPECT_EQ(
        IOConnectMethodStructureIStructureO(connect, kLed, sizeof input, &size, input, output),
        KERN_SUCCESS);
    EXPECT_EQ(size, 4u);
    EXPECT_EQ(CtlOutput({"lights", "LIGHTS"}), "value=42 shown=on commands=1\n");
    // Only the fields whose flags are set change anything.
    uint8_t offOnly[4] = {0, 77, 1, 0};
    size_t written = sizeof output;
    EXPECT_EQ(IOConnectCallStructMethod(connect, kLed, offOnly, sizeof offOnly, output, &written),
              KERN_SUCCESS);
    EXPECT_EQ(written, 4u);
    EXPECT_EQ(CtlOutput({"lights", "LIGHTS"}), "value=42 shown=off commands=2\n");
    uint64_t none = 0;
    uint32_t noOutputs = 0;
    EXPECT_EQ(IOConnectCallScalarMethod(connect, kClose, &none, 0, nullptr, &noOutputs),
              KERN_SUCCESS);
    EXPECT_EQ(noOutputs, 0u);
    IOServiceClose(connect);
}

TEST_F(IOKitUserClient, ShortAnswerWritesOnlyItsBytes) {
    io_connect_t connect = OpenFaultyBridge("SHORT", "short-answer");
    ASSERT_EQ(IOConnectMethodScalarIScalarO(connect, kOpen, 0, 0), KERN_SUCCESS);
    uint8_t answer[24];
    IOByteCount size = 0;
    EXPECT_EQ(ButtonMap(connect, answer, size, 0xAA), KERN_SUCCESS);
    EXPECT_EQ(size, 4u);
    for (size_t i = 4; i < sizeof answer; ++i)
        EXPECT_EQ(answer[i], 0xAA) << "byte " << i;
    CloseBracket(connect);
}

TEST_F(IOKitUserClient, FailedCommandLeavesTheBufferAndSizeAlone) {
    io_connect_t connect = OpenFaultyBridge("FAILING", "fail-command");
    ASSERT_EQ(IOConnectMethodScalarIScalarO(connect, kOpen, 0, 0), KERN_SUCCESS);
    uint8_t answer[24];
    IOByteCount size = 0;
    EXPECT_EQ(ButtonMap(connect, answer, size, 0x55), kIOReturnError);
    EXPECT_EQ(size, 24u);
    EXPECT_EQ(answer[0], 0x55);
    EXPECT_EQ(answer[23], 0x55);
    CloseBracket(connect);
}

TEST_F(IOKitUserClient, SlowAnswerTimesOutAndNeverLeaksIntoLaterCalls) {
    Attach("SLOW", {"--bridge-serial", "SLOWBRIDGE"});
    Ctl({"fault", "SLOW", "slow-answer"});
    Ctl({"press", "SLOW"});
    io_connect_t connect = OpenBridge();
    ASSERT_EQ(IOConnectMethodScalarIScalarO(connect, kOpen, 0, 0), KERN_SUCCESS);
    uint8_t answer[24] = {};
    IOByteCount size = sizeof answer;
    EXPECT_EQ(IOConnectMethodStructureIStructureO(connect, kButtonMap, 0, &size, nullptr, answer),
              kIOReturnNotResponding);
    EXPECT_EQ(answer[4], 0);
    // A driver taking its time is not a stopped host: the host still answers, so the session
    // does not back off and the rest of the registry (other drives) stays in reach.
    EXPECT_FALSE(tvb::wire::HostSession::Shared().BackingOff());
    io_service_t media = FirstService("IOMedia");
    EXPECT_NE(media, 0u);
    IOObjectRelease(media);
    // The call's connection was given up with it, so the host never carries out the late
    // command: the connection is gone, and the press is still pending below.
    const std::string callsBefore = CtlOutput({"calls", "SLOW"});
    EXPECT_EQ(IOConnectMethodScalarIScalarO(connect, kClose, 0, 0), kIOReturnNoDevice);
    EXPECT_EQ(CtlOutput({"calls", "SLOW"}), callsBefore);
    IOServiceClose(connect);

    Ctl({"fault", "SLOW", "none"});
    io_connect_t again = 0;
    ASSERT_EQ(IOServiceOpen(bridge, mach_task_self(), 0, &again), KERN_SUCCESS);
    ASSERT_EQ(IOConnectMethodScalarIScalarO(again, kOpen, 0, 0), KERN_SUCCESS);
    ASSERT_EQ(ButtonMap(again, answer, size, 0), KERN_SUCCESS);
    EXPECT_EQ(answer[23], 1) << "the press the slow answer would have reported";
    // Keep asking until the late answer would have come; every answer must be this call's.
    const CFAbsoluteTime until = CFAbsoluteTimeGetCurrent() + 3.5;
    int calls = 0;
    while (CFAbsoluteTimeGetCurrent() < until) {
        ASSERT_EQ(ButtonMap(again, answer, size, 0), KERN_SUCCESS);
        ASSERT_EQ(size, 24u);
        ASSERT_EQ(std::string(reinterpret_cast<char*>(answer + 4)), "SLOWBRIDGE");
        ++calls;
        RunLoopUntil([] { return false; }, 0.1);
    }
    EXPECT_GT(calls, 1);
    CloseBracket(again);
}

// A stopped host reads what it was sent only when it runs again, by when the caller has given
// up and gone: neither the query nor the LED command may be carried out then, or the press it
// would report is lost and the lights change for nobody.
TEST_F(IOKitUserClient, CommandsGivenUpOnAStoppedHostAreNotCarriedOutWhenItResumes) {
    Attach("PAUSED", {"--bridge-serial", "PAUSEDBRIDGE"});
    Ctl({"press", "PAUSED"});
    for (const uint32_t selector : {kButtonMap, kLed}) {
        io_connect_t connect = OpenBridge();
        ASSERT_EQ(IOConnectMethodScalarIScalarO(connect, kOpen, 0, 0), KERN_SUCCESS);
        const std::string callsBefore = CtlOutput({"calls", "PAUSED"});
        ASSERT_EQ(kill(host.Pid(), SIGSTOP), 0);
        siginfo_t stopped{};
        ASSERT_EQ(waitid(P_PID, static_cast<id_t>(host.Pid()), &stopped, WSTOPPED | WNOWAIT), 0);
        uint8_t command[24] = {1, 42, 1, 1};
        IOByteCount size = selector == kButtonMap ? 24 : 4;
        EXPECT_EQ(IOConnectMethodStructureIStructureO(connect, selector, selector == kLed ? 4 : 0,
                                                      &size, selector == kLed ? command : nullptr,
                                                      command),
                  kIOReturnNotResponding);
        CloseBracket(connect);
        ASSERT_EQ(kill(host.Pid(), SIGCONT), 0);
        tvb::wire::HostSession::Shared().EndBackoffForTesting();
        // tvbctl's connection is served after the hang-ups that came in while stopped.
        EXPECT_EQ(CtlOutput({"calls", "PAUSED"}), callsBefore + "close\n") << selector;
        IOObjectRelease(bridge);
        bridge = 0;
    }
    EXPECT_EQ(CtlOutput({"lights", "PAUSED"}), "value=none shown=unset commands=0\n");
    io_connect_t again = OpenBridge();
    ASSERT_EQ(IOConnectMethodScalarIScalarO(again, kOpen, 0, 0), KERN_SUCCESS);
    uint8_t answer[24];
    IOByteCount size = 0;
    ASSERT_EQ(ButtonMap(again, answer, size, 0), KERN_SUCCESS);
    EXPECT_EQ(answer[23], 1) << "the press the given-up query would have taken";
    CloseBracket(again);
}

TEST_F(IOKitUserClient, OpenRefusalsComeBackAsTheirStatus) {
    Attach("REFUSER");
    Attach("NOBRIDGE", {"--no-bridge"});
    bridge = FirstService("com_ostrel_IOTVB");
    io_connect_t connect = 77;
    EXPECT_EQ(IOServiceOpen(bridge, mach_task_self(), 1, &connect), kIOReturnBadArgument);
    EXPECT_EQ(connect, 0u);
    EXPECT_EQ(IOServiceOpen(bridge, mach_task_self() + 1, 0, &connect), kIOReturnBadArgument);
    Ctl({"fault", "REFUSER", "refuse-open"});
    EXPECT_EQ(IOServiceOpen(bridge, mach_task_self(), 0, &connect), kIOReturnNotPermitted);
    EXPECT_EQ(connect, 0u);

    // A service that offers no user client.
    std::vector<io_service_t> stores = AllServices("IOBlockStorageServices");
    ASSERT_EQ(stores.size(), 2u);
    EXPECT_EQ(IOServiceOpen(stores[1], mach_task_self(), 0, &connect), kIOReturnUnsupported);
    for (io_service_t s : stores)
        IOObjectRelease(s);
}

TEST_F(IOKitUserClient, SelectorsOutsideTheBracketAreNotOpen) {
    Attach("UNBRACKETED");
    io_connect_t connect = OpenBridge();
    uint8_t answer[24];
    IOByteCount size = sizeof answer;
    EXPECT_EQ(IOConnectMethodStructureIStructureO(connect, kButtonMap, 0, &size, nullptr, answer),
              kIOReturnNotOpen);
    IOServiceClose(connect);
}

TEST_F(IOKitUserClient, ConnectionToADetachedDriveFailsCleanly) {
    Attach("LEAVING");
    io_connect_t connect = OpenBridge();
    ASSERT_EQ(IOConnectMethodScalarIScalarO(connect, kOpen, 0, 0), KERN_SUCCESS);
    Ctl({"detach", "LEAVING"});
    uint8_t answer[24];
    IOByteCount size = sizeof answer;
    EXPECT_NE(IOConnectMethodStructureIStructureO(connect, kButtonMap, 0, &size, nullptr, answer),
              KERN_SUCCESS);
    EXPECT_NE(IOConnectMethodScalarIScalarO(connect, kClose, 0, 0), KERN_SUCCESS);
    IOServiceClose(connect);
    io_connect_t another = 0;
    EXPECT_NE(IOServiceOpen(bridge, mach_task_self(), 0, &another), KERN_SUCCESS);
    EXPECT_EQ(another, 0u);
}

// A question the protocol cannot carry is refused here, not sent: sent, it would cost the
// process its connection to the host and with it every user client it has open.
TEST_F(IOKitUserClient, AnArgumentTooLongToSendLeavesOpenUserClientsAlone) {
    Attach("LONGWINDED");
    io_connect_t connect = OpenBridge();
    ASSERT_EQ(IOConnectMethodScalarIScalarO(connect, kOpen, 0, 0), KERN_SUCCESS);

    const std::string longText(5000, 'k');
    CFStringRef longKey =
        CFStringCreateWithCString(kCFAllocatorDefault, longText.c_str(), kCFStringEncodingASCII);
    EXPECT_EQ(IORegistryEntryCreateCFProperty(bridge, longKey, kCFAllocatorDefault, 0), nullptr);
    CFRelease(longKey);

    uint8_t answer[24];
    IOByteCount size = 0;
    EXPECT_EQ(ButtonMap(connect, answer, size, 0), KERN_SUCCESS);
    CloseBracket(connect);
    EXPECT_EQ(CtlOutput({"calls", "LONGWINDED"}),
              "open\nselector 0\nselector 2\nselector 1\nclose\n");
}

} // namespace
} // namespace iokittest
