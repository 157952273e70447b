// The bridge driver's user client over the wire, as the IOKit stand-in drives it.
#include "LiveHost.h"

#include <chrono>

using namespace tvb;
using namespace tvb::hosttest;

namespace {

using Clock = std::chrono::steady_clock;

class HostUserClient : public LiveHost {
protected:
    void SetUp() override {
        LiveHost::SetUp();
        CtlOk({"attach", "UC", "--bridge-serial-hex", "00414243000000000000000000000000"});
        c = Connect();
        wire::PlistPtr m = Ask(c, "match", {{"class", "com_ostrel_IOTVB"}});
        ASSERT_TRUE(m);
        bridge = Ids(m.get()).at(0);
    }

    uint64_t Open() {
        wire::PlistPtr r = Ask(c, "open", {{"entry", bridge}, {"type", 0}});
        uint64_t id = 0;
        EXPECT_EQ(wire::StatusOf(r.get()), wire::kStatusSuccess);
        EXPECT_TRUE(wire::GetUInt(r.get(), "connection", id));
        return id;
    }

    int32_t Scalar(uint64_t connection, uint64_t selector) {
        wire::PlistPtr req = MakeRequest(
            "scalar", {{"connection", connection}, {"selector", selector}, {"outputCount", 0}});
        wire::SetUIntArray(req.get(), "inputs", {});
        wire::PlistPtr r = c.Request(req.get(), kAnswerMs);
        EXPECT_TRUE(r);
        return wire::StatusOf(r.get());
    }

    wire::PlistPtr Struct(uint64_t connection, uint64_t selector, std::vector<uint8_t> input,
                          uint64_t capacity, int timeoutMs = kAnswerMs) {
        return Ask(c, "struct",
                   {{"connection", connection},
                    {"selector", selector},
                    Field::Bytes("input", input),
                    {"outputCapacity", capacity}},
                   timeoutMs);
    }

    wire::Connection c;
    uint64_t bridge = 0;
};

} // namespace

TEST_F(HostUserClient, BracketedButtonMapReportsThePressOnceWithRawSerialBytes) {
    const uint64_t uc = Open();
    ASSERT_EQ(Scalar(uc, 0), wire::kStatusSuccess);
    CtlOk({"press", "UC"});
    wire::PlistPtr first = Struct(uc, 2, {}, 24);
    ASSERT_EQ(wire::StatusOf(first.get()), wire::kStatusSuccess);
    const std::vector<uint8_t> bytes = Bytes(first.get(), "output");
    ASSERT_EQ(bytes.size(), 24u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 4, bytes.begin() + 8),
              (std::vector<uint8_t>{0, 'A', 'B', 'C'}));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 20, bytes.end()),
              (std::vector<uint8_t>{0, 0, 0, 1}));
    wire::PlistPtr second = Struct(uc, 2, {}, 24);
    EXPECT_EQ(Bytes(second.get(), "output").at(23), 0);
    EXPECT_EQ(Scalar(uc, 1), wire::kStatusSuccess);
    Ask(c, "close", {{"connection", uc}});
    EXPECT_EQ(CtlOk({"calls", "UC"}),
              "open\nselector 0\nselector 2\nselector 2\nselector 1\nclose\n");
    CtlOk({"calls", "--clear", "UC"});
    EXPECT_EQ(CtlOk({"calls", "UC"}), "");
}

TEST_F(HostUserClient, LedCommandsShowUpInLights) {
    EXPECT_EQ(CtlOk({"lights", "UC"}), "value=none shown=unset commands=0\n");
    const uint64_t uc = Open();
    Scalar(uc, 0);
    wire::PlistPtr r = Struct(uc, 3, {1, 42, 0, 0}, 4);
    EXPECT_EQ(wire::StatusOf(r.get()), wire::kStatusSuccess);
    EXPECT_EQ(Bytes(r.get(), "output").size(), 4u);
    EXPECT_EQ(CtlOk({"lights", "UC"}), "value=42 shown=unset commands=1\n");
    Struct(uc, 3, {0, 0, 1, 0}, 4);
    EXPECT_EQ(CtlOk({"lights", "disk2"}), "value=42 shown=off commands=2\n");
    EXPECT_EQ(CtlOk({"leds", "UC"}), "01 2a 00 00\n00 00 01 00\n");
    EXPECT_EQ(CtlOk({"leds", "--json", "UC"}), "[[1,42,0,0],[0,0,1,0]]\n");
    EXPECT_EQ(CtlOk({"calls", "--json", "UC"}),
              "[\"open\",\"selector 0\",\"selector 3\",\"selector 3\"]\n");
}

TEST_F(HostUserClient, OpenChecksTypeEntryAndFault) {
    wire::PlistPtr wrongType = Ask(c, "open", {{"entry", bridge}, {"type", 1}});
    EXPECT_EQ(wire::StatusOf(wrongType.get()), wire::kStatusBadArgument);
    wire::PlistPtr storage = Ask(c, "match", {{"class", "IOBlockStorageServices"}});
    wire::PlistPtr notBridge = Ask(c, "open", {{"entry", Ids(storage.get()).at(0)}, {"type", 0}});
    EXPECT_EQ(wire::StatusOf(notBridge.get()), wire::kStatusUnsupported);
    CtlOk({"fault", "UC", "refuse-open"});
    wire::PlistPtr refused = Ask(c, "open", {{"entry", bridge}, {"type", 0}});
    EXPECT_EQ(wire::StatusOf(refused.get()), wire::kStatusNotPermitted);
    EXPECT_EQ(CtlOk({"calls", "UC"}), "open\nopen\n");
}

TEST_F(HostUserClient, RefusedSelectorZeroAndFailedCommandKeepTheirBrackets) {
    CtlOk({"fault", "UC", "refuse-selector0"});
    uint64_t uc = Open();
    EXPECT_EQ(Scalar(uc, 0), wire::kStatusNotPermitted);
    EXPECT_EQ(wire::StatusOf(Struct(uc, 2, {}, 24).get()), wire::kStatusNotOpen);
    Ask(c, "close", {{"connection", uc}});

    CtlOk({"fault", "UC", "fail-command"});
    CtlOk({"press", "UC"});
    uc = Open();
    EXPECT_EQ(Scalar(uc, 0), wire::kStatusSuccess);
    wire::PlistPtr failed = Struct(uc, 2, {}, 24);
    EXPECT_EQ(wire::StatusOf(failed.get()), wire::kStatusError);
    EXPECT_TRUE(Bytes(failed.get(), "output").empty());
    EXPECT_EQ(Scalar(uc, 1), wire::kStatusSuccess);
    Ask(c, "close", {{"connection", uc}});
    EXPECT_EQ(CtlOk({"calls", "UC"}), "open\nselector 0\nselector 2\nclose\n"
                                      "open\nselector 0\nselector 2\nselector 1\nclose\n");

    // The press was never reported, so it is still there once the fault is lifted.
    CtlOk({"fault", "UC", "none"});
    uc = Open();
    Scalar(uc, 0);
    EXPECT_EQ(Bytes(Struct(uc, 2, {}, 24).get(), "output").at(23), 1);
}

TEST_F(HostUserClient, ShortAnswerSendsOnlyTheStatusWord) {
    CtlOk({"fault", "UC", "short-answer"});
    CtlOk({"press", "UC"});
    const uint64_t uc = Open();
    Scalar(uc, 0);
    wire::PlistPtr r = Struct(uc, 2, {}, 24);
    EXPECT_EQ(wire::StatusOf(r.get()), wire::kStatusSuccess);
    EXPECT_EQ(Bytes(r.get(), "output"), (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST_F(HostUserClient, SlowAnswerOutlastsTheClientTimeOutButArrives) {
    CtlOk({"fault", "UC", "slow-answer"});
    const uint64_t uc = Open();
    Scalar(uc, 0);
    std::string error;
    wire::PlistPtr gaveUp = Try(
        c, "struct",
        {{"connection", uc}, {"selector", 2}, Field::Bytes("input", {}), {"outputCapacity", 24}},
        1000, &error); // the stand-in's one-second limit
    EXPECT_FALSE(gaveUp);
    EXPECT_EQ(error, "the device host did not answer in time");
    // The host went on serving meanwhile.
    EXPECT_TRUE(Ask(c, "ping", {}));

    const auto start = Clock::now();
    wire::PlistPtr patient = Struct(uc, 2, {}, 24, 10000);
    ASSERT_TRUE(patient);
    EXPECT_EQ(wire::StatusOf(patient.get()), wire::kStatusSuccess);
    EXPECT_EQ(Bytes(patient.get(), "output").size(), 24u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2500));
}

TEST_F(HostUserClient, DetachedDriveFailsItsConnectionCleanly) {
    const uint64_t uc = Open();
    Scalar(uc, 0);
    CtlOk({"detach", "UC"});
    EXPECT_EQ(Scalar(uc, 2), wire::kStatusNoDevice);
    EXPECT_EQ(wire::StatusOf(Struct(uc, 2, {}, 24).get()), wire::kStatusNoDevice);
    EXPECT_EQ(wire::StatusOf(Ask(c, "close", {{"connection", uc}}).get()), wire::kStatusSuccess);
    EXPECT_EQ(wire::StatusOf(Ask(c, "close", {{"connection", uc}}).get()), wire::kStatusNotFound);
}

TEST_F(HostUserClient, ConnectionsBelongToTheirPeer) {
    const uint64_t uc = Open();
    wire::Connection stranger = Connect();
    wire::PlistPtr req =
        MakeRequest("scalar", {{"connection", uc}, {"selector", 0}, {"outputCount", 0}});
    wire::SetUIntArray(req.get(), "inputs", {});
    wire::PlistPtr r = stranger.Request(req.get(), kAnswerMs);
    ASSERT_TRUE(r);
    EXPECT_EQ(wire::StatusOf(r.get()), wire::kStatusNotFound);
    EXPECT_EQ(wire::StatusOf(Ask(stranger, "close", {{"connection", uc}}).get()),
              wire::kStatusNotFound);
}
