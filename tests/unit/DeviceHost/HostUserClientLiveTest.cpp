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
        bridge = Ids(Ask(c, MatchClass("com_ostrel_IOTVB")).entries).at(0);
    }

    int32_t OpenStatus(uint64_t entry, uint32_t type, uint64_t* id = nullptr) {
        wire::OpenRequest request;
        request.entry = entry;
        request.type = type;
        wire::OpenAnswer answer;
        const int32_t status = Call(c, request, answer);
        if (id != nullptr)
            *id = answer.connection;
        return status;
    }

    uint64_t Open() {
        uint64_t id = 0;
        EXPECT_EQ(OpenStatus(bridge, 0, &id), wire::kStatusSuccess);
        return id;
    }

    static wire::ScalarRequest ScalarCall(uint64_t connection, uint32_t selector) {
        wire::ScalarRequest request;
        request.connection = connection;
        request.selector = selector;
        return request;
    }

    int32_t Scalar(uint64_t connection, uint32_t selector) {
        return StatusOf(c, ScalarCall(connection, selector));
    }

    static wire::StructRequest StructCall(uint64_t connection, uint32_t selector,
                                          std::vector<uint8_t> input, uint32_t capacity) {
        wire::StructRequest request;
        request.connection = connection;
        request.selector = selector;
        request.input.size = static_cast<uint32_t>(input.size());
        std::copy(input.begin(), input.end(), request.input.bytes.begin());
        request.outputCapacity = capacity;
        return request;
    }

    // The status, and the output bytes in `output`.
    int32_t Struct(uint64_t connection, uint32_t selector, std::vector<uint8_t> input,
                   uint32_t capacity, std::vector<uint8_t>* output = nullptr,
                   int timeoutMs = kAnswerMs) {
        wire::StructAnswer answer;
        const int32_t status = Call(c, StructCall(connection, selector, std::move(input), capacity),
                                    answer, timeoutMs);
        if (output != nullptr)
            output->assign(answer.output.bytes.begin(),
                           answer.output.bytes.begin() + answer.output.size);
        return status;
    }

    std::vector<uint8_t> Output(uint64_t connection, uint32_t selector, std::vector<uint8_t> input,
                                uint32_t capacity) {
        std::vector<uint8_t> bytes;
        Struct(connection, selector, std::move(input), capacity, &bytes);
        return bytes;
    }

    int32_t Close(wire::Connection& on, uint64_t connection) {
        wire::CloseRequest request;
        request.connection = connection;
        return StatusOf(on, request);
    }

    wire::Connection c;
    uint64_t bridge = 0;
};

} // namespace

TEST_F(HostUserClient, BracketedButtonMapReportsThePressOnceWithRawSerialBytes) {
    const uint64_t uc = Open();
    ASSERT_EQ(Scalar(uc, 0), wire::kStatusSuccess);
    CtlOk({"press", "UC"});
    std::vector<uint8_t> bytes;
    ASSERT_EQ(Struct(uc, 2, {}, 24, &bytes), wire::kStatusSuccess);
    ASSERT_EQ(bytes.size(), 24u);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 4, bytes.begin() + 8),
              (std::vector<uint8_t>{0, 'A', 'B', 'C'}));
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 20, bytes.end()),
              (std::vector<uint8_t>{0, 0, 0, 1}));
    EXPECT_EQ(Output(uc, 2, {}, 24).at(23), 0);
    EXPECT_EQ(Scalar(uc, 1), wire::kStatusSuccess);
    EXPECT_EQ(Close(c, uc), wire::kStatusSuccess);
    EXPECT_EQ(CtlOk({"calls", "UC"}),
              "open\nselector 0\nselector 2\nselector 2\nselector 1\nclose\n");
    CtlOk({"calls", "--clear", "UC"});
    EXPECT_EQ(CtlOk({"calls", "UC"}), "");
}

TEST_F(HostUserClient, LedCommandsShowUpInLights) {
    EXPECT_EQ(CtlOk({"lights", "UC"}), "value=none shown=unset commands=0\n");
    const uint64_t uc = Open();
    Scalar(uc, 0);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(Struct(uc, 3, {1, 42, 0, 0}, 4, &bytes), wire::kStatusSuccess);
    EXPECT_EQ(bytes.size(), 4u);
    EXPECT_EQ(CtlOk({"lights", "UC"}), "value=42 shown=unset commands=1\n");
    Struct(uc, 3, {0, 0, 1, 0}, 4);
    EXPECT_EQ(CtlOk({"lights", "disk2"}), "value=42 shown=off commands=2\n");
    EXPECT_EQ(CtlOk({"leds", "UC"}), "01 2a 00 00\n00 00 01 00\n");
    EXPECT_EQ(CtlOk({"leds", "--json", "UC"}), "[[1,42,0,0],[0,0,1,0]]\n");
    EXPECT_EQ(CtlOk({"calls", "--json", "UC"}),
              "[\"open\",\"selector 0\",\"selector 3\",\"selector 3\"]\n");
}

TEST_F(HostUserClient, OpenChecksTypeEntryAndFault) {
    EXPECT_EQ(OpenStatus(bridge, 1), wire::kStatusBadArgument);
    const uint64_t storage = Ids(Ask(c, MatchClass("IOBlockStorageServices")).entries).at(0);
    EXPECT_EQ(OpenStatus(storage, 0), wire::kStatusUnsupported);
    CtlOk({"fault", "UC", "refuse-open"});
    EXPECT_EQ(OpenStatus(bridge, 0), wire::kStatusNotPermitted);
    EXPECT_EQ(CtlOk({"calls", "UC"}), "open\nopen\n");
}

TEST_F(HostUserClient, RefusedSelectorZeroAndFailedCommandKeepTheirBrackets) {
    CtlOk({"fault", "UC", "refuse-selector0"});
    uint64_t uc = Open();
    EXPECT_EQ(Scalar(uc, 0), wire::kStatusNotPermitted);
    EXPECT_EQ(Struct(uc, 2, {}, 24), wire::kStatusNotOpen);
    Close(c, uc);

    CtlOk({"fault", "UC", "fail-command"});
    CtlOk({"press", "UC"});
    uc = Open();
    EXPECT_EQ(Scalar(uc, 0), wire::kStatusSuccess);
    std::vector<uint8_t> bytes{9};
    EXPECT_EQ(Struct(uc, 2, {}, 24, &bytes), wire::kStatusError);
    EXPECT_TRUE(bytes.empty());
    EXPECT_EQ(Scalar(uc, 1), wire::kStatusSuccess);
    Close(c, uc);
    EXPECT_EQ(CtlOk({"calls", "UC"}), "open\nselector 0\nselector 2\nclose\n"
                                      "open\nselector 0\nselector 2\nselector 1\nclose\n");

    // The press was never reported, so it is still there once the fault is lifted.
    CtlOk({"fault", "UC", "none"});
    uc = Open();
    Scalar(uc, 0);
    EXPECT_EQ(Output(uc, 2, {}, 24).at(23), 1);
}

TEST_F(HostUserClient, ShortAnswerSendsOnlyTheStatusWord) {
    CtlOk({"fault", "UC", "short-answer"});
    CtlOk({"press", "UC"});
    const uint64_t uc = Open();
    Scalar(uc, 0);
    std::vector<uint8_t> bytes;
    EXPECT_EQ(Struct(uc, 2, {}, 24, &bytes), wire::kStatusSuccess);
    EXPECT_EQ(bytes, (std::vector<uint8_t>{0, 0, 0, 0}));
}

TEST_F(HostUserClient, SlowAnswerOutlastsTheClientTimeOutButArrives) {
    CtlOk({"fault", "UC", "slow-answer"});
    const uint64_t uc = Open();
    Scalar(uc, 0);
    wire::StructAnswer answer;
    const wire::CallStatus gaveUp =
        c.Call(StructCall(uc, 2, {}, 24), answer, 1000); // the stand-in's one-second limit
    EXPECT_EQ(gaveUp.transport, wire::CallStatus::TimedOut);
    EXPECT_EQ(gaveUp.error, "the device host did not answer in time");
    // The host went on serving meanwhile.
    Ask(c, wire::HelloRequest{});

    const auto start = Clock::now();
    std::vector<uint8_t> bytes;
    EXPECT_EQ(Struct(uc, 2, {}, 24, &bytes, 10000), wire::kStatusSuccess);
    EXPECT_EQ(bytes.size(), 24u);
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(2500));
}

TEST_F(HostUserClient, DetachedDriveFailsItsConnectionCleanly) {
    const uint64_t uc = Open();
    Scalar(uc, 0);
    CtlOk({"detach", "UC"});
    EXPECT_EQ(Scalar(uc, 2), wire::kStatusNoDevice);
    EXPECT_EQ(Struct(uc, 2, {}, 24), wire::kStatusNoDevice);
    EXPECT_EQ(Close(c, uc), wire::kStatusSuccess);
    EXPECT_EQ(Close(c, uc), wire::kStatusNotFound);
}

TEST_F(HostUserClient, ConnectionsBelongToTheirPeer) {
    const uint64_t uc = Open();
    wire::Connection stranger = Connect();
    EXPECT_EQ(StatusOf(stranger, ScalarCall(uc, 0)), wire::kStatusNotFound);
    EXPECT_EQ(Close(stranger, uc), wire::kStatusNotFound);
}
