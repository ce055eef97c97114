// Reply bodies into data classes, statuses into error codes, and the bodies of the requests
// that carry arguments.
#include "plugin/conversions.h"

#include <gtest/gtest.h>

#include <limits>
#include <string>
#include <vector>

#include "common/payload.h"

namespace lumet_windows_vpn {
namespace {

using lumet::common::PayloadReader;
using lumet::common::PayloadWriter;
using lumet::common::Status;

constexpr uint64_t kU64Max = std::numeric_limits<uint64_t>::max();
constexpr int64_t kI64Max = std::numeric_limits<int64_t>::max();

template <typename Record>
std::vector<uint8_t> Body(const Record& record) {
    PayloadWriter writer;
    EXPECT_TRUE(lumet::common::Write(writer, record));
    return writer.Take();
}

TEST(ConversionsTest, CountersAreClampedToDartsInt) {
    const std::pair<uint64_t, int64_t> cases[] = {{0, 0},
                                                  {12345, 12345},
                                                  {uint64_t{kI64Max}, kI64Max},
                                                  {uint64_t{kI64Max} + 1, kI64Max},
                                                  {kU64Max, kI64Max}};
    for (const auto& [in, out] : cases) {
        EXPECT_EQ(ClampToInt64(in), out) << in;
    }
}

TEST(ConversionsTest, StatusesMapToErrorCodesAndErrorKinds) {
    struct Case {
        uint16_t status;
        const char* agent_method_code;
        const char* service_method_code;
        LumetNativeErrorKind kind;
    };
    const Case cases[] = {
        {0, "INTERNAL", "INTERNAL", LumetNativeErrorKind::kNone},
        {1, "INTERNAL", "INTERNAL", LumetNativeErrorKind::kInternal},
        {2, "INTERNAL", "INTERNAL", LumetNativeErrorKind::kInternal},
        {3, "VERSION_MISMATCH", "VERSION_MISMATCH", LumetNativeErrorKind::kVersionMismatch},
        {4, "AGENT_UNAVAILABLE", "SERVICE_UNAVAILABLE", LumetNativeErrorKind::kAgentUnavailable},
        {5, "INTERNAL", "INTERNAL", LumetNativeErrorKind::kInternal},
        {6, "INTERNAL", "INTERNAL", LumetNativeErrorKind::kInternal},
        {7, "AGENT_UNAVAILABLE", "SERVICE_UNAVAILABLE", LumetNativeErrorKind::kConnectTimeout},
        {99, "INTERNAL", "INTERNAL", LumetNativeErrorKind::kInternal},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        const auto status = static_cast<Status>(c.status);
        EXPECT_EQ(ErrorCodeFor(status, kAgentUnavailableCode), c.agent_method_code);
        EXPECT_EQ(ErrorCodeFor(status, kServiceUnavailableCode), c.service_method_code);
        EXPECT_EQ(NativeErrorKindFor(status), c.kind);
    }
}

TEST(ConversionsTest, OpenVpnStatusValueRulesAndClamping) {
    struct Case {
        uint8_t state;
        uint16_t error;
        LumetOpenVpnState want_state;
        LumetOpenVpnErrorKind want_error;
    };
    const Case cases[] = {
        {10, 0, LumetOpenVpnState::kConnected, LumetOpenVpnErrorKind::kNone},
        {12, 16, LumetOpenVpnState::kExiting, LumetOpenVpnErrorKind::kManagementAuthRejected},
        {13, 17, LumetOpenVpnState::kOther, LumetOpenVpnErrorKind::kInternalError},
        {200, 99, LumetOpenVpnState::kOther, LumetOpenVpnErrorKind::kInternalError},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(static_cast<int>(c.state));
        lumet::common::OpenVpnStatusRecord record;
        record.state = c.state;
        record.running = true;
        record.bytes_in = kU64Max;
        record.bytes_out = 5;
        record.connected_since_ms = uint64_t{kI64Max} + 7;
        record.error = c.error;
        record.attempt = 0xFFFFFFFF;
        const auto status = ReadOpenVpnStatus(Body(record));
        ASSERT_TRUE(status);
        EXPECT_EQ(status->state(), c.want_state);
        EXPECT_EQ(status->error(), c.want_error);
        EXPECT_TRUE(status->active());
        EXPECT_EQ(status->bytes_in(), kI64Max);
        EXPECT_EQ(status->bytes_out(), 5);
        EXPECT_EQ(status->connected_since_ms(), kI64Max);
        EXPECT_EQ(status->attempt(), 4294967295);
    }
}

TEST(ConversionsTest, WireGuardStatusStateRuleAndClamping) {
    const std::pair<uint8_t, LumetComponentState> states[] = {
        {0, LumetComponentState::kUnknown},   {1, LumetComponentState::kPending},
        {2, LumetComponentState::kRunning},   {4, LumetComponentState::kAbsent},
        {5, LumetComponentState::kReserved5}, {6, LumetComponentState::kUnknown},
        {255, LumetComponentState::kUnknown}};
    for (const auto& [wire, want] : states) {
        lumet::common::WireGuardStatusRecord record;
        record.state = wire;
        record.adapter_present = true;
        record.rx_bytes = kU64Max;
        record.tx_bytes = 1;
        record.last_handshake_ms = 1700000000123;
        record.error = 0xFFFF;
        const auto status = ReadWireGuardStatus(Body(record));
        ASSERT_TRUE(status);
        EXPECT_EQ(status->state(), want) << static_cast<int>(wire);
        EXPECT_EQ(status->rx_bytes(), kI64Max);
        EXPECT_EQ(status->tx_bytes(), 1);
        EXPECT_EQ(status->last_handshake_ms(), 1700000000123);
        EXPECT_EQ(status->error(), 65535);
    }
}

// An Ok reply whose record is cut short cannot be read (the caller answers INTERNAL); bytes after
// a complete record, which a newer peer may add, are ignored.
TEST(ConversionsTest, TruncatedBodiesFailAndTrailingBytesAreIgnored) {
    lumet::common::AgentHealthRecord agent;
    agent.state = 2;
    agent.hello = lumet::common::AgentHelloInfo();
    agent.session_id = 1;
    agent.generation_text = "4242-0x0000BEEF";
    agent.service_link_up = true;
    lumet::common::ServiceHealthRecord service;
    service.state = 2;
    service.hello = lumet::common::ServiceHelloInfo();
    service.generation_text = "1-0x00000002";
    service.uptime_seconds = kU64Max;
    lumet::common::OpenVpnCapabilitiesRecord caps;
    caps.openvpn_found = 1;
    caps.openvpn_version = "2.6.8";
    caps.interactive_service_installed = 2;
    caps.interactive_service_running = 9;
    caps.spare_1 = 1;
    caps.spare_2 = 0;

    const std::vector<uint8_t> bodies[] = {Body(agent), Body(service), Body(caps),
                                           Body(lumet::common::WireGuardStatusRecord{}),
                                           Body(lumet::common::OpenVpnStatusRecord{})};
    auto readable = [](size_t which, const std::vector<uint8_t>& body) {
        switch (which) {
            case 0:
                return ReadAgentHealth(body).has_value();
            case 1:
                return ReadServiceHealth(body).has_value();
            case 2:
                return ReadOpenVpnCapabilities(body).has_value();
            case 3:
                return ReadWireGuardStatus(body).has_value();
            default:
                return ReadOpenVpnStatus(body).has_value();
        }
    };
    for (size_t i = 0; i < std::size(bodies); ++i) {
        SCOPED_TRACE(i);
        EXPECT_TRUE(readable(i, bodies[i]));
        std::vector<uint8_t> longer = bodies[i];
        longer.push_back(0xEE);
        EXPECT_TRUE(readable(i, longer));
        for (size_t cut = 0; cut < bodies[i].size(); ++cut) {
            EXPECT_FALSE(
                readable(i, std::vector<uint8_t>(bodies[i].begin(), bodies[i].begin() + cut)))
                << "cut at " << cut;
        }
    }

    const auto a = ReadAgentHealth(bodies[0]);
    EXPECT_EQ(a->state(), LumetComponentState::kRunning);
    EXPECT_EQ(a->version_info().protocol(), 6);
    ASSERT_EQ(a->version_info().capabilities().size(), 5u);
    EXPECT_EQ(a->version_info().capabilities()[0], flutter::EncodableValue("control-plane"));
    EXPECT_EQ(a->generation_text(), "4242-0x0000BEEF");
    EXPECT_TRUE(a->service_link_up());
    // The uptime is taken bit for bit.
    EXPECT_EQ(ReadServiceHealth(bodies[1])->uptime_seconds(), -1);
    const auto c = ReadOpenVpnCapabilities(bodies[2]);
    EXPECT_EQ(c->open_vpn_found(), LumetTriState::kYes);
    EXPECT_EQ(c->open_vpn_version(), "2.6.8");
    EXPECT_EQ(c->interactive_service_installed(), LumetTriState::kNo);
    EXPECT_EQ(c->interactive_service_running(), LumetTriState::kUnknown);
    EXPECT_EQ(c->spare1(), LumetTriState::kYes);
    EXPECT_EQ(c->spare2(), LumetTriState::kUnknown);
}

TEST(ConversionsTest, RequestBodiesAndTheirLimit) {
    EXPECT_TRUE(WireGuardStartBody(std::string(32768, 'k')));
    EXPECT_FALSE(WireGuardStartBody(std::string(32769, 'k')));
    EXPECT_FALSE(OpenVpnStartBody("c", "u", std::string(32769, 'p')));

    const auto body = OpenVpnStartBody("client\n", "user", "secret");
    ASSERT_TRUE(body);
    PayloadReader reader(body->bytes());
    std::string config, user, password;
    ASSERT_TRUE(reader.ReadString(&config) && reader.ReadString(&user) &&
                reader.ReadString(&password));
    EXPECT_EQ(config, "client\n");
    EXPECT_EQ(user, "user");
    EXPECT_EQ(password, "secret");
    EXPECT_EQ(reader.remaining(), 0u);
}

TEST(ConversionsTest, NativeHealthCarriesThePluginsIdentity) {
    const LumetNativeHealth h = MakeNativeHealth(0xFFFFFFFF, false, false, Status::Unavailable);
    EXPECT_EQ(h.state(), LumetComponentState::kRunning);
    EXPECT_EQ(h.protocol(), 6);
    EXPECT_EQ(h.version(), "0.1.0-w6a");
    EXPECT_EQ(h.session_id(), 4294967295);
    EXPECT_FALSE(h.agent_reachable());
    EXPECT_EQ(h.last_error(), LumetNativeErrorKind::kAgentUnavailable);
}

}  // namespace
}  // namespace lumet_windows_vpn
