#include "common/openvpn_profile.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <ostream>
#include <string>
#include <vector>

namespace lumet::openvpn {

// Readable failure messages; found by the test framework through argument-dependent lookup.
static void PrintTo(ProfileCheck check, std::ostream* out) {
    *out << ProfileCheckName(check);
}
static void PrintTo(const ProfileSummary& summary, std::ostream* out) {
    *out << "{\"" << summary.remote_host << "\", \"" << summary.remote_port << "\", "
         << summary.has_tls_auth << "}";
}

namespace {

// A client profile as a provider's download page hands it out, trimmed to the allowed directives.
const std::string kBlocks = R"(<ca>
-----BEGIN CERTIFICATE-----
MIIBszCCAVmgAwIBAgIUJ4Kp2Z0mXQ0u0l0x8o0CiM0bB6swCgYIKoZIzj0EAwIw
-----END CERTIFICATE-----
</ca>
<tls-auth>
#
# 2048 bit OpenVPN static key
#
-----BEGIN OpenVPN Static key V1-----
e3c1f0a8b3d2c4e5f60718293a4b5c6d
-----END OpenVPN Static key V1-----
</tls-auth>
)";
const std::string kProfile = R"(##############################################
# Client profile for vpn.example.net (UDP)
client
dev tun
proto udp
remote vpn.example.net 1194
resolv-retry infinite
nobind
persist-key
persist-tun
remote-cert-tls server
data-ciphers AES-256-GCM:AES-128-GCM:AES-256-CBC
; comp-lzo
verb 3
auth-user-pass
key-direction 1
)" + kBlocks;

// The profile with the first occurrence of the whole line `from` replaced by `to` (which may hold
// several lines, or none: then the line goes).
std::string Replaced(const std::string& from, const std::string& to,
                     const std::string& profile = kProfile) {
    const size_t at = profile.find(from + "\n");
    EXPECT_NE(at, std::string::npos) << from;
    return profile.substr(0, at) + to + (to.empty() ? "" : "\n") +
           profile.substr(at + from.size() + 1);
}
// The profile with `extra` lines just before the CA block.
std::string With(const std::string& extra) {
    return Replaced("<ca>", extra + "\n<ca>");
}

std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    for (size_t at = text.find(from); at != std::string::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
    return text;
}

ProfileCheck Check(std::string_view profile) {
    return ValidateProfile(profile, nullptr);
}

struct Case {
    const char* name;
    std::string profile;
    ProfileCheck expected;
};

void ExpectAll(const std::vector<Case>& cases) {
    for (const Case& c : cases) {
        EXPECT_EQ(Check(c.profile), c.expected) << c.name;
    }
}

TEST(OpenVpnProfileTest, RealWorldProfileAndLayoutVariants) {
    ProfileSummary summary;
    ASSERT_EQ(ValidateProfile(kProfile, &summary), ProfileCheck::Ok);
    EXPECT_EQ(summary, (ProfileSummary{"vpn.example.net", "1194", true, ""}));

    const std::string remote = "remote vpn.example.net 1194";
    ExpectAll({
        {"CRLF", ReplaceAll(kProfile, "\n", "\r\n"), ProfileCheck::Ok},
        {"no final line feed", kProfile.substr(0, kProfile.size() - 1), ProfileCheck::Ok},
        {"blanks around words", Replaced("dev tun", "\t  dev \t tun  \t\r"), ProfileCheck::Ok},
        {"comments read like directives", With("# up evil.cmd\n ;script-security 2"),
         ProfileCheck::Ok},
        {"proto value in capitals", Replaced("proto udp", "proto TCP4-Client"), ProfileCheck::Ok},
        {"remote with more words", Replaced(remote, remote + " tcp extra"), ProfileCheck::Ok},
        {"block content is not checked", Replaced("</ca>", "script-security 2\n<cert>\n</ca>"),
         ProfileCheck::Ok},
        {"long host, highest port, UTF-8",
         Replaced(remote, "remote \xc3\xa4" + std::string(239, 'h') + " 65535"), ProfileCheck::Ok},
        // A host of the longest length a name may have no longer fits on a line OpenVPN reads.
        {"longest host", Replaced(remote, "remote " + std::string(253, 'h')),
         ProfileCheck::LineTooLong},
    });
}

TEST(OpenVpnProfileTest, SummaryComesFromLastRemoteAndOnlyOnSuccess) {
    ProfileSummary summary{"stale.example", "1", true, "stale.log"};
    const std::string remote = "remote vpn.example.net 1194";
    ASSERT_EQ(ValidateProfile(Replaced(remote, remote + "\nremote 10.0.0.1"), &summary),
              ProfileCheck::Ok);
    EXPECT_EQ(summary, (ProfileSummary{"10.0.0.1", "", true, ""}));

    const std::string without_tls_auth = kProfile.substr(0, kProfile.find("<tls-auth>"));
    ASSERT_EQ(ValidateProfile(without_tls_auth, &summary), ProfileCheck::Ok);
    EXPECT_EQ(summary, (ProfileSummary{"vpn.example.net", "1194", false, ""}));

    // Rejected after its remote line: that remote must not be reported.
    ASSERT_EQ(ValidateProfile(Replaced("auth-user-pass", ""), &summary),
              ProfileCheck::MissingAuthUserPass);
    EXPECT_EQ(summary, ProfileSummary{});
}

TEST(OpenVpnProfileTest, SizeLineAndByteLimits) {
    // Pads the profile with comment lines to exactly `size` bytes.
    const auto padded = [](size_t size) {
        std::string text = kProfile;
        while (text.size() < size) {
            const size_t line = std::min<size_t>(size - text.size(), 200);
            text += line == 1 ? std::string("#") : "#" + std::string(line - 2, 'x') + "\n";
        }
        return text;
    };
    std::string large_with_nul = padded(kMaxProfileBytes + 1);
    large_with_nul[0] = '\0';
    // OpenVPN refuses a line that, with its line feed, is 256 bytes or more.
    const std::string line254 = "#" + std::string(253, 'x');
    ExpectAll({
        {"empty", "", ProfileCheck::Empty},
        {"exactly the size limit", padded(kMaxProfileBytes), ProfileCheck::Ok},
        {"one byte over", padded(kMaxProfileBytes + 1), ProfileCheck::TooLarge},
        {"size is judged before a zero byte", large_with_nul, ProfileCheck::TooLarge},
        {"zero byte", Replaced("nobind", std::string("no\0bind", 7)), ProfileCheck::ContainsNul},
        {"line of 254", With(line254), ProfileCheck::Ok},
        {"comment line of 255", With(line254 + "x"), ProfileCheck::LineTooLong},
        {"line of 256", With(line254 + "xx"), ProfileCheck::LineTooLong},
        {"directive line of 300", With("verb 3" + std::string(294, ' ')),
         ProfileCheck::LineTooLong},
        {"last line of 255 without line feed", kProfile + line254 + "x", ProfileCheck::LineTooLong},
        {"CR counts", With(line254 + "\r"), ProfileCheck::LineTooLong},
        {"inside a block", Replaced("</ca>", std::string(255, 'A') + "\n</ca>"),
         ProfileCheck::LineTooLong},
        {"first failing line decides", With("auth SHA256\n" + line254 + "x"),
         ProfileCheck::DisallowedDirective},
    });
}

TEST(OpenVpnProfileTest, LineRules) {
    const std::string remote = "remote vpn.example.net 1194";
    const auto port = [&remote](const std::string& p) {
        return Replaced(remote, "remote vpn.example.net " + p);
    };
    ExpectAll({
        {"dev tun0", Replaced("dev tun", "dev tun0"), ProfileCheck::DevNotTun},
        {"dev tap", Replaced("dev tun", "dev tap"), ProfileCheck::DevNotTun},
        {"dev TUN", Replaced("dev tun", "dev TUN"), ProfileCheck::DevNotTun},
        {"dev, third word", Replaced("dev tun", "dev tun x"), ProfileCheck::DevNotTun},
        {"dev fails at its line", Replaced("dev tun", "dev tap\nup x"), ProfileCheck::DevNotTun},
        {"no dev line", Replaced("dev tun", ""), ProfileCheck::DevNotTun},
        {"no dev, later bad line", Replaced("dev tun", "up x"), ProfileCheck::DisallowedDirective},

        {"unknown proto", Replaced("proto udp", "proto tcp-server"),
         ProfileCheck::ProtoUnsupported},
        {"only proto line has three words", Replaced("proto udp", "proto udp tcp"),
         ProfileCheck::ProtoUnsupported},
        {"three words keep the verdict", Replaced("proto udp", "proto udp\nproto x y"),
         ProfileCheck::Ok},
        {"last two-word line decides", Replaced("proto udp", "proto udp\nproto icmp"),
         ProfileCheck::ProtoUnsupported},
        {"last two-word line decides, again", Replaced("proto udp", "proto icmp\nproto tcp6"),
         ProfileCheck::Ok},
        {"no proto line", Replaced("proto udp", ""), ProfileCheck::ProtoUnsupported},

        {"bare remote", Replaced(remote, "remote"), ProfileCheck::BadRemote},
        {"host of 254", Replaced(remote, "remote " + std::string(254, 'h')),
         ProfileCheck::LineTooLong},
        {"host with DEL", Replaced(remote, "remote vpn\x7f.net"), ProfileCheck::BadRemote},
        {"host with inner CR", Replaced(remote, "remote vpn\r.net 1"), ProfileCheck::BadRemote},
        {"port with a letter", port("11a4"), ProfileCheck::BadRemote},
        {"port of six digits", port("001194"), ProfileCheck::BadRemote},
        // Digits only, no range: a five-digit value above 65535 passes and OpenVPN refuses it.
        {"port 99999", port("99999"), ProfileCheck::Ok},
        {"port with leading zeros", port("00443"), ProfileCheck::Ok},
        {"bad remote after a good one", Replaced(remote, remote + "\nremote x -1"),
         ProfileCheck::BadRemote},
        {"no remote", Replaced(remote, ""), ProfileCheck::MissingRemote},

        {"credentials file, then a bare line",
         Replaced("auth-user-pass", "auth-user-pass creds.txt\nauth-user-pass"),
         ProfileCheck::AuthUserPassHasArgument},
        {"no auth-user-pass", Replaced("auth-user-pass", ""), ProfileCheck::MissingAuthUserPass},
        {"no client", Replaced("client", ""), ProfileCheck::MissingClient},

        {"directive in capitals", Replaced("client", "CLIENT"), ProfileCheck::DisallowedDirective},
        {"script hook", With("script-security 2\nup evil.cmd"), ProfileCheck::DisallowedDirective},
        {"option prefix", Replaced("client", "--client"), ProfileCheck::DisallowedDirective},
        {"vertical tab is no blank", Replaced("client", "\vclient"),
         ProfileCheck::DisallowedDirective},
        {"inline key", With("<key>\nMIIE\n</key>"), ProfileCheck::DisallowedDirective},
        {"tag with trailing text", Replaced("<ca>", "<ca> x"), ProfileCheck::DisallowedDirective},
    });
}

// OpenVPN, running as the user, truncates and rewrites the status file: only a bare name in its
// working directory may be given.
TEST(OpenVpnProfileTest, StatusTakesOnlyABareFileName) {
    const auto status = [](const std::string& args) { return With("status" + args); };
    ExpectAll({
        {"bare name", status(" openvpn-status.log"), ProfileCheck::Ok},
        {"bare name and interval", status("\tstatus_1.txt  30"), ProfileCheck::Ok},
        {"no file", status(""), ProfileCheck::DisallowedDirective},
        {"absolute path", status(" C:\\Users\\me\\ntuser.dat"), ProfileCheck::DisallowedDirective},
        {"drive relative", status(" C:x.log"), ProfileCheck::DisallowedDirective},
        {"UNC path", status(" \\\\host\\share\\x"), ProfileCheck::DisallowedDirective},
        {"forward slashes", status(" //host/share/x"), ProfileCheck::DisallowedDirective},
        {"relative path", status(" sub/x.log"), ProfileCheck::DisallowedDirective},
        {"parent", status(" .."), ProfileCheck::DisallowedDirective},
        {"dot name", status(" .profile"), ProfileCheck::DisallowedDirective},
        {"alternate stream", status(" x.log:stream"), ProfileCheck::DisallowedDirective},
        {"quoted", status(" \"a b\""), ProfileCheck::DisallowedDirective},
        {"device", status(" NUL"), ProfileCheck::DisallowedDirective},
        {"device, lower case, extension", status(" con.txt"), ProfileCheck::DisallowedDirective},
        {"device COM1", status(" COM1"), ProfileCheck::DisallowedDirective},
        {"device LPT9 with interval", status(" lpt9.log 5"), ProfileCheck::DisallowedDirective},
        {"device CONOUT$", status(" CONOUT$"), ProfileCheck::DisallowedDirective},
        {"not a device: COM10", status(" COM10"), ProfileCheck::Ok},
        {"not a device: console.log", status(" console.log"), ProfileCheck::Ok},
        {"interval with a letter", status(" x.log 5s"), ProfileCheck::DisallowedDirective},
        {"extra word", status(" x.log 5 6"), ProfileCheck::DisallowedDirective},
        {"name of 65 bytes", status(" " + std::string(65, 'x')), ProfileCheck::DisallowedDirective},
        {"name of 64 bytes", status(" " + std::string(64, 'x')), ProfileCheck::Ok},
    });
    ProfileSummary summary;
    ASSERT_EQ(ValidateProfile(status(" first.log\nstatus last.log 10"), &summary),
              ProfileCheck::Ok);
    EXPECT_EQ(summary.status_file, "last.log");
}

TEST(OpenVpnProfileTest, InlineBlocks) {
    const std::string no_blocks = kProfile.substr(0, kProfile.find("<ca>"));
    ExpectAll({
        {"ends inside the CA block", no_blocks + "<ca>\nMIIB\n", ProfileCheck::BadInlineBlock},
        {"ends inside the TLS-auth block", Replaced("</tls-auth>", ""),
         ProfileCheck::BadInlineBlock},
        {"open block outranks a missing client", "<ca>\nMIIB\n", ProfileCheck::BadInlineBlock},
        {"closing tag outside a block", With("</ca>"), ProfileCheck::BadInlineBlock},
        {"other closing tag outside a block", With("</tls-auth>"), ProfileCheck::BadInlineBlock},
        {"indented closing tag with CRLF", Replaced("</ca>", "  </ca>\r"), ProfileCheck::Ok},
        {"commented closing tag", Replaced("</ca>", "# </ca>\n</ca>"), ProfileCheck::Ok},
        {"no CA block", no_blocks, ProfileCheck::MissingCa},
        {"TLS-auth block is no CA block", no_blocks + kBlocks.substr(kBlocks.find("<tls-auth>")),
         ProfileCheck::MissingCa},
    });
}

// Regression guard: OpenVPN ends an inline block at the first line that starts with the closing
// tag after leading white space and drops the rest of that line. A closing tag this validator did
// not recognise would let the lines after it reach OpenVPN as unchecked directives.
TEST(OpenVpnProfileTest, ClosingTagLookalikesInsideABlockAreRefused) {
    const std::string smuggled = "\nscript-security 2\nup evil.cmd\n<ca>\nMIIB\n</ca>";
    for (const char* lookalike :
         {"</ca> x", "</ca>x", "\v</ca>", "\f  </ca>", "</ca\t>", "MIIB</ca>", "</tls-auth>"}) {
        EXPECT_EQ(Check(Replaced("</ca>", lookalike + smuggled)), ProfileCheck::BadInlineBlock)
            << lookalike;
    }
    EXPECT_EQ(Check(Replaced("</tls-auth>", "</tls-auth> x\nup evil.cmd\n</tls-auth>")),
              ProfileCheck::BadInlineBlock);
}

// Each end-of-profile rule in its order: adding the missing piece moves on to the next one.
TEST(OpenVpnProfileTest, EndChecksInOrder) {
    const struct {
        const char* add;
        ProfileCheck expected;
    } steps[] = {
        {"# only a comment", ProfileCheck::MissingClient},
        {"client", ProfileCheck::DevNotTun},
        {"dev tun", ProfileCheck::ProtoUnsupported},
        {"proto udp", ProfileCheck::MissingRemote},
        {"remote 192.0.2.1 1194", ProfileCheck::MissingAuthUserPass},
        {"auth-user-pass pass.txt", ProfileCheck::AuthUserPassHasArgument},
        {"<tls-auth>\n00ff\n</tls-auth>", ProfileCheck::AuthUserPassHasArgument},
    };
    std::string profile;
    for (const auto& step : steps) {
        profile += std::string(step.add) + "\n";
        EXPECT_EQ(Check(profile), step.expected) << "after " << step.add;
    }
    profile = Replaced("auth-user-pass pass.txt", "auth-user-pass", profile);
    EXPECT_EQ(Check(profile), ProfileCheck::MissingCa);
    EXPECT_EQ(Check(profile + "<ca>\nMIIB\n</ca>"), ProfileCheck::Ok);
}

TEST(OpenVpnProfileTest, EnsureDirective) {
    const std::string no_final_line_feed = kProfile.substr(0, kProfile.size() - 1);
    const struct {
        const char* name;
        std::string profile;
        std::string expected;
    } cases[] = {
        {"empty", "", "auth-nocache\n"},
        {"ends with LF", "client\n", "client\nauth-nocache\n"},
        {"no final LF", "client", "client\nauth-nocache\n"},
        {"ends with CRLF", "client\r\n", "client\r\nauth-nocache\n"},
        {"present", "client\nauth-nocache\nverb 3", "client\nauth-nocache\nverb 3"},
        {"present, indented, CRLF", "x\r\n\t auth-nocache \r\n", "x\r\n\t auth-nocache \r\n"},
        {"present with arguments", "auth-nocache yes\n", "auth-nocache yes\n"},
        {"commented out", "client\n# auth-nocache\n", "client\n# auth-nocache\nauth-nocache\n"},
        {"commented out with ;", " ;auth-nocache", " ;auth-nocache\nauth-nocache\n"},
        {"only as an argument", "verb auth-nocache\n", "verb auth-nocache\nauth-nocache\n"},
        {"only as part of a word", "auth-nocache-x\n", "auth-nocache-x\nauth-nocache\n"},
        {"only inside a block", "<ca>\nauth-nocache\n</ca>\n",
         "<ca>\nauth-nocache\n</ca>\nauth-nocache\n"},
        {"after a block", "<ca>\nM\n</ca>\nauth-nocache\n", "<ca>\nM\n</ca>\nauth-nocache\n"},
        {"real profile, no final LF", no_final_line_feed, kProfile + "auth-nocache\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(EnsureDirective(c.profile, "auth-nocache"), c.expected) << c.name;
    }
    // What both programs stage: the result still passes, and a second pass changes nothing.
    const common::SecureStdString ensured = EnsureDirective(no_final_line_feed, "auth-nocache");
    EXPECT_EQ(Check(ensured), ProfileCheck::Ok);
    EXPECT_EQ(EnsureDirective(ensured, "auth-nocache"), ensured);

    for (const std::string& directive :
         {std::string(""), std::string("up evil.cmd"), std::string("x\nscript-security 2"),
          std::string("auth-nocache\r"), std::string("a\0b", 3)}) {
        EXPECT_EQ(EnsureDirective("client\n", directive), "client\n") << "not a single word";
    }
}

}  // namespace
}  // namespace lumet::openvpn
