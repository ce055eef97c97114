// The channel layer as Dart sees it: the custom types on the wire, the value rules applied when
// reading, and the host and Flutter API envelopes, over an in-memory messenger.
#include "plugin/host_api.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace lumet_windows_vpn {
namespace {

using ::flutter::CustomEncodableValue;
using ::flutter::EncodableList;
using ::flutter::EncodableValue;
using Bytes = std::vector<uint8_t>;

const ::flutter::StandardMessageCodec& Codec() {
    return LumetWindowsVpnHostApi::GetCodec();
}

Bytes Encode(const EncodableValue& value) {
    return *Codec().EncodeMessage(value);
}

EncodableValue Decode(const Bytes& bytes) {
    return *Codec().DecodeMessage(bytes.data(), bytes.size());
}

template <typename T>
const T* As(const EncodableValue& value) {
    const auto* custom = std::get_if<CustomEncodableValue>(&value);
    return custom ? std::any_cast<T>(&static_cast<const std::any&>(*custom)) : nullptr;
}
// Not for temporaries: the pointer would dangle.
template <typename T>
const T* As(EncodableValue&& value) = delete;

// The enum a message decodes to, if it is one of type T.
template <typename T>
std::optional<int> EnumOf(const Bytes& bytes) {
    const EncodableValue value = Decode(bytes);
    const T* v = As<T>(value);
    return v ? std::optional<int>(static_cast<int>(*v)) : std::nullopt;
}

LumetVersionInfo SampleVersion() {
    return LumetVersionInfo(
        6, "0.1.0-w6a", EncodableList{EncodableValue("control-plane"), EncodableValue("health")});
}

struct CustomCase {
    const char* name;
    uint8_t type_byte;
    EncodableValue value;
};

std::vector<CustomCase> AllCustomTypes() {
    return {
        {"LumetComponentState", 129, CustomEncodableValue(LumetComponentState::kAbsent)},
        {"LumetNativeErrorKind", 130, CustomEncodableValue(LumetNativeErrorKind::kConnectTimeout)},
        {"LumetTriState", 131, CustomEncodableValue(LumetTriState::kNo)},
        {"LumetOpenVpnState", 132, CustomEncodableValue(LumetOpenVpnState::kExiting)},
        {"LumetOpenVpnErrorKind", 133,
         CustomEncodableValue(LumetOpenVpnErrorKind::kManagementAuthRejected)},
        {"LumetVersionInfo", 134, CustomEncodableValue(SampleVersion())},
        {"LumetNativeHealth", 135,
         CustomEncodableValue(LumetNativeHealth(LumetComponentState::kRunning, 6, "0.1.0-w6a",
                                                4294967295, true, false,
                                                LumetNativeErrorKind::kVersionMismatch))},
        {"LumetAgentHealth", 136,
         CustomEncodableValue(LumetAgentHealth(LumetComponentState::kRunning, SampleVersion(), 1,
                                               "4242-0x0000BEEF", true))},
        {"LumetServiceHealth", 137,
         CustomEncodableValue(LumetServiceHealth(LumetComponentState::kRunning, SampleVersion(),
                                                 "17-0x00000001", -1))},
        {"LumetWireGuardStatus", 138,
         CustomEncodableValue(LumetWireGuardStatus(LumetComponentState::kPending, true,
                                                   std::numeric_limits<int64_t>::max(), 0,
                                                   1700000000123, 3))},
        {"LumetOpenVpnCapabilities", 139,
         CustomEncodableValue(LumetOpenVpnCapabilities(
             LumetTriState::kYes, "2.6.8", LumetTriState::kYes, LumetTriState::kNo,
             LumetTriState::kUnknown, LumetTriState::kUnknown))},
        {"LumetOpenVpnStatus", 140,
         CustomEncodableValue(LumetOpenVpnStatus(LumetOpenVpnState::kConnected, true, 10, 20,
                                                 1700000000000, LumetOpenVpnErrorKind::kNone, 3))},
        {"LumetNativeEvent", 141,
         CustomEncodableValue(LumetNativeEvent("agentConnected", "", 1700000000456))},
    };
}

// Every custom type is written with its own type byte and reads back as the same type, whose
// second encoding is byte for byte the first.
TEST(PigeonCodecTest, EveryCustomTypeRoundTrips) {
    for (const CustomCase& c : AllCustomTypes()) {
        SCOPED_TRACE(c.name);
        const Bytes bytes = Encode(c.value);
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(bytes[0], c.type_byte);
        const EncodableValue decoded = Decode(bytes);
        ASSERT_TRUE(std::holds_alternative<CustomEncodableValue>(decoded));
        EXPECT_EQ(Encode(decoded), bytes);
        // Inside a list too, where values follow one another without padding.
        const EncodableValue list(EncodableList{EncodableValue("x"), c.value, EncodableValue(7)});
        EXPECT_EQ(Encode(Decode(Encode(list))), Encode(list));
    }
}

void AppendInt64(Bytes& out, int64_t v) {
    uint8_t raw[8];
    std::memcpy(raw, &v, 8);
    out.push_back(4);
    out.insert(out.end(), raw, raw + 8);
}

// The plugin's own health as Dart receives it: type byte 135, then a seven-element list whose
// first element is the component state written as type byte 129 with the value 2.
TEST(PigeonCodecTest, NativeHealthBytes) {
    const EncodableValue health =
        CustomEncodableValue(LumetNativeHealth(LumetComponentState::kRunning, 6, "0.1.0-w6a", 1,
                                               true, false, LumetNativeErrorKind::kNone));
    Bytes expected = {135, 12, 7, 129, 3, 2, 0, 0, 0};
    AppendInt64(expected, 6);
    expected.push_back(7);
    expected.push_back(9);
    for (char ch : std::string("0.1.0-w6a")) {
        expected.push_back(static_cast<uint8_t>(ch));
    }
    AppendInt64(expected, 1);
    expected.push_back(1);  // true
    expected.push_back(2);  // false
    for (uint8_t b : {130, 3, 0, 0, 0, 0}) {
        expected.push_back(b);
    }
    EXPECT_EQ(Encode(health), expected);
}

// Enum numbers that name no value read as each enum's fallback; a null body reads as null, and a
// body of another type as null rather than as a wrong value.
TEST(PigeonCodecTest, EnumValueRulesWhenReading) {
    struct Case {
        Bytes bytes;
        int expected;
    };
    auto int32 = [](uint8_t type, int32_t v) {
        Bytes b = {type, 3, 0, 0, 0, 0};
        std::memcpy(&b[2], &v, 4);
        return b;
    };
    const Case component[] = {{int32(129, 0), 0},
                              {int32(129, 1), 1},
                              {int32(129, 5), 5},
                              {int32(129, 6), 0},
                              {int32(129, -1), 0}};
    for (const Case& c : component) {
        EXPECT_EQ(EnumOf<LumetComponentState>(c.bytes), c.expected);
    }
    const Case tri[] = {{int32(131, 1), 1}, {int32(131, 2), 2}, {int32(131, 3), 0}};
    for (const Case& c : tri) {
        EXPECT_EQ(EnumOf<LumetTriState>(c.bytes), c.expected);
    }
    const Case state[] = {{int32(132, 12), 12}, {int32(132, 13), 0}, {int32(132, 200), 0}};
    for (const Case& c : state) {
        EXPECT_EQ(EnumOf<LumetOpenVpnState>(c.bytes), c.expected);
    }
    const Case error[] = {{int32(133, 16), 16}, {int32(133, 17), 11}, {int32(133, 99), 11}};
    for (const Case& c : error) {
        EXPECT_EQ(EnumOf<LumetOpenVpnErrorKind>(c.bytes), c.expected);
    }
    EXPECT_EQ(EnumOf<LumetNativeErrorKind>(int32(130, 9)), 5);

    // Dart's own codec writes an int64 for the same value.
    EXPECT_EQ(EnumOf<LumetOpenVpnState>({132, 4, 10, 0, 0, 0, 0, 0, 0, 0}), 10);

    EXPECT_TRUE(Decode({129, 0}).IsNull());
    EXPECT_TRUE(Decode({133, 7, 1, 'x'}).IsNull());
}

// Type bytes outside 129..141 belong to the standard codec, which reads an unknown one as null.
TEST(PigeonCodecTest, OtherTypeBytesFallBackToTheStandardCodec) {
    EXPECT_TRUE(Decode({128, 3, 1, 0, 0, 0}).IsNull());
    EXPECT_TRUE(Decode({142, 3, 1, 0, 0, 0}).IsNull());
    EXPECT_EQ(Decode({7, 2, 'o', 'k'}), EncodableValue("ok"));
}

// A class body must be a list holding the class's fields with their types; anything else reads
// as null instead of throwing on the platform thread.
TEST(PigeonCodecTest, MalformedClassBodiesReadAsNull) {
    const Bytes event_ok = Encode(CustomEncodableValue(LumetNativeEvent("k", "d", 5)));
    ASSERT_FALSE(Decode(event_ok).IsNull());

    const std::vector<std::pair<const char*, EncodableValue>> bodies = {
        {"not a list", EncodableValue("k")},
        {"too short", EncodableValue(EncodableList{EncodableValue("k"), EncodableValue("d")})},
        {"wrong field type",
         EncodableValue(EncodableList{EncodableValue("k"), EncodableValue(1), EncodableValue(5)})},
        {"null field",
         EncodableValue(EncodableList{EncodableValue("k"), EncodableValue("d"), EncodableValue()})},
    };
    for (const auto& [name, body] : bodies) {
        SCOPED_TRACE(name);
        Bytes bytes = Encode(body);
        bytes.insert(bytes.begin(), 141);
        EXPECT_TRUE(Decode(bytes).IsNull());
    }
    // An enum field that is not the enum (here a plain int) makes the class unreadable.
    Bytes wg = Encode(EncodableValue(EncodableList{
        EncodableValue(2), EncodableValue(true), EncodableValue(int64_t{1}),
        EncodableValue(int64_t{2}), EncodableValue(int64_t{3}), EncodableValue(int64_t{0})}));
    wg.insert(wg.begin(), 138);
    EXPECT_TRUE(Decode(wg).IsNull());
}

// Nested classes keep their fields; int fields sent as int32 and extra trailing fields are
// accepted.
TEST(PigeonCodecTest, NestedClassesAndLenientFields) {
    const EncodableValue agent = CustomEncodableValue(
        LumetAgentHealth(LumetComponentState::kRunning, SampleVersion(), 3, "g", true));
    const EncodableValue decoded = Decode(Encode(EncodableValue(EncodableList{agent})));
    const auto& list = std::get<EncodableList>(decoded);
    const auto* health = As<LumetAgentHealth>(list.at(0));
    ASSERT_NE(health, nullptr);
    EXPECT_EQ(health->version_info().protocol(), 6);
    EXPECT_EQ(health->version_info().capabilities().at(1), EncodableValue("health"));
    EXPECT_EQ(health->session_id(), 3);
    EXPECT_TRUE(health->service_link_up());

    Bytes event =
        Encode(EncodableValue(EncodableList{EncodableValue("k"), EncodableValue("d"),
                                            EncodableValue(int32_t{5}), EncodableValue("extra")}));
    event.insert(event.begin(), 141);
    const EncodableValue decoded_event = Decode(event);
    const auto* e = As<LumetNativeEvent>(decoded_event);
    ASSERT_NE(e, nullptr);
    EXPECT_EQ(e->timestamp_ms(), 5);
}

// An in-memory messenger: "Dart" sends through DartSend; the plugin's sends go to `dart_answer`.
class FakeMessenger : public ::flutter::BinaryMessenger {
  public:
    void Send(const std::string& channel, const uint8_t* message, size_t message_size,
              ::flutter::BinaryReply reply) const override {
        sent_channel = channel;
        sent_message.assign(message, message + message_size);
        if (reply) {
            if (dart_answer) {
                reply(dart_answer->data(), dart_answer->size());
            } else {
                reply(nullptr, 0);
            }
        }
    }
    void SetMessageHandler(const std::string& channel,
                           ::flutter::BinaryMessageHandler handler) override {
        if (handler) {
            handlers[channel] = std::move(handler);
        } else {
            handlers.erase(channel);
        }
    }

    // Sends `message` to the plugin; the answers are collected in `replies`.
    void DartSend(const std::string& method, const EncodableValue& message) {
        const std::string channel = std::string(kHostApiChannelPrefix) + method;
        ASSERT_TRUE(handlers.count(channel)) << channel;
        const Bytes bytes = Encode(message);
        handlers[channel](bytes.data(), bytes.size(), [this](const uint8_t* data, size_t size) {
            replies.push_back(Decode(Bytes(data, data + size)));
        });
    }

    std::map<std::string, ::flutter::BinaryMessageHandler> handlers;
    std::vector<EncodableValue> replies;
    mutable std::string sent_channel;
    mutable Bytes sent_message;
    std::optional<Bytes> dart_answer;
};

// Records calls; answers as told, or keeps the callback for a later answer.
class FakeApi : public LumetWindowsVpnHostApi {
  public:
    void IsAvailable(std::function<void(ErrorOr<bool>)> result) override { result(true); }
    void GetHealth(std::function<void(ErrorOr<LumetNativeHealth>)> result) override {
        result(FlutterError("AGENT_UNAVAILABLE", "", EncodableValue()));
    }
    void GetAgentHealth(std::function<void(ErrorOr<LumetAgentHealth>)>) override {
        throw std::runtime_error("worker thread could not be started");
    }
    void GetServiceHealth(std::function<void(ErrorOr<LumetServiceHealth>)> result) override {
        held_service = std::move(result);
    }
    void StartEvents(std::function<void(std::optional<FlutterError>)> result) override {
        result(std::nullopt);
    }
    void StartWireGuard(const std::string& config,
                        std::function<void(ErrorOr<LumetWireGuardStatus>)> result) override {
        calls.push_back("startWireGuard:" + config);
        result(LumetWireGuardStatus(LumetComponentState::kRunning, true, 1, 2, 3, 0));
    }
    void StopWireGuard(std::function<void(ErrorOr<LumetWireGuardStatus>)>) override {
        // Not a standard exception: must not unwind into the embedder either.
        throw 42;
    }
    void WireGuardStatus(std::function<void(ErrorOr<LumetWireGuardStatus>)>) override {}
    void GetOpenVpnCapabilities(std::function<void(ErrorOr<LumetOpenVpnCapabilities>)>) override {}
    void StartOpenVpn(const std::string& config, const std::string& username,
                      const std::string& password,
                      std::function<void(ErrorOr<LumetOpenVpnStatus>)> result) override {
        calls.push_back("startOpenVpn:" + config + "/" + username + "/" + password);
        result(FlutterError("INTERNAL", ""));
    }
    void StopOpenVpn(std::function<void(ErrorOr<LumetOpenVpnStatus>)>) override {}
    void GetOpenVpnStatus(std::function<void(ErrorOr<LumetOpenVpnStatus>)>) override {}

    std::vector<std::string> calls;
    std::function<void(ErrorOr<LumetServiceHealth>)> held_service;
};

EncodableValue Failure(const std::string& code, const std::string& message) {
    return EncodableValue(
        EncodableList{EncodableValue(code), EncodableValue(message), EncodableValue()});
}

EncodableValue Args(std::initializer_list<EncodableValue> values) {
    return EncodableValue(EncodableList(values));
}

class HostApiChannelTest : public testing::Test {
  protected:
    void SetUp() override { LumetWindowsVpnHostApi::SetUp(&messenger_, &api_); }

    FakeMessenger messenger_;
    FakeApi api_;
};

TEST_F(HostApiChannelTest, TwelveChannelsAreSetUpAndRemoved) {
    const char* methods[] = {"isAvailable",      "getHealth",       "getAgentHealth",
                             "getServiceHealth", "startEvents",     "startWireGuard",
                             "stopWireGuard",    "wireGuardStatus", "getOpenVpnCapabilities",
                             "startOpenVpn",     "stopOpenVpn",     "getOpenVpnStatus"};
    EXPECT_EQ(messenger_.handlers.size(), 12u);
    for (const char* method : methods) {
        EXPECT_TRUE(messenger_.handlers.count(std::string(kHostApiChannelPrefix) + method))
            << method;
    }
    LumetWindowsVpnHostApi::SetUp(&messenger_, nullptr);
    EXPECT_TRUE(messenger_.handlers.empty());
}

// Null arguments are answered at once with the first null one's text, without calling the
// plugin.
TEST_F(HostApiChannelTest, NullArgumentsAreAnsweredWithTheFirstNullOne) {
    const EncodableValue n;
    const EncodableValue s("x");
    struct Case {
        const char* method;
        EncodableValue args;
        const char* code;
    };
    const Case cases[] = {
        {"startWireGuard", Args({n}), "config_arg unexpectedly null."},
        {"startOpenVpn", Args({n, n, n}), "config_arg unexpectedly null."},
        {"startOpenVpn", Args({s, n, n}), "username_arg unexpectedly null."},
        {"startOpenVpn", Args({s, s, n}), "password_arg unexpectedly null."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.code);
        messenger_.replies.clear();
        messenger_.DartSend(c.method, c.args);
        ASSERT_EQ(messenger_.replies.size(), 1u);
        EXPECT_EQ(messenger_.replies[0], Failure(c.code, "Error"));
    }
    EXPECT_TRUE(api_.calls.empty());
}

TEST_F(HostApiChannelTest, SuccessAndErrorEnvelopes) {
    messenger_.DartSend("isAvailable", EncodableValue());
    messenger_.DartSend("startEvents", EncodableValue());
    messenger_.DartSend("getHealth", EncodableValue());
    messenger_.DartSend("startWireGuard", Args({EncodableValue("[Interface]")}));
    messenger_.DartSend("startOpenVpn",
                        Args({EncodableValue("client"), EncodableValue("u"), EncodableValue("p")}));
    ASSERT_EQ(messenger_.replies.size(), 5u);
    EXPECT_EQ(messenger_.replies[0], EncodableValue(EncodableList{EncodableValue(true)}));
    EXPECT_EQ(messenger_.replies[1], EncodableValue(EncodableList{EncodableValue()}));
    EXPECT_EQ(messenger_.replies[2], Failure("AGENT_UNAVAILABLE", ""));
    const auto& wg = std::get<EncodableList>(messenger_.replies[3]);
    ASSERT_EQ(wg.size(), 1u);
    const auto* status = As<LumetWireGuardStatus>(wg[0]);
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->tx_bytes(), 2);
    EXPECT_EQ(messenger_.replies[4], Failure("INTERNAL", ""));
    EXPECT_EQ(api_.calls,
              (std::vector<std::string>{"startWireGuard:[Interface]", "startOpenVpn:client/u/p"}));
}

// A method that throws (its worker could not start) is answered with the exception's text as the
// code; a message that is not an argument list is answered the same way instead of crashing.
TEST_F(HostApiChannelTest, ExceptionsAreAnsweredWithTheirText) {
    messenger_.DartSend("getAgentHealth", EncodableValue());
    ASSERT_EQ(messenger_.replies.size(), 1u);
    EXPECT_EQ(messenger_.replies[0], Failure("worker thread could not be started", "Error"));
    messenger_.DartSend("stopWireGuard", EncodableValue());
    ASSERT_EQ(messenger_.replies.size(), 2u);
    EXPECT_EQ(messenger_.replies[1], Failure("unknown exception", "Error"));
    messenger_.replies.erase(messenger_.replies.begin() + 1);

    messenger_.DartSend("startWireGuard", EncodableValue("not a list"));
    messenger_.DartSend("startOpenVpn", Args({EncodableValue("only one")}));
    ASSERT_EQ(messenger_.replies.size(), 3u);
    for (size_t i = 1; i < 3; ++i) {
        const auto& failure = std::get<EncodableList>(messenger_.replies[i]);
        ASSERT_EQ(failure.size(), 3u);
        EXPECT_EQ(failure[1], EncodableValue("Error"));
    }
    EXPECT_TRUE(api_.calls.empty());
}

// The answer may come long after the handler returned.
TEST_F(HostApiChannelTest, LateAnswerArrives) {
    messenger_.DartSend("getServiceHealth", EncodableValue());
    EXPECT_TRUE(messenger_.replies.empty());
    ASSERT_TRUE(api_.held_service);
    api_.held_service(FlutterError("SERVICE_UNAVAILABLE", ""));
    ASSERT_EQ(messenger_.replies.size(), 1u);
    EXPECT_EQ(messenger_.replies[0], Failure("SERVICE_UNAVAILABLE", ""));
}

// What Dart answers to onNativeEvent, and what the plugin's callbacks make of it.
TEST(FlutterApiTest, OnNativeEventReplies) {
    struct Case {
        const char* name;
        std::optional<Bytes> answer;
        bool success;
        std::string code;
        std::string message;
    };
    const std::string channel_error =
        std::string("Unable to establish connection on channel: '") + kOnNativeEventChannel + "'.";
    const Case cases[] = {
        {"empty list", Encode(EncodableValue(EncodableList{})), true, "", ""},
        {"one element", Encode(EncodableValue(EncodableList{EncodableValue()})), true, "", ""},
        {"error list", Encode(Failure("bad", "worse")), false, "bad", "worse"},
        {"null message",
         Encode(EncodableValue(
             EncodableList{EncodableValue("bad"), EncodableValue(), EncodableValue()})),
         false, "bad", ""},
        {"not a list", Encode(EncodableValue("ok")), false, "channel-error", channel_error},
        {"no answer", std::nullopt, false, "channel-error", channel_error},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        FakeMessenger messenger;
        messenger.dart_answer = c.answer;
        LumetWindowsVpnFlutterApi api(&messenger);
        int successes = 0;
        std::vector<FlutterError> errors;
        api.OnNativeEvent(
            LumetNativeEvent("agentConnected", "", 42), [&] { ++successes; },
            [&](const FlutterError& e) { errors.push_back(e); });
        EXPECT_EQ(messenger.sent_channel, kOnNativeEventChannel);
        const EncodableValue sent_value = Decode(messenger.sent_message);
        const auto& sent = std::get<EncodableList>(sent_value);
        ASSERT_EQ(sent.size(), 1u);
        const auto* event = As<LumetNativeEvent>(sent[0]);
        ASSERT_NE(event, nullptr);
        EXPECT_EQ(event->kind(), "agentConnected");
        EXPECT_EQ(event->timestamp_ms(), 42);
        EXPECT_EQ(successes, c.success ? 1 : 0);
        ASSERT_EQ(errors.size(), c.success ? 0u : 1u);
        if (!c.success) {
            EXPECT_EQ(errors[0].code(), c.code);
            EXPECT_EQ(errors[0].message(), c.message);
        }
    }
}

}  // namespace
}  // namespace lumet_windows_vpn
