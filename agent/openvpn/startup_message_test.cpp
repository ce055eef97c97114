// The interactive service's startup message: layout, byte order and the size bounds.
#include "agent/openvpn/startup_message.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace lumet::agent::openvpn {
namespace {

std::vector<uint8_t> Le(std::u16string_view units) {
    std::vector<uint8_t> out;
    for (const char16_t u : units) {
        out.push_back(static_cast<uint8_t>(u & 0xFF));
        out.push_back(static_cast<uint8_t>(u >> 8));
    }
    return out;
}

TEST(StartupMessageTest, ThreePartsEachEndingInNulAsUtf16Le) {
    LaunchRequest request{L"C:\\w", L"--config \"a b.ovpn\"", L"pw\n"};
    common::SecureBuffer message;
    ASSERT_TRUE(BuildStartupMessage(request, &message));
    EXPECT_EQ(message.bytes(), Le(std::u16string(u"C:\\w\0--config \"a b.ovpn\"\0pw\n\0", 29)));

    // Non-ASCII text keeps its UTF-16 units, low byte first.
    request = {L"\u00e9", L"", L"\u4e2d"};
    ASSERT_TRUE(BuildStartupMessage(request, &message));
    EXPECT_EQ(message.bytes(), (std::vector<uint8_t>{0xE9, 0x00, 0, 0, 0, 0, 0x2D, 0x4E, 0, 0}));

    // An empty request is still three terminators.
    ASSERT_TRUE(BuildStartupMessage(LaunchRequest{}, &message));
    EXPECT_EQ(message.size(), 6u);
}

TEST(StartupMessageTest, BoundsAreCountedInUtf16Units) {
    // 1024 units in all (three of them terminators) is the largest message.
    LaunchRequest request{L"dir", std::wstring(1024 - 3 - 3 - 1, L'o'), L"p"};
    common::SecureBuffer message;
    ASSERT_TRUE(BuildStartupMessage(request, &message));
    EXPECT_EQ(message.size(), 2048u);

    request.options.push_back(L'o');  // 1025 units
    message = common::SecureBuffer(std::vector<uint8_t>{1, 2});
    EXPECT_FALSE(BuildStartupMessage(request, &message));
    EXPECT_TRUE(message.empty());

    if constexpr (sizeof(wchar_t) == 4) {
        // A character beyond the BMP takes two units, so it pushes a full message over the edge.
        LaunchRequest wide{L"", std::wstring(1024 - 3 - 2, L'o'), L"\U0001F600"};
        ASSERT_TRUE(BuildStartupMessage(wide, &message));
        EXPECT_EQ(message.size(), 2048u);
        wide.options.push_back(L'o');
        EXPECT_FALSE(BuildStartupMessage(wide, &message));
    }
}

}  // namespace
}  // namespace lumet::agent::openvpn
