#include "Drive.h"

#include <gtest/gtest.h>

using namespace tvb;
using namespace tvb::host;

namespace {

class BridgeDriver : public ::testing::Test {
protected:
    BridgeDriver() : drive(1, MakeSpec(), 2) {}

    static DriveSpec MakeSpec() {
        DriveSpec plan;
        plan.serial = "SERIAL-LONGER-THAN-16";
        std::copy_n("SERIAL-LONGER-TH", 16, plan.bridgeSerial.begin());
        return plan;
    }

    // open, selector 0: the bracket every command needs.
    void OpenBracket() {
        ASSERT_EQ(drive.Open(0), wire::kStatusSuccess);
        ASSERT_EQ(drive.Scalar(bracket, 0, {}, 0).status, wire::kStatusSuccess);
    }

    CallResult ButtonMap() {
        drive.LogStruct(2);
        return drive.AnswerStruct(bracket, 2, {}, kButtonMapResponseSize);
    }

    CallResult Led(std::vector<uint8_t> input) {
        drive.LogStruct(3);
        return drive.AnswerStruct(bracket, 3, input, kDummyResponseSize);
    }

    Drive drive;
    bool bracket = false;
};

} // namespace

TEST_F(BridgeDriver, ButtonMapCarriesSerialAndReportsAPressOnce) {
    OpenBracket();
    CallResult idle = ButtonMap();
    ASSERT_EQ(idle.status, wire::kStatusSuccess);
    ASSERT_EQ(idle.bytes.size(), 24u);
    EXPECT_EQ(std::vector<uint8_t>(idle.bytes.begin(), idle.bytes.begin() + 4),
              (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_EQ(std::string(idle.bytes.begin() + 4, idle.bytes.begin() + 20), "SERIAL-LONGER-TH");
    EXPECT_EQ(std::vector<uint8_t>(idle.bytes.begin() + 20, idle.bytes.end()),
              (std::vector<uint8_t>{0, 0, 0, 0}));

    drive.Press();
    CallResult pressed = ButtonMap();
    EXPECT_EQ(std::vector<uint8_t>(pressed.bytes.begin() + 20, pressed.bytes.end()),
              (std::vector<uint8_t>{0, 0, 0, 1}));
    EXPECT_EQ(ButtonMap().bytes.at(23), 0);
}

TEST_F(BridgeDriver, LedInputAppliedExactlyAsItsFieldsSay) {
    OpenBracket();
    EXPECT_EQ(drive.LightValue(), std::nullopt);
    EXPECT_EQ(drive.Shown(), LightsShown::Unset);

    CallResult r = Led({1, 42, 0, 0}); // value only
    EXPECT_EQ(r.status, wire::kStatusSuccess);
    EXPECT_EQ(r.bytes.size(), 4u);
    EXPECT_EQ(drive.LightValue(), 42);
    EXPECT_EQ(drive.Shown(), LightsShown::Unset);

    Led({0, 99, 1, 1}); // on/off only: 99 must not be taken
    EXPECT_EQ(drive.LightValue(), 42);
    EXPECT_EQ(drive.Shown(), LightsShown::On);

    Led({1, 0, 1, 0});
    EXPECT_EQ(drive.LightValue(), 0);
    EXPECT_EQ(drive.Shown(), LightsShown::Off);

    Led({0, 7, 0, 1}); // neither flag: nothing changes
    EXPECT_EQ(drive.LightValue(), 0);
    EXPECT_EQ(drive.Shown(), LightsShown::Off);
    EXPECT_EQ(drive.LedCommands(), 4u);
}

TEST_F(BridgeDriver, CommandsOutsideTheBracketAreNotOpen) {
    ASSERT_EQ(drive.Open(0), wire::kStatusSuccess);
    EXPECT_EQ(ButtonMap().status, wire::kStatusNotOpen);
    EXPECT_EQ(drive.Scalar(bracket, 1, {}, 0).status, wire::kStatusNotOpen);
    ASSERT_EQ(drive.Scalar(bracket, 0, {}, 0).status, wire::kStatusSuccess);
    ASSERT_EQ(drive.Scalar(bracket, 1, {}, 0).status, wire::kStatusSuccess);
    drive.Press();
    EXPECT_EQ(ButtonMap().status, wire::kStatusNotOpen);
    EXPECT_EQ(Led({1, 5, 0, 0}).status, wire::kStatusNotOpen);
    EXPECT_EQ(drive.LightValue(), std::nullopt);
    EXPECT_TRUE(drive.PressPending());
}

TEST_F(BridgeDriver, WrongCallShapesAreBadArguments) {
    OpenBracket();
    EXPECT_EQ(drive.Open(1), wire::kStatusBadArgument);
    EXPECT_EQ(drive.Scalar(bracket, 0, {5}, 0).status, wire::kStatusBadArgument);
    EXPECT_EQ(drive.Scalar(bracket, 1, {}, 1).status, wire::kStatusBadArgument);
    EXPECT_EQ(drive.Scalar(bracket, 2, {}, 0).status, wire::kStatusBadArgument);
    EXPECT_EQ(drive.Scalar(bracket, 9, {}, 0).status, wire::kStatusUnsupported);
    EXPECT_EQ(drive.AnswerStruct(bracket, 2, {1}, 24).status, wire::kStatusBadArgument);
    EXPECT_EQ(drive.AnswerStruct(bracket, 2, {}, 23).status, wire::kStatusBadArgument);
    EXPECT_EQ(drive.AnswerStruct(bracket, 3, {1, 2, 3}, 4).status, wire::kStatusBadArgument);
    EXPECT_EQ(drive.AnswerStruct(bracket, 0, {}, 4).status, wire::kStatusBadArgument);
    EXPECT_EQ(drive.AnswerStruct(bracket, 4, {}, 4).status, wire::kStatusUnsupported);
    EXPECT_TRUE(bracket); // none of that closed the bracket
}

TEST_F(BridgeDriver, CallLogKeepsOrderIncludingRefusedCalls) {
    drive.SetFault(Fault::RefuseSelector0);
    ASSERT_EQ(drive.Open(0), wire::kStatusSuccess);
    EXPECT_EQ(drive.Scalar(bracket, 0, {}, 0).status, wire::kStatusNotPermitted);
    EXPECT_FALSE(bracket);
    drive.Close();
    drive.SetFault(Fault::None);
    OpenBracket();
    ButtonMap();
    drive.Scalar(bracket, 1, {}, 0);
    drive.Close();
    EXPECT_EQ(std::vector<std::string>(drive.Calls().begin(), drive.Calls().end()),
              (std::vector<std::string>{"open", "selector 0", "close", "open", "selector 0",
                                        "selector 2", "selector 1", "close"}));
    drive.ClearCalls();
    EXPECT_TRUE(drive.Calls().empty());
}

TEST_F(BridgeDriver, CallLogDropsOldestBeyondItsLimit) {
    for (size_t i = 0; i < kMaxCallRecords + 5; ++i)
        drive.Open(0);
    drive.Close();
    EXPECT_EQ(drive.Calls().size(), kMaxCallRecords);
    EXPECT_EQ(drive.Calls().back(), "close");
}

// A host that serves a poller for months must not grow with its LED commands.
TEST_F(BridgeDriver, LedRecordDropsOldestBeyondItsLimit) {
    OpenBracket();
    for (size_t i = 0; i < kMaxLedRecords + 5; ++i)
        Led({1, uint8_t(i % 100), 0, 0});
    EXPECT_EQ(drive.LedInputs().size(), kMaxLedRecords);
    EXPECT_EQ(drive.LedInputs().front()[1], 5);
    EXPECT_EQ(drive.LedInputs().back()[1], uint8_t((kMaxLedRecords + 4) % 100));
    EXPECT_EQ(drive.LedCommands(), kMaxLedRecords + 5);
}

TEST_F(BridgeDriver, RefuseOpenFault) {
    drive.SetFault(Fault::RefuseOpen);
    EXPECT_EQ(drive.Open(0), wire::kStatusNotPermitted);
    EXPECT_EQ(drive.Calls().back(), "open");
}

TEST_F(BridgeDriver, FailCommandWritesNothingAndKeepsThePress) {
    OpenBracket();
    drive.Press();
    drive.SetFault(Fault::FailCommand);
    CallResult map = ButtonMap();
    EXPECT_EQ(map.status, wire::kStatusError);
    EXPECT_TRUE(map.bytes.empty());
    CallResult led = Led({1, 50, 1, 1});
    EXPECT_EQ(led.status, wire::kStatusError);
    EXPECT_TRUE(led.bytes.empty());
    EXPECT_EQ(drive.LightValue(), std::nullopt);
    EXPECT_EQ(drive.Shown(), LightsShown::Unset);

    drive.SetFault(Fault::None);
    EXPECT_EQ(ButtonMap().bytes.at(23), 1);
}

TEST_F(BridgeDriver, ShortAnswerIsFourBytesAndKeepsThePress) {
    OpenBracket();
    drive.Press();
    drive.SetFault(Fault::ShortAnswer);
    CallResult map = ButtonMap();
    EXPECT_EQ(map.status, wire::kStatusSuccess);
    EXPECT_EQ(map.bytes, (std::vector<uint8_t>{0, 0, 0, 0}));
    EXPECT_TRUE(drive.PressPending());
    // The LED answer is four bytes anyway and unaffected.
    EXPECT_EQ(Led({1, 3, 0, 0}).bytes.size(), 4u);
    EXPECT_EQ(drive.LightValue(), 3);
}

TEST(BridgeFaults, NamesRoundTrip) {
    for (Fault f : {Fault::None, Fault::RefuseOpen, Fault::RefuseSelector0, Fault::FailCommand,
                    Fault::ShortAnswer, Fault::SlowAnswer}) {
        Fault parsed = Fault::None;
        ASSERT_TRUE(ParseFault(FaultName(f), parsed)) << FaultName(f);
        EXPECT_EQ(parsed, f);
    }
    Fault untouched = Fault::SlowAnswer;
    EXPECT_FALSE(ParseFault("refuse", untouched));
    EXPECT_EQ(untouched, Fault::SlowAnswer);
}

TEST(AttachRequest, ReadsOptionsAndPadsTheBridgeSerial) {
    wire::AttachRequest r;
    r.serial = "ABC";
    r.settleMs = 250;
    r.serialOnAncestor = true;
    r.serialType = static_cast<uint8_t>(wire::SerialType::Data);
    DriveSpec plan;
    std::string why;
    ASSERT_TRUE(DriveSpecFromRequest(r, plan, why)) << why;
    EXPECT_EQ(plan.settleMs, 250u);
    EXPECT_TRUE(plan.serialOnAncestor);
    EXPECT_EQ(plan.serialType, SerialType::Data);
    EXPECT_EQ(plan.bridgeClass, kBridgeClass);
    std::array<uint8_t, 16> expected{'A', 'B', 'C'};
    EXPECT_EQ(plan.bridgeSerial, expected);
}

TEST(AttachRequest, OutOfRangeValuesAreRefusedWithAReason) {
    DriveSpec plan;
    std::string why;
    auto invalid = [&](auto tweak) {
        wire::AttachRequest r;
        r.serial = "A";
        tweak(r);
        why.clear();
        const bool ok = DriveSpecFromRequest(r, plan, why);
        EXPECT_FALSE(why.empty());
        return !ok;
    };
    EXPECT_TRUE(invalid([](wire::AttachRequest& r) { r.serial = ""; }));
    EXPECT_TRUE(invalid([](wire::AttachRequest& r) { r.serial = std::string("A\0B", 3); }));
    EXPECT_TRUE(invalid([](wire::AttachRequest& r) { r.bridgeSerial = {'s', 'h', 'o'}; }));
    EXPECT_TRUE(invalid([](wire::AttachRequest& r) { r.serialType = 3; }));
    EXPECT_TRUE(invalid([](wire::AttachRequest& r) { r.settleMs = 10 * 60 * 1000 + 1; }));
    EXPECT_TRUE(invalid([](wire::AttachRequest& r) {
        r.volumes.push_back(wire::VolumeSpec{"V", 1, 2, false, false});
    }));
}

TEST(AttachRequest, StringSerialsAreWellFormedUtf8AndCutBetweenCharacters) {
    auto read = [](const std::string& serial, wire::SerialType type, DriveSpec& plan) {
        wire::AttachRequest r;
        r.serial = serial;
        r.serialType = static_cast<uint8_t>(type);
        std::string why;
        const bool ok = DriveSpecFromRequest(r, plan, why);
        EXPECT_EQ(ok, why.empty()) << why;
        return ok;
    };
    DriveSpec plan;
    // Stray and cut-off bytes, an overlong NUL, an encoded surrogate, a code point past
    // U+10FFFF: libplist would turn each into different text, so none is a string serial.
    for (const char* bad : {"A\xFF", "A\xFE", "AB\xE2\x82", "\xC0\x80", "\xED\xA0\x80Z",
                            "\xF4\x90\x80\x80", "\x80"}) {
        EXPECT_FALSE(read(bad, wire::SerialType::String, plan)) << bad;
        EXPECT_TRUE(read(bad, wire::SerialType::Data, plan)) << bad;
    }
    ASSERT_TRUE(read("\xC3\x84\xF0\x9F\x98\x80\xEF\xBF\xBF", wire::SerialType::String, plan));

    // Fifteen letters and a two-byte character: the bridge's 16 bytes end before it.
    ASSERT_TRUE(read("ABCDEFGHIJKLMNO\xC3\xA9", wire::SerialType::String, plan));
    std::array<uint8_t, 16> expected{'A', 'B', 'C', 'D', 'E', 'F', 'G', 'H',
                                     'I', 'J', 'K', 'L', 'M', 'N', 'O', 0};
    EXPECT_EQ(plan.bridgeSerial, expected);
    // Sixteen bytes of whole characters are kept whole.
    ASSERT_TRUE(read("ABCDEFGHIJKLMN\xC3\xA9Z", wire::SerialType::String, plan));
    expected[14] = 0xC3;
    expected[15] = 0xA9;
    EXPECT_EQ(plan.bridgeSerial, expected);
}
