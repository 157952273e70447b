// The user-client exchange with a simulated bridge: the open/close bracket in every
// outcome, the button query and the LED commands as the drive applies them.
#include "PlatformFaults.h"
#include "PollerTestHost.h"

#include <chrono>
#include <cstring>
#include <thread>

using namespace pollertest;

namespace {

class Bridge : public ::testing::Test {
protected:
    void Use(const std::string& serial, const std::vector<std::string>& options = {}) {
        mSerial = serial;
        AttachListed(serial, options);
        mService = BridgeService(serial);
        ASSERT_NE(mService, 0u);
        Ctl({"calls", "--clear", serial});
    }
    void TearDown() override {
        if (mService != 0)
            IOObjectRelease(mService);
        // A drive left faulty would keep later ticks of this program asking for a refresh.
        CtlStatus({"fault", mSerial, "none"});
    }
    std::vector<std::string> Calls() { return CtlLines({"calls", mSerial}); }
    std::string Lights() { return Ctl({"lights", mSerial}); }

    std::string mSerial;
    io_service_t mService = 0;
};

const std::vector<std::string> kFullBracket = {"open", "selector 0", "selector 2", "selector 1",
                                               "close"};

TEST_F(Bridge, PressIsReportedOnceWithTheBridgeSerial) {
    Use("BR-PRESS", {"--bridge-serial", "ABC"});
    ButtonMapResponse response;
    EXPECT_FALSE(IsButtonPressed(QueryButtonMap(mService, response), response));
    Ctl({"press", "BR-PRESS"});
    IOReturn status = QueryButtonMap(mService, response);
    EXPECT_TRUE(IsButtonPressed(status, response));
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(response.serialNumber), 4),
              std::string("ABC\0", 4));
    EXPECT_FALSE(IsButtonPressed(QueryButtonMap(mService, response), response))
        << "the driver clears it";
    std::vector<std::string> calls = Calls();
    ASSERT_EQ(calls.size(), 15u);
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 5), kFullBracket);
}

TEST_F(Bridge, RefusedOpenSelectorClosesWithoutACommand) {
    Use("BR-REF0");
    Ctl({"fault", "BR-REF0", "refuse-selector0"});
    Ctl({"press", "BR-REF0"});
    ButtonMapResponse response;
    EXPECT_FALSE(IsButtonPressed(QueryButtonMap(mService, response), response));
    EXPECT_EQ(Calls(), (std::vector<std::string>{"open", "selector 0", "close"}));
}

TEST_F(Bridge, RefusedConnectionSendsNothing) {
    Use("BR-REFC");
    Ctl({"fault", "BR-REFC", "refuse-open"});
    ButtonMapResponse response;
    EXPECT_NE(QueryButtonMap(mService, response), kIOReturnSuccess);
    EXPECT_TRUE(Calls().empty() || Calls() == std::vector<std::string>{"open"});
    EXPECT_FALSE(SetBlinkenLightsValue(mService, 42)) << "no LED command sent is no success";
    EXPECT_EQ(Lights(), "value=none shown=unset commands=0");
}

TEST_F(Bridge, FailedCommandIsStillBracketedAndNeverAPress) {
    Use("BR-FAIL");
    Ctl({"fault", "BR-FAIL", "fail-command"});
    Ctl({"press", "BR-FAIL"});
    ButtonMapResponse response;
    IOReturn status = QueryButtonMap(mService, response);
    EXPECT_NE(status, kIOReturnSuccess);
    EXPECT_FALSE(IsButtonPressed(status, response));
    EXPECT_EQ(Calls(), kFullBracket);
    EXPECT_FALSE(SetBlinkenLightsValue(mService, 42));
}

TEST_F(Bridge, ShortAnswerIsNoPhantomPress) {
    Use("BR-SHORT");
    Ctl({"fault", "BR-SHORT", "short-answer"});
    Ctl({"press", "BR-SHORT"});
    ButtonMapResponse response;
    std::memset(static_cast<void*>(&response), 0xFF, sizeof response); // stale bytes from before
    IOReturn status = QueryButtonMap(mService, response);
    EXPECT_FALSE(IsButtonPressed(status, response));
}

TEST_F(Bridge, SlowAnswerFailsInBoundedTime) {
    Use("BR-SLOW");
    Ctl({"fault", "BR-SLOW", "slow-answer"});
    ButtonMapResponse response;
    CFAbsoluteTime start = CFAbsoluteTimeGetCurrent();
    IOReturn status = QueryButtonMap(mService, response);
    EXPECT_NE(status, kIOReturnSuccess);
    EXPECT_LT(CFAbsoluteTimeGetCurrent() - start, 10.0);
    Ctl({"fault", "BR-SLOW", "none"});
    // The process's session fails exchanges at once until its back-off lets it try the host
    // again (about a second); the exchange works again from then on.
    IOReturn again = QueryButtonMap(mService, response);
    for (int i = 0; i < 50 && again != kIOReturnSuccess; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        again = QueryButtonMap(mService, response);
    }
    EXPECT_EQ(again, kIOReturnSuccess) << "the next exchange works again";
}

TEST_F(Bridge, LedWrappersSetExactlyTheFieldsTheyName) {
    Use("BR-LED");
    EXPECT_TRUE(SetBlinkenLightsValue(mService, 42));
    EXPECT_EQ(Lights(), "value=42 shown=unset commands=1");
    EXPECT_TRUE(SetShowBlinkenLightsValue(mService, 43, true));
    EXPECT_EQ(Lights(), "value=43 shown=on commands=2");
    EXPECT_TRUE(SetShowBlinkenLightsValue(mService, 44, false));
    EXPECT_EQ(Lights(), "value=44 shown=off commands=3");
    EXPECT_TRUE(ShowBlinkenLights(mService, true));
    EXPECT_EQ(Lights(), "value=44 shown=on commands=4");
    EXPECT_TRUE(SetBlinkenLightsValue(mService, 0));
    EXPECT_EQ(Lights(), "value=0 shown=on commands=5");
    std::vector<std::string> calls = Calls();
    ASSERT_EQ(calls.size(), 25u);
    EXPECT_EQ(
        std::vector<std::string>(calls.begin(), calls.begin() + 5),
        (std::vector<std::string>{"open", "selector 0", "selector 3", "selector 1", "close"}));
}

TEST_F(Bridge, LedWrappersSendTheirExactBytes) {
    Use("BR-BYTES");
    SetBlinkenLightsValue(mService, 42);
    SetShowBlinkenLightsValue(mService, 42, true);
    SetShowBlinkenLightsValue(mService, 42, false);
    ShowBlinkenLights(mService, false);
    ShowBlinkenLights(mService, true);
    EXPECT_EQ(CtlLines({"leds", "BR-BYTES"}),
              (std::vector<std::string>{"01 2a 00 00", "01 2a 01 01", "01 2a 01 00", "00 00 01 00",
                                        "00 00 01 01"}));
}

TEST_F(Bridge, RunningOutOfMemoryAtAnyStepLetsNoExceptionOutAndClosesTheConnection) {
    Use("BR-NOMEM");
    // What reaches the drive when the n-th call of the exchange cannot be made.
    const std::vector<std::vector<std::string>> reached = {
        {},                                                           // IOServiceOpen
        {"open", "close"},                                            // selector 0
        {"open", "selector 0", "selector 1", "close"},                // the button query
        {"open", "selector 0", "selector 2", "close"},                // selector 1
        {"open", "selector 0", "selector 2", "selector 1", "close"}}; // IOServiceClose, once
    for (size_t step = 1; step <= reached.size(); ++step) {
        SCOPED_TRACE("failing call " + std::to_string(step));
        Ctl({"press", mSerial});
        Ctl({"calls", "--clear", mSerial});
        ButtonMapResponse response;
        IOReturn status = kIOReturnSuccess;
        FailUserClientCall(static_cast<int>(step));
        EXPECT_NO_THROW(status = QueryButtonMap(mService, response));
        FailUserClientCall(0);
        EXPECT_EQ(Calls(), reached[step - 1]);
        if (step <= 3)
            EXPECT_EQ(status, kIOReturnNoMemory);
        else
            EXPECT_TRUE(IsButtonPressed(status, response)) << "a failed close loses no answer";
    }
}

TEST_F(Bridge, DriveThatIsGoneFailsCleanly) {
    Use("BR-GONE");
    Ctl({"detach", "BR-GONE"});
    ButtonMapResponse response;
    EXPECT_NE(QueryButtonMap(mService, response), kIOReturnSuccess);
    EXPECT_FALSE(SetShowBlinkenLightsValue(mService, 50, true));
}

} // namespace
