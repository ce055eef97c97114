#include "common/messages.h"

#include <gtest/gtest.h>

#include <string>

namespace lumet::common {
namespace {

using Bytes = std::vector<uint8_t>;

// Builds expected wire bytes independently of PayloadWriter, so that a field order or width
// mistake shared by a record's writer and reader still shows up.
class Wire {
  public:
    Wire& u8(uint8_t v) { return le(v, 1); }
    Wire& u16(uint16_t v) { return le(v, 2); }
    Wire& u32(uint32_t v) { return le(v, 4); }
    Wire& u64(uint64_t v) { return le(v, 8); }
    Wire& str(const std::string& s) {
        le(s.size(), 2);
        bytes.insert(bytes.end(), s.begin(), s.end());
        return *this;
    }
    Wire& list(const std::vector<std::string>& l) {
        le(l.size(), 2);
        for (const auto& s : l)
            str(s);
        return *this;
    }
    Wire& hello(const HelloInfo& h) { return u16(h.protocol).str(h.version).list(h.capabilities); }
    Bytes bytes;

  private:
    Wire& le(uint64_t v, int width) {
        for (int i = 0; i < width; ++i)
            bytes.push_back(static_cast<uint8_t>(v >> (8 * i)));
        return *this;
    }
};

// Writes the record, compares with the expected layout, reads it back, and checks that every
// truncation fails the read and leaves the reader failed while trailing bytes are ignored.
template <typename Record>
void CheckRecord(const Record& record, const Bytes& expected) {
    PayloadWriter writer;
    ASSERT_TRUE(Write(writer, record));
    ASSERT_EQ(writer.bytes(), expected);

    Bytes padded = expected;
    padded.insert(padded.end(), {0xEE, 0xEE, 0xEE});
    PayloadReader reader(padded);
    Record read{};
    ASSERT_TRUE(Read(reader, &read));
    EXPECT_EQ(read, record);
    EXPECT_EQ(reader.remaining(), 3u);

    for (size_t n = 0; n < expected.size(); ++n) {
        PayloadReader truncated(expected.data(), n);
        Record partial{};
        EXPECT_FALSE(Read(truncated, &partial)) << "prefix " << n;
        EXPECT_FALSE(truncated.Ok()) << "prefix " << n;
    }
}

TEST(MessagesTest, HelloInfoOfEachServer) {
    const HelloInfo agent = AgentHelloInfo();
    EXPECT_EQ(agent.protocol, 6);
    EXPECT_EQ(agent.version, "0.1.0-w6a");
    EXPECT_EQ(agent.capabilities, (std::vector<std::string>{"control-plane", "health", "events",
                                                            "wireguard", "vpn-activity"}));
    const HelloInfo service = ServiceHelloInfo();
    EXPECT_EQ(service.protocol, 6);
    EXPECT_EQ(service.version, "0.1.0-w6a");
    EXPECT_EQ(service.capabilities,
              (std::vector<std::string>{"control-plane", "health", "wireguard", "openvpn-staging",
                                        "vpn-activity"}));

    CheckRecord(agent, Wire().hello(agent).bytes);
    const HelloInfo foreign{5, "", {}};
    CheckRecord(foreign, Bytes{5, 0, 0, 0, 0, 0});
}

TEST(MessagesTest, HealthRecordsLayout) {
    const ServiceHealthRecord service{2, ServiceHelloInfo(), "4242-0x0000BEEF", 86401};
    CheckRecord(service,
                Wire().u8(2).hello(ServiceHelloInfo()).str("4242-0x0000BEEF").u64(86401).bytes);

    const AgentHealthRecord agent{2, AgentHelloInfo(), 7, "17-0xFFFFFFFF", true};
    CheckRecord(agent,
                Wire().u8(2).hello(AgentHelloInfo()).u32(7).str("17-0xFFFFFFFF").u8(1).bytes);
}

TEST(MessagesTest, StatusRecordsLayout) {
    const WireGuardStatusRecord wg{2, true, 0x1122334455667788ull, 42, 1700000000123ull, 0x0203};
    CheckRecord(wg, Wire()
                        .u8(2)
                        .u8(1)
                        .u64(0x1122334455667788ull)
                        .u64(42)
                        .u64(1700000000123ull)
                        .u16(0x0203)
                        .bytes);

    const OpenVpnStatusRecord ovpn{5, true, 1000, 2000, 1700000000999ull, 9, 0x01020304};
    CheckRecord(
        ovpn,
        Wire().u8(5).u8(1).u64(1000).u64(2000).u64(1700000000999ull).u16(9).u32(0x01020304).bytes);

    const OpenVpnCapabilitiesRecord caps{1, "2.6.8", 1, 2, 0, 0};
    CheckRecord(caps, Wire().u8(1).str("2.6.8").u8(1).u8(2).u8(0).u8(0).bytes);

    const OpenVpnActivityReport report{true, 3, 4321};
    CheckRecord(report, Wire().u8(1).u32(3).u32(4321).bytes);
}

TEST(MessagesTest, WritersRefuseOversizedText) {
    PayloadWriter w;
    HelloInfo hello = AgentHelloInfo();
    hello.capabilities.assign(65, "x");
    EXPECT_FALSE(Write(w, hello));
    OpenVpnCapabilitiesRecord caps;
    caps.openvpn_version.assign(kMaxStringBytes + 1, '9');
    EXPECT_FALSE(Write(w, caps));
}

TEST(MessagesTest, StatusBodies) {
    EXPECT_EQ(StatusOnly(Status::Ok), (Bytes{0, 0}));
    EXPECT_EQ(StatusOnly(Status::ProtocolMismatch), (Bytes{3, 0}));
    EXPECT_EQ(StatusOnly(Status::ConnectTimeout), (Bytes{7, 0}));

    // A status this build does not know still reads, so the caller can treat it as a failure.
    const Bytes unknown = {0x34, 0x12};
    PayloadReader r(unknown);
    Status status = Status::Ok;
    ASSERT_TRUE(ReadStatus(r, &status));
    EXPECT_EQ(static_cast<uint16_t>(status), 0x1234);
    EXPECT_FALSE(ReadStatus(r, &status));
}

TEST(MessagesTest, GenerationText) {
    EXPECT_EQ(FormatGenerationText(4242, 0x0000BEEF), "4242-0x0000BEEF");
    EXPECT_EQ(FormatGenerationText(0, 0), "0-0x00000000");
    EXPECT_EQ(FormatGenerationText(4294967295u, 0xABCDEF01), "4294967295-0xABCDEF01");
    EXPECT_EQ(NonZeroGeneration(0), 1u);
    EXPECT_EQ(NonZeroGeneration(1), 1u);
    EXPECT_EQ(NonZeroGeneration(0xFFFFFFFF), 0xFFFFFFFFu);
}

}  // namespace
}  // namespace lumet::common
