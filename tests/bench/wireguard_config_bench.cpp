// Times ParseWireGuardConfig (parse, validate, render) on a configuration close to the 32 KiB
// input limit: sixteen peers with long AllowedIPs lists, comments and CRLF line ends, the worst
// case a client can send. Prints the mean time per parse.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "common/secure_buffer.h"
#include "service/wireguard/wireguard_config.h"

namespace wg = lumet::service::wireguard;

namespace {

constexpr const char* kKeys[] = {
    "3ZfXJt51ki35Rae5bKPsFSUjXggIcougcoWBydMyKGI=",
    "PPq7jA+DU81NYbF5mSuC/ZJRAHSvvaR816y49ayZMII=",
    "dyCPECZLyod3nv0xJOUE1w4YRpXjC9RlcouQb1R6Dd0=",
    "znRUGWqrFN33BH+Vj58iJIYbXTGKVcM+V4aZuOFSsB0=",
};

std::string AllowedIpsLine(int peer, int line) {
    std::string out = "AllowedIPs = ";
    for (int i = 0; i < 16; ++i) {
        out += (i ? ", " : "") + std::to_string(10 + peer) + "." + std::to_string(line) + "." +
               std::to_string(i * 16) + ".0/28";
    }
    return out + ", fd" + std::to_string(10 + peer) + ":" + std::to_string(line) + "::/64\r\n";
}

std::string LargeConfig() {
    std::string text = "# generated for the parser benchmark\r\n[Interface]\r\n";
    text += std::string("PrivateKey = ") + kKeys[0] + "\r\n";
    text +=
        "Address = 10.0.0.2/32, fd00::2/128\r\nDNS = 1.1.1.1, 2606:4700:4700::1111, "
        "dns.example.net\r\nMTU = 1420\r\nListenPort = 51820\r\n";
    std::string peers[wg::kMaxPeers];
    for (int p = 0; p < static_cast<int>(wg::kMaxPeers); ++p) {
        peers[p] = "\r\n[Peer]  # site " + std::to_string(p) + "\r\n";
        peers[p] += std::string("PublicKey = ") + kKeys[1 + p % 3] + "\r\n";
        peers[p] += std::string("PresharedKey = ") + kKeys[(p + 2) % 4] + "\r\n";
        peers[p] += "Endpoint = site" + std::to_string(p) + ".vpn.example.net:51820\r\n";
        peers[p] += "PersistentKeepalive = 25\r\n";
    }
    size_t size = text.size();
    for (const std::string& p : peers) {
        size += p.size();
    }
    // Grow the peers round-robin until one more line would cross the limit.
    for (int line = 0;; ++line) {
        const int p = line % static_cast<int>(wg::kMaxPeers);
        const std::string next = AllowedIpsLine(p, line);
        if (size + next.size() > wg::kMaxConfigTextBytes) {
            break;
        }
        peers[p] += next;
        size += next.size();
    }
    for (const std::string& p : peers) {
        text += p;
    }
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    const int iterations = argc > 1 ? std::atoi(argv[1]) : 2000;
    if (iterations <= 0) {
        std::fprintf(stderr, "usage: %s [iterations]\n", argv[0]);
        return 2;
    }
    std::string text = LargeConfig();
    wg::WireGuardConfigResult first = wg::ParseWireGuardConfig(text);
    if (first.code != wg::config_code::kAccepted) {
        std::fprintf(stderr, "benchmark configuration rejected with code %u\n", first.code);
        return 1;
    }
    const size_t rendered = first.canonical_text.size();
    lumet::common::WipeString(first.canonical_text);

    size_t checksum = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < iterations; ++i) {
        wg::WireGuardConfigResult result = wg::ParseWireGuardConfig(text);
        checksum += result.canonical_text.size() + result.code;
        lumet::common::WipeString(result.canonical_text);
    }
    const auto elapsed = std::chrono::steady_clock::now() - start;
    const double mean_us = std::chrono::duration<double, std::micro>(elapsed).count() /
                           static_cast<double>(iterations);
    if (checksum != rendered * static_cast<size_t>(iterations)) {
        std::fprintf(stderr, "unstable result\n");
        return 1;
    }
    std::printf(
        "wireguard_config: %zu-byte input, %zu-byte canonical text, %d parses, "
        "mean %.1f us per parse\n",
        text.size(), rendered, iterations, mean_us);
#if defined(__has_feature)
#if __has_feature(address_sanitizer)
    std::printf("note: built with AddressSanitizer; timings are inflated\n");
#endif
#endif
    lumet::common::WipeString(text);
    return 0;
}
