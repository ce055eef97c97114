#include "service/wireguard/wireguard_config.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace lumet::service::wireguard {
namespace {

// Real 32-byte keys in base64.
constexpr char kPrivateKey[] = "3ZfXJt51ki35Rae5bKPsFSUjXggIcougcoWBydMyKGI=";
constexpr char kPeerKey[] = "PPq7jA+DU81NYbF5mSuC/ZJRAHSvvaR816y49ayZMII=";
constexpr char kPresharedKey[] = "dyCPECZLyod3nv0xJOUE1w4YRpXjC9RlcouQb1R6Dd0=";
constexpr char kOtherPeerKey[] = "znRUGWqrFN33BH+Vj58iJIYbXTGKVcM+V4aZuOFSsB0=";

std::string InterfaceLines() {
    return std::string("[Interface]\nPrivateKey = ") + kPrivateKey + "\nAddress = 10.0.0.2/32\n";
}

std::string PeerLines() {
    return std::string("[Peer]\nPublicKey = ") + kPeerKey +
           "\nAllowedIPs = 0.0.0.0/0\nEndpoint = vpn.example.net:51820\n";
}

// A minimal valid configuration with extra lines placed at the end of the interface section and
// at the end of the (only) peer section.
std::string Config(const std::string& interface_extra = "", const std::string& peer_extra = "") {
    return InterfaceLines() + interface_extra + "\n" + PeerLines() + peer_extra;
}

std::string Repeat(const std::string& piece, size_t count, const std::string& separator) {
    std::string out;
    for (size_t i = 0; i < count; ++i) {
        out += (i ? separator : "") + piece;
    }
    return out;
}

// Appends comment lines to `text` until it is exactly `size` bytes long.
std::string PadWithComments(std::string text, size_t size) {
    while (text.size() < size) {
        const size_t line = std::min<size_t>(size - text.size(), 4000);
        text += line == 1 ? std::string("#") : "#" + std::string(line - 2, 'x') + "\n";
    }
    return text;
}

// Renders a config that is expected to pass, for tests that look at the output.
std::string Canonical(const std::string& text) {
    const WireGuardConfigResult result = ParseWireGuardConfig(text);
    EXPECT_EQ(result.code, config_code::kAccepted) << text;
    return result.canonical_text;
}

TEST(WireGuardConfigTest, MessyInputRendersCanonicalBytes) {
    const std::string text = std::string("# exported by the account page\r\n") +
                             "\r\n"
                             "   [interface]   # home tunnel\r\n"
                             "privatekey=" +
                             kPrivateKey +
                             "\r\n"
                             "ADDRESS =  10.0.0.2/32 ,fd00::2/128   \r\n"
                             "\tDns = 1.1.1.1,  dns.Example.net\r\n"
                             "MTU = 01400   # below the path MTU\r\n"
                             "Address = 10.0.1.2/24\r\n"
                             "ListenPort = 0\r\n"
                             "\r\n"
                             "[PEER]\r\n"
                             "PublicKey = " +
                             kPeerKey +
                             "\r\n"
                             "presharedKEY = " +
                             kPresharedKey +
                             "\r\n"
                             "Endpoint = [2001:db8::1]:51820\r\n"
                             "AllowedIPs = 0.0.0.0/1, 128.0.0.0/1\r\n"
                             "allowedips = ::/0\r\n"
                             "PersistentKeepalive = 025\r\n"
                             "[Peer]\n"
                             "AllowedIPs=10.9.0.0/16\n"
                             "Endpoint=198.51.100.7:00443\n"
                             "PublicKey=" +
                             kOtherPeerKey;  // no final line break

    const std::string expected = std::string("[Interface]\n") + "PrivateKey = " + kPrivateKey +
                                 "\n"
                                 "Address = 10.0.0.2/32, fd00::2/128, 10.0.1.2/24\n"
                                 "DNS = 1.1.1.1, dns.Example.net\n"
                                 "MTU = 1400\n"
                                 "ListenPort = 0\n"
                                 "\n"
                                 "[Peer]\n"
                                 "PublicKey = " +
                                 kPeerKey +
                                 "\n"
                                 "PresharedKey = " +
                                 kPresharedKey +
                                 "\n"
                                 "AllowedIPs = 0.0.0.0/1, 128.0.0.0/1, ::/0\n"
                                 "Endpoint = [2001:db8::1]:51820\n"
                                 "PersistentKeepalive = 25\n"
                                 "\n"
                                 "[Peer]\n"
                                 "PublicKey = " +
                                 kOtherPeerKey +
                                 "\n"
                                 "AllowedIPs = 10.9.0.0/16\n"
                                 "Endpoint = 198.51.100.7:00443\n";
    EXPECT_EQ(Canonical(text), expected);
}

TEST(WireGuardConfigTest, MinimalConfigRendersOnlyGivenLines) {
    const std::string expected = std::string("[Interface]\nPrivateKey = ") + kPrivateKey +
                                 "\nAddress = 10.0.0.2/32\n\n[Peer]\nPublicKey = " + kPeerKey +
                                 "\nAllowedIPs = 0.0.0.0/0\nEndpoint = vpn.example.net:51820\n";
    EXPECT_EQ(Canonical(Config()), expected);
    // The canonical text is a fixed point: parsing it again gives the same bytes.
    EXPECT_EQ(Canonical(expected), expected);
}

TEST(WireGuardConfigTest, SpellingsThatMeanTheSameRenderTheSame) {
    const std::string peer = "\n" + PeerLines();
    const std::string key = std::string(" = ") + kPrivateKey + "\n";
    const std::vector<std::string> same = {
        "[Interface]\nPrivateKey" + key + "Address = 10.0.0.2/32, fd00::2/128\n" + peer,
        "[INTERFACE]\nprivatekey" + key + "Address = 10.0.0.2/32\nAddress = fd00::2/128\n" + peer,
        "  [interface] # laptop\nPRIVATEKEY" + key + "address=10.0.0.2/32,fd00::2/128\n" + peer,
        "[Interface]\r\nPrivateKey" + key + "Address\t=\t10.0.0.2/32 ,\tfd00::2/128\t\r\n" + peer,
    };
    const std::string first = Canonical(same[0]);
    EXPECT_NE(first.find("Address = 10.0.0.2/32, fd00::2/128\n"), std::string::npos);
    for (size_t i = 1; i < same.size(); ++i) {
        EXPECT_EQ(Canonical(same[i]), first) << i;
    }
}

TEST(WireGuardConfigTest, ValuesAreKeptAsWritten) {
    // Value case survives; an address is copied verbatim; leading zeros of numbers go, but those
    // inside an endpoint's port stay (the endpoint is text).
    const std::string text =
        Config("Address = fd00:0:0::AB/0\nMTU = 01280\n", "PersistentKeepalive = 00000\n");
    const std::string out = Canonical(text);
    EXPECT_NE(out.find("Address = 10.0.0.2/32, fd00:0:0::AB/0\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nMTU = 1280\n"), std::string::npos) << out;
    EXPECT_NE(out.find("\nPersistentKeepalive = 0\n"), std::string::npos) << out;
}

TEST(WireGuardConfigTest, KeepaliveOffIsRenderedAsZero) {
    const std::string out = Canonical(Config("", "persistentkeepalive = off\n"));
    EXPECT_NE(out.find("\nPersistentKeepalive = 0\n"), std::string::npos) << out;
    EXPECT_EQ(out, Canonical(Config("", "PersistentKeepalive = 0\n")));
}

struct Rejection {
    const char* name;
    std::string text;
    uint16_t code;
};

class WireGuardConfigRejectionTest : public testing::TestWithParam<Rejection> {};

TEST_P(WireGuardConfigRejectionTest, YieldsCodeAndNoText) {
    const Rejection& r = GetParam();
    const WireGuardConfigResult result = ParseWireGuardConfig(r.text);
    EXPECT_EQ(result.code, r.code);
    EXPECT_TRUE(result.canonical_text.empty());
}

std::vector<Rejection> RejectionCases() {
    const std::string key = kPrivateKey;
    const std::string valid = Config();
    std::vector<Rejection> cases = {
        {"Empty", "", config_code::kEmptyText},
        {"OneByteTooLong", PadWithComments(valid, 32769), config_code::kTextTooLong},
        {"LongCommentLine", valid + "#" + std::string(4096, 'x'), config_code::kLineTooLong},
        {"LongLineCountsItsCarriageReturn", "#" + std::string(4095, 'x') + "\r\n" + valid,
         config_code::kLineTooLong},
        {"NulByte", valid + std::string(1, '\0'), config_code::kControlByte},
        {"Escape", Config("# \x1b[31m\n"), config_code::kControlByte},
        {"Delete", Config("# \x7f\n"), config_code::kControlByte},
        {"TruncatedLeadByteAtEnd", valid + "# caf\xC3", config_code::kInvalidUtf8},
        {"Latin1", Config("# caf\xE9\n"), config_code::kInvalidUtf8},
        {"KeyBeforeHeader", "PrivateKey = " + key + "\n" + valid, config_code::kKeyOutsideSection},
        {"NoEquals", Config("SaveConfig\n"), config_code::kMalformedLine},
        {"EmptyValue", Config("DNS =\n"), config_code::kEmptyValue},
        {"ValueOnlyComment", Config("", "PersistentKeepalive = # none\n"),
         config_code::kEmptyValue},
        {"BlanksInsideBrackets", "[ Interface ]\n", config_code::kUnknownSection},
        {"UnknownSection", Config("[Peers]\n"), config_code::kUnknownSection},
        {"PeerFirst", PeerLines() + InterfaceLines(), config_code::kMissingInterface},
        {"OnlyComments", "# nothing here\n\n   \n", config_code::kMissingInterface},
        {"ScriptHook", Config("PostUp = calc.exe\n"), config_code::kUnknownKey},
        {"PeerKeyInInterface", Config("Endpoint = vpn.example.net:51820\n"),
         config_code::kUnknownKey},
        {"InterfaceKeyInPeer", Config("", "ListenPort = 51820\n"), config_code::kUnknownKey},
        {"EmptyKeyName", Config(" = 1\n"), config_code::kUnknownKey},
        {"PrivateKeyTwiceEvenIfInvalid", Config("PrivateKey = nonsense\n"),
         config_code::kRepeatedKey},
        {"PrivateKeyInReopenedInterface", Config("", "[Interface]\nPrivateKey = " + key + "\n"),
         config_code::kRepeatedKey},
        {"MtuTwice", Config("MTU = 1420\nmtu = 1420\n"), config_code::kRepeatedKey},
        {"ListenPortTwice", Config("ListenPort = 1\nListenPort = 1\n"), config_code::kRepeatedKey},
        {"PublicKeyTwice", Config("", std::string("PublicKey = ") + kPeerKey + "\n"),
         config_code::kRepeatedKey},
        {"PresharedKeyTwice",
         Config("", std::string("PresharedKey = ") + kPresharedKey + "\nPresharedKey = x\n"),
         config_code::kRepeatedKey},
        {"EndpointTwice", Config("", "Endpoint = 192.0.2.1:1\n"), config_code::kRepeatedKey},
        {"KeepaliveTwice", Config("", "PersistentKeepalive = 25\nPersistentKeepalive = 25\n"),
         config_code::kRepeatedKey},
        {"NotEncodingOf32Bytes_B",
         "[Interface]\nPrivateKey = 3ZfXJt51ki35Rae5bKPsFSUjXggIcougcoWBydMyKGB=\n",
         config_code::kInvalidKey},
        {"NotEncodingOf32Bytes_Plus",
         "[Interface]\nPrivateKey = 3ZfXJt51ki35Rae5bKPsFSUjXggIcougcoWBydMyKG+=\n",
         config_code::kInvalidKey},
        {"KeyTooShort", "[Interface]\nPrivateKey = 3ZfXJt51ki35Rae5bKPsFSUjXggIcougcoWBydMyKG=\n",
         config_code::kInvalidKey},
        {"KeyWithoutPadding",
         "[Interface]\nPrivateKey = 3ZfXJt51ki35Rae5bKPsFSUjXggIcougcoWBydMyKGIA\n",
         config_code::kInvalidKey},
        {"BadPresharedKey", Config("", "PresharedKey = " + std::string(44, '=') + "\n"),
         config_code::kInvalidKey},
        {"AllowedIpsTrailingCommas", Config("", "AllowedIPs = 10.0.0.0/8,,\n"),
         config_code::kInvalidAddress},
        {"AllowedIps65", Config("", "AllowedIPs = " + Repeat("10.1.0.0/16", 65, ",") + "\n"),
         config_code::kInvalidAddress},
        {"Address17", Config("Address = " + Repeat("10.0.0.3", 17, ", ") + "\n"),
         config_code::kInvalidAddress},
        {"Ipv4PrefixTooLong", Config("Address = 10.0.0.3/33\n"), config_code::kInvalidAddress},
        {"Ipv6PrefixTooLong", Config("", "AllowedIPs = ::/129\n"), config_code::kInvalidAddress},
        {"PrefixNotDigits", Config("Address = 10.0.0.3/24/8\n"), config_code::kInvalidAddress},
        {"PrefixSixDigits", Config("Address = 10.0.0.3/000008\n"), config_code::kInvalidAddress},
        {"OctetOutOfRange", Config("Address = 10.0.0.256\n"), config_code::kInvalidAddress},
        {"HostNameAsAddress", Config("", "AllowedIPs = lan.example\n"),
         config_code::kInvalidAddress},
        {"NoAddress", "[Interface]\nPrivateKey = " + key + "\nDNS = 1.1.1.1\n\n" + PeerLines(),
         config_code::kInvalidAddress},
        {"UnbracketedIpv6Endpoint",
         Config("", "[Peer]\nPublicKey = " + key + "\nEndpoint = 2001:db8::1:51820\n"),
         config_code::kInvalidEndpoint},
        {"PortZero", Config("", "[Peer]\nEndpoint = vpn.example.net:0\n"),
         config_code::kInvalidEndpoint},
        {"Port65536", Config("", "[Peer]\nEndpoint = 192.0.2.1:65536\n"),
         config_code::kInvalidEndpoint},
        {"HostStartsWithDash", Config("", "[Peer]\nEndpoint = -vpn.example.net:51820\n"),
         config_code::kInvalidEndpoint},
        {"HostEndsWithDash", Config("", "[Peer]\nEndpoint = vpn-:51820\n"),
         config_code::kInvalidEndpoint},
        {"NoHost", Config("", "[Peer]\nEndpoint = :51820\n"), config_code::kInvalidEndpoint},
        {"NoPort", Config("", "[Peer]\nEndpoint = vpn.example.net\n"),
         config_code::kInvalidEndpoint},
        {"BracketWithoutColon", Config("", "[Peer]\nEndpoint = [2001:db8::1]51820\n"),
         config_code::kInvalidEndpoint},
        {"BracketedIpv4", Config("", "[Peer]\nEndpoint = [192.0.2.1]:51820\n"),
         config_code::kInvalidEndpoint},
        {"HostWithUnderscore", Config("", "[Peer]\nEndpoint = my_vpn:51820\n"),
         config_code::kInvalidEndpoint},
        {"Mtu1279", Config("MTU = 1279\n"), config_code::kInvalidNumber},
        {"Mtu1501", Config("MTU = 1501\n"), config_code::kInvalidNumber},
        {"MtuSigned", Config("MTU = +1400\n"), config_code::kInvalidNumber},
        {"MtuSixDigits", Config("MTU = 001400\n"), config_code::kInvalidNumber},
        {"ListenPort65536", Config("ListenPort = 65536\n"), config_code::kInvalidNumber},
        {"KeepaliveWord", Config("", "PersistentKeepalive = never\n"), config_code::kInvalidNumber},
        // The tunnel service knows "off" only in lower case.
        {"KeepaliveOffCapitalised", Config("", "PersistentKeepalive = Off\n"),
         config_code::kInvalidNumber},
        // Prefixes the tunnel service refuses: none after "/", leading zeros.
        {"AddressSlashWithoutPrefix", Config("Address = fd00::2/\n"), config_code::kInvalidAddress},
        {"AllowedIpSlashWithoutPrefix", Config("", "AllowedIPs = 10.9.0.0/\n"),
         config_code::kInvalidAddress},
        {"PrefixLeadingZero", Config("Address = 10.0.0.3/032\n"), config_code::kInvalidAddress},
        {"PrefixZeroZero", Config("", "AllowedIPs = ::/00\n"), config_code::kInvalidAddress},
        {"AllZeroPeerKey",
         Config("", "[Peer]\nPublicKey = AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=\n"),
         config_code::kInvalidKey},
        {"DnsWithPrefix", Config("DNS = 1.1.1.1/32\n"), config_code::kInvalidDns},
        {"DnsLeadingDot", Config("DNS = .example.net\n"), config_code::kInvalidDns},
        {"DnsTrailingDot", Config("DNS = ns.example.net.\n"), config_code::kInvalidDns},
        {"DnsEmptyPiece", Config("DNS = 1.1.1.1, ,8.8.8.8\n"), config_code::kInvalidDns},
        {"Dns17", Config("DNS = " + Repeat("9.9.9.9", 17, ",") + "\n"), config_code::kInvalidDns},
        {"DnsName254", Config("DNS = " + std::string(254, 'a') + "\n"), config_code::kInvalidDns},
        {"NoPrivateKey", "[Interface]\nAddress = 10.0.0.2/32\n\n" + PeerLines(),
         config_code::kMissingPrivateKey},
        {"PeerWithoutPublicKey",
         Config("", "[Peer]\nAllowedIPs = 0.0.0.0/0\nEndpoint = 192.0.2.1:1\n"),
         config_code::kPeerWithoutPublicKey},
        {"PeerWithoutEndpoint",
         InterfaceLines() + "[Peer]\nPublicKey = " + kPeerKey + "\nAllowedIPs = 0.0.0.0/0\n",
         config_code::kPeerWithoutEndpoint},
        {"PeerWithoutAllowedIps",
         InterfaceLines() + "[Peer]\nPublicKey = " + kPeerKey + "\nEndpoint = 192.0.2.1:1\n",
         config_code::kPeerWithoutAllowedIps},
        {"NoPeer", InterfaceLines(), config_code::kNoPeer},
        {"SeventeenPeers", InterfaceLines() + Repeat(PeerLines(), 17, "\n"),
         config_code::kTooManyPeers},
        // The first fault found wins.
        {"TooLongBeatsControlByte", std::string(1, '\0') + std::string(32768, ' '),
         config_code::kTextTooLong},
        {"ControlByteBeatsUtf8", std::string("\xC3") + std::string(1, '\x01'),
         config_code::kControlByte},
        {"EarlierLineBeatsLongLine", "[Interface]\nTable = off\n#" + std::string(4096, 'x'),
         config_code::kUnknownKey},
        {"RepeatStopsBeforeLongLine",
         Config("MTU = 1400\nMTU = 1400\n") + "#" + std::string(4096, 'x'),
         config_code::kRepeatedKey},
        {"MissingPrivateKeyBeatsMissingAddress", "[Interface]\nMTU = 1420\n",
         config_code::kMissingPrivateKey},
        {"MissingAddressBeatsNoPeer", "[Interface]\nPrivateKey = " + key + "\n",
         config_code::kInvalidAddress},
        {"PeersCheckedInOrder",
         InterfaceLines() + "[Peer]\nPublicKey = " + kPeerKey +
             "\nAllowedIPs = 0.0.0.0/0\n[Peer]\nEndpoint = 192.0.2.1:1\nAllowedIPs = ::/0\n",
         config_code::kPeerWithoutEndpoint},
    };
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Codes, WireGuardConfigRejectionTest, testing::ValuesIn(RejectionCases()),
                         [](const testing::TestParamInfo<Rejection>& info) {
                             return std::string(info.param.name);
                         });

TEST(WireGuardConfigTest, LimitsAcceptTheirEdges) {
    const std::string valid = Config();
    const std::vector<std::pair<const char*, std::string>> accepted = {
        {"text of 32768 bytes", PadWithComments(valid, 32768)},
        {"line of 4096 bytes", valid + "#" + std::string(4095, 'x') + "\n"},
        {"line of 4096 bytes with its CR", valid + "#" + std::string(4094, 'x') + "\r\n"},
        {"16 addresses", Config("Address = " + Repeat("10.0.0.3", 16, ",") + "\n")},
        {"16 DNS servers", Config("DNS = " + Repeat("9.9.9.9", 16, ",") + "\n")},
        {"64 allowed IPs", Config("", "AllowedIPs = " + Repeat("10.1.0.0/16", 64, ",") + "\n")},
        {"16 peers", InterfaceLines() + Repeat(PeerLines(), 16, "\n")},
        {"MTU 1280", Config("MTU = 1280\n")},
        {"MTU 1500", Config("MTU = 1500\n")},
        {"ListenPort 65535", Config("ListenPort = 65535\n")},
        {"prefix /32", Config("Address = 10.0.0.3/32\n")},
        {"prefix /128", Config("Address = fd00::3/128\n")},
        {"prefix /0", Config("", "AllowedIPs = ::/0, 10.0.0.0/8\n")},
        {"port 1", Config("", "[Peer]\nPublicKey = " + std::string(kOtherPeerKey) +
                                  "\nAllowedIPs = ::/0\nEndpoint = [::1]:1\n")},
        {"port 65535", Config("", "[Peer]\nPublicKey = " + std::string(kOtherPeerKey) +
                                      "\nAllowedIPs = ::/0\nEndpoint = 192.0.2.1:65535\n")},
        {"DNS name of 253", Config("DNS = " + std::string(253, 'a') + "\n")},
        {"DNS name ending in dash", Config("DNS = ns-\n")},
        {"endpoint host of 253",
         Config("", "[Peer]\nPublicKey = " + std::string(kOtherPeerKey) +
                        "\nAllowedIPs = ::/0\nEndpoint = " + std::string(253, 'h') + ":51820\n")},
        {"endpoint host ending in dot",
         Config("", "[Peer]\nPublicKey = " + std::string(kOtherPeerKey) +
                        "\nAllowedIPs = ::/0\nEndpoint = vpn.example.net.:51820\n")},
        {"single-label endpoint host",
         Config("", "[Peer]\nPublicKey = " + std::string(kOtherPeerKey) +
                        "\nAllowedIPs = ::/0\nEndpoint = name:51820\n")},
        {"UTF-8 in comments", Config("# caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x94\x91\n")},
    };
    ASSERT_EQ(accepted[0].second.size(), kMaxConfigTextBytes);
    for (const auto& [name, text] : accepted) {
        EXPECT_EQ(ParseWireGuardConfig(text).code, config_code::kAccepted) << name;
    }
    const std::string too_long =
        Config("", "[Peer]\nPublicKey = " + std::string(kOtherPeerKey) +
                       "\nAllowedIPs = ::/0\nEndpoint = " + std::string(254, 'h') + ":51820\n");
    EXPECT_EQ(ParseWireGuardConfig(too_long).code, config_code::kInvalidEndpoint);
}

// A key is 32 bytes, so the last base64 digit before "=" carries four data bits and two zero
// bits: only every fourth alphabet value is a canonical encoding.
TEST(WireGuardConfigTest, KeyLastDigitMustEncodeZeroBits) {
    const std::string body = "3ZfXJt51ki35Rae5bKPsFSUjXggIcougcoWBydMyKG";
    const std::string alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string accepted;
    for (char c : alphabet) {
        std::string text = Config();
        text.replace(text.find(kPrivateKey), 44, body + c + "=");
        if (ParseWireGuardConfig(text).code == config_code::kAccepted) {
            accepted += c;
        }
    }
    EXPECT_EQ(accepted, "AEIMQUYcgkosw048");
}

// A rejected text must not leave the private key behind in the model the caller holds.
TEST(WireGuardConfigTest, RejectionLeavesModelEmpty) {
    WireGuardConfig config;
    EXPECT_EQ(ReadWireGuardConfig(Config(), config), config_code::kAccepted);
    EXPECT_EQ(config.iface.private_key, kPrivateKey);
    ASSERT_EQ(config.peers.size(), 1u);

    EXPECT_EQ(ReadWireGuardConfig(Config("", "Endpoint = x:1\n"), config),
              config_code::kRepeatedKey);
    EXPECT_TRUE(config.iface.private_key.empty());
    EXPECT_TRUE(config.iface.addresses.empty());
    EXPECT_TRUE(config.peers.empty());
}

}  // namespace
}  // namespace lumet::service::wireguard
