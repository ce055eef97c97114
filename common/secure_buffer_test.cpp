#include "common/secure_buffer.h"

#include <gtest/gtest.h>

#include <algorithm>

namespace lumet::common {
namespace {

bool AllZero(const uint8_t* p, size_t n) {
    return std::all_of(p, p + n, [](uint8_t b) { return b == 0; });
}

// The storage stays allocated after a wipe (clear keeps capacity), so the bytes that held the
// secret can be inspected without touching freed memory.
TEST(SecureBufferTest, WipeZeroesEveryByteUpToCapacity) {
    std::vector<uint8_t> v(64, 0xAB);
    v.resize(10);  // the 54 bytes past size() still hold secret material
    const uint8_t* p = v.data();
    const size_t cap = v.capacity();
    WipeBytes(v);
    EXPECT_TRUE(v.empty());
    EXPECT_TRUE(AllZero(p, cap));
}

TEST(SecureBufferTest, WipeStringCoversShortAndLongStrings) {
    for (size_t len : {3u, 15u, 200u}) {
        std::string s(len, 'k');
        const char* p = s.data();
        const size_t cap = s.capacity();
        WipeString(s);
        EXPECT_TRUE(s.empty());
        EXPECT_TRUE(AllZero(reinterpret_cast<const uint8_t*>(p), cap)) << len;
    }
    std::wstring w(40, L'k');
    const wchar_t* wp = w.data();
    const size_t wcap = w.capacity();
    WipeString(w);
    EXPECT_TRUE(AllZero(reinterpret_cast<const uint8_t*>(wp), wcap * sizeof(wchar_t)));
}

TEST(SecureBufferTest, MoveHandsOverAndLeavesSourceEmpty) {
    SecureBuffer a(std::vector<uint8_t>{1, 2, 3});
    SecureBuffer b(std::move(a));
    EXPECT_TRUE(a.empty());  // NOLINT(bugprone-use-after-move): moved-from state is specified
    EXPECT_EQ(b.bytes(), (std::vector<uint8_t>{1, 2, 3}));
    SecureBuffer c;
    c = std::move(b);
    EXPECT_EQ(c.size(), 3u);
    c.Wipe();
    EXPECT_TRUE(c.empty());
}

}  // namespace
}  // namespace lumet::common
