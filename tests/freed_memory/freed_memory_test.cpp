// Whether secret text survives in heap blocks after they are freed: growth of the secure types,
// temporaries built from a secret, conversions and decoding. Every block freed through the global
// operator delete while a check runs is searched for a marker secret (as bytes and as wide text).
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "agent/openvpn/coordinator_rules.h"
#include "agent/openvpn/coordinator_types.h"
#include "agent/openvpn/management_commands.h"
#include "agent/openvpn/startup_message.h"
#include "common/payload.h"
#include "common/secure_buffer.h"
#include "common/utf.h"

namespace {

// Longer than any short-string buffer, so it always lives on the heap.
constexpr std::string_view kMarker = "Marker-Secret-9f27c1d4e8a0b6";
constexpr std::wstring_view kWideMarker = L"Marker-Secret-9f27c1d4e8a0b6";

// Each block carries its size in front, so that delete knows how much to search.
constexpr size_t kHeader = 16;
std::atomic<bool> g_watching{false};
std::atomic<int> g_blocks_with_marker{0};

bool Contains(const unsigned char* block, size_t size, const void* needle, size_t needle_size) {
    const auto* n = static_cast<const unsigned char*>(needle);
    return std::search(block, block + size, n, n + needle_size) != block + size;
}

void Inspect(const unsigned char* block, size_t size) {
    if (Contains(block, size, kMarker.data(), kMarker.size()) ||
        Contains(block, size, kWideMarker.data(), kWideMarker.size() * sizeof(wchar_t))) {
        g_blocks_with_marker.fetch_add(1);
    }
}

void* Allocate(size_t size) {
    auto* base = static_cast<unsigned char*>(std::malloc(size + kHeader));
    if (base == nullptr) {
        throw std::bad_alloc();
    }
    std::memcpy(base, &size, sizeof(size));
    return base + kHeader;
}

void Release(void* block) noexcept {
    if (block == nullptr) {
        return;
    }
    unsigned char* base = static_cast<unsigned char*>(block) - kHeader;
    size_t size = 0;
    std::memcpy(&size, base, sizeof(size));
    if (g_watching.load()) {
        Inspect(base + kHeader, size);
    }
    std::free(base);
}

// Runs `work` and returns how many blocks freed meanwhile held the marker (the objects `work`
// builds must be destroyed inside it).
int FreedBlocksWithMarker(const std::function<void()>& work) {
    g_blocks_with_marker.store(0);
    g_watching.store(true);
    work();
    g_watching.store(false);
    return g_blocks_with_marker.load();
}

}  // namespace

void* operator new(size_t size) {
    return Allocate(size);
}
void* operator new[](size_t size) {
    return Allocate(size);
}
void operator delete(void* block) noexcept {
    Release(block);
}
void operator delete[](void* block) noexcept {
    Release(block);
}
void operator delete(void* block, size_t) noexcept {
    Release(block);
}
void operator delete[](void* block, size_t) noexcept {
    Release(block);
}

namespace lumet::common {
namespace {

struct Case {
    const char* name;
    std::function<void()> work;
};

TEST(FreedMemory, PlainStringGrowthLeavesTheSecretBehind) {
    // The detector itself: an ordinary string that grows frees its old block with the secret.
    EXPECT_GT(FreedBlocksWithMarker([] {
                  std::string text(kMarker);
                  for (int i = 0; i < 256; ++i) {
                      text.push_back('x');
                  }
                  SecureZero(text.data(), text.size());
              }),
              0);
}

TEST(FreedMemory, SecureTypesAndSecretTextLeaveNoCopy) {
    const Case cases[] = {
        {"string growth",
         [] {
             SecureString secret;
             secret.str().append(kMarker);
             for (int i = 0; i < 256; ++i) {
                 secret.str().push_back('x');
             }
         }},
        {"string from plain text",
         [] {
             std::string plain(kMarker);
             SecureString secret(std::move(plain));
             secret.str().append(512, 'x');
         }},
        {"wide string growth",
         [] {
             SecureWString secret;
             secret.str().append(kWideMarker);
             for (int i = 0; i < 256; ++i) {
                 secret.str().push_back(L'x');
             }
         }},
        {"buffer growth",
         [] {
             SecureBuffer secret;
             secret.bytes().assign(kMarker.begin(), kMarker.end());
             for (int i = 0; i < 256; ++i) {
                 secret.bytes().push_back(0x78);
             }
         }},
        {"buffer from plain bytes",
         [] {
             std::vector<uint8_t> plain(kMarker.begin(), kMarker.end());
             SecureBuffer secret(std::move(plain));
             secret.bytes().resize(1024);
         }},
        {"moved and reassigned",
         [] {
             SecureString first;
             first.str().assign(kMarker);
             SecureString second(std::move(first));
             second = SecureString(std::string(kMarker));
         }},
        // The management password handed to openvpn.exe's standard input: converted to wide
        // text and a line feed appended (which reallocates).
        {"wide conversion and line feed",
         [] {
             SecureString password;
             password.str().assign(kMarker);
             SecureStdWString line = Utf8ToWide(password.str());
             line.push_back(L'\n');
             line.append(256, L'x');
         }},
        {"startup message",
         [] {
             agent::openvpn::LaunchRequest launch;
             launch.working_directory = L"C:\\dir";
             launch.options = L"--config x.ovpn";
             SecureString password;
             password.str().assign(kMarker);
             launch.stdin_text = Utf8ToWide(password.str());
             launch.stdin_text.push_back(L'\n');
             SecureBuffer message;
             ASSERT_TRUE(agent::openvpn::BuildStartupMessage(launch, &message));
         }},
        {"management credential command",
         [] {
             auto command = agent::openvpn::CredentialCommand(
                 agent::openvpn::CredentialKind::Password, kMarker);
             ASSERT_TRUE(command.has_value());
             command->str().append(256, 'x');
         }},
        {"decoded from a payload",
         [] {
             PayloadWriter writer;
             writer.WriteU32(7);
             ASSERT_TRUE(writer.WriteString(kMarker));
             SecureBuffer body(writer.Take());
             PayloadReader reader(body.data(), body.size());
             uint32_t attempt = 0;
             SecureString secret;
             ASSERT_TRUE(reader.ReadU32(&attempt));
             ASSERT_TRUE(reader.ReadString(&secret.str()));
             secret.str().append(256, 'x');
         }},
        // The agent's road for an OpenVPN start: decoded from the plugin's payload into a start
        // request, copied for the attempt, the profile amended, moved to the attempt's thread.
        {"start request from a payload to the attempt",
         [] {
             SecureStdString profile("client\n# ");
             profile.append(kMarker).append("\n");
             PayloadWriter writer;
             ASSERT_TRUE(writer.WriteString(profile));
             ASSERT_TRUE(writer.WriteString(kMarker));
             ASSERT_TRUE(writer.WriteString(kMarker));
             SecureBuffer body(writer.Take());
             PayloadReader reader(body.data(), body.size());
             agent::openvpn::StartRequest request;
             ASSERT_TRUE(reader.ReadString(&request.config));
             ASSERT_TRUE(reader.ReadString(&request.username));
             ASSERT_TRUE(reader.ReadString(&request.password));
             agent::openvpn::StartRequest copy(request);
             SecureStdString amended;
             // A comment-only profile is refused; the amended text exists all the same.
             static_cast<void>(agent::openvpn::PrepareProfile(copy.config, &amended));
             ASSERT_NE(std::string_view(amended).find(kMarker), std::string_view::npos);
             copy.config = std::move(amended);
             copy.password.append(256, 'x');
             auto owned = std::make_unique<agent::openvpn::StartRequest>(std::move(copy));
             owned->WipeCredentials();
         }},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(FreedBlocksWithMarker(c.work), 0) << c.name;
    }
}

}  // namespace
}  // namespace lumet::common
