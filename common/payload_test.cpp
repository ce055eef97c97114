#include "common/payload.h"

#include <gtest/gtest.h>

#include <string>

#include "common/frame.h"

namespace lumet::common {
namespace {

using Bytes = std::vector<uint8_t>;

TEST(PayloadTest, IntegersAreLittleEndianAndUnpadded) {
    PayloadWriter w;
    w.WriteU8(0xAB);
    w.WriteBool(true);
    w.WriteBool(false);
    w.WriteU16(0x1234);
    w.WriteU32(0xDEADBEEF);
    w.WriteU64(0x0102030405060708ull);
    const Bytes expected = {0xAB, 1,    0,    0x34, 0x12, 0xEF, 0xBE, 0xAD, 0xDE,
                            0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01};
    EXPECT_EQ(w.bytes(), expected);

    PayloadReader r(expected);
    uint8_t u8 = 0;
    bool b1 = false, b2 = true;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    uint64_t u64 = 0;
    EXPECT_TRUE(r.ReadU8(&u8) && r.ReadBool(&b1) && r.ReadBool(&b2) && r.ReadU16(&u16) &&
                r.ReadU32(&u32) && r.ReadU64(&u64));
    EXPECT_EQ(u8, 0xAB);
    EXPECT_TRUE(b1);
    EXPECT_FALSE(b2);
    EXPECT_EQ(u16, 0x1234);
    EXPECT_EQ(u32, 0xDEADBEEFu);
    EXPECT_EQ(u64, 0x0102030405060708ull);
    EXPECT_EQ(r.remaining(), 0u);

    EXPECT_EQ(w.Take(), expected);
    EXPECT_TRUE(w.bytes().empty());
}

TEST(PayloadTest, AnyNonZeroByteReadsAsTrue) {
    const Bytes bytes = {2, 0xFF, 0};
    PayloadReader r(bytes);
    bool a = false, b = false, c = true;
    ASSERT_TRUE(r.ReadBool(&a) && r.ReadBool(&b) && r.ReadBool(&c));
    EXPECT_TRUE(a);
    EXPECT_TRUE(b);
    EXPECT_FALSE(c);
}

TEST(PayloadTest, StringAndListWireBytes) {
    PayloadWriter w;
    ASSERT_TRUE(w.WriteString("abc"));
    EXPECT_EQ(w.Take(), (Bytes{0x03, 0x00, 0x61, 0x62, 0x63}));
    ASSERT_TRUE(w.WriteString(""));
    EXPECT_EQ(w.Take(), (Bytes{0x00, 0x00}));
    ASSERT_TRUE(w.WriteStringList({"a", "bc"}));
    const Bytes list = {0x02, 0x00, 0x01, 0x00, 0x61, 0x02, 0x00, 0x62, 0x63};
    EXPECT_EQ(w.Take(), list);
    ASSERT_TRUE(w.WriteStringList({}));
    EXPECT_EQ(w.Take(), (Bytes{0x00, 0x00}));

    std::vector<std::string> read = {"stale"};
    PayloadReader r(list);
    ASSERT_TRUE(r.ReadStringList(&read));
    EXPECT_EQ(read, (std::vector<std::string>{"a", "bc"}));
}

// Strings are bytes on the wire: embedded NULs and invalid UTF-8 travel unchanged.
TEST(PayloadTest, StringBytesAreCopiedVerbatim) {
    const std::string odd("a\0\xFF\xC3(", 5);
    PayloadWriter w;
    ASSERT_TRUE(w.WriteString(odd));
    const Bytes bytes = w.Take();
    PayloadReader r(bytes);
    std::string out = "previous content";
    ASSERT_TRUE(r.ReadString(&out));
    EXPECT_EQ(out, odd);
}

TEST(PayloadTest, StringLimitAtItsEdge) {
    const std::string largest(kMaxStringBytes, 'x');
    PayloadWriter w;
    ASSERT_TRUE(w.WriteString(largest));
    const Bytes bytes = w.Take();
    ASSERT_EQ(bytes.size(), kMaxStringBytes + 2);
    PayloadReader r(bytes);
    std::string out;
    ASSERT_TRUE(r.ReadString(&out));
    EXPECT_EQ(out, largest);

    EXPECT_FALSE(w.WriteString(std::string(kMaxStringBytes + 1, 'x')));
    EXPECT_TRUE(w.bytes().empty());

    // A peer announcing 32769 bytes is refused even when that many bytes follow.
    Bytes oversized = {0x01, 0x80};
    oversized.resize(2 + kMaxStringBytes + 1, 'y');
    PayloadReader r2(oversized);
    EXPECT_FALSE(r2.ReadString(&out));
    EXPECT_FALSE(r2.Ok());
}

TEST(PayloadTest, ListLimitAtItsEdge) {
    std::vector<std::string> largest;
    for (size_t i = 0; i < kMaxListEntries; ++i)
        largest.push_back(std::to_string(i));
    PayloadWriter w;
    ASSERT_TRUE(w.WriteStringList(largest));
    const Bytes bytes = w.Take();
    PayloadReader r(bytes);
    std::vector<std::string> out;
    ASSERT_TRUE(r.ReadStringList(&out));
    EXPECT_EQ(out, largest);

    std::vector<std::string> too_many = largest;
    too_many.push_back("64");
    EXPECT_FALSE(w.WriteStringList(too_many));
    EXPECT_TRUE(w.bytes().empty());

    // One oversized entry anywhere refuses the whole list rather than leaving a count that
    // promises entries which were never written.
    EXPECT_FALSE(w.WriteStringList({"fine", std::string(kMaxStringBytes + 1, 'z')}));
    EXPECT_TRUE(w.bytes().empty());

    Bytes count65 = {65, 0};
    for (int i = 0; i < 65; ++i)
        count65.insert(count65.end(), {0, 0});
    PayloadReader r2(count65);
    EXPECT_FALSE(r2.ReadStringList(&out));
    EXPECT_FALSE(r2.Ok());
}

// Each row fails at some read; every read after it must fail too, without moving the cursor,
// even where it would otherwise fit.
TEST(PayloadTest, FailureIsSticky) {
    struct Case {
        const char* name;
        Bytes bytes;
        bool (*fail)(PayloadReader&);
    };
    const std::vector<Case> cases = {
        {"u64 short",
         {1, 2, 3, 4, 5, 6, 7},
         [](PayloadReader& r) {
             uint64_t v = 0;
             return r.ReadU64(&v);
         }},
        {"string count beyond end",
         {9, 0, 'a', 'b', 0, 0, 0, 0},
         [](PayloadReader& r) {
             std::string s;
             return r.ReadString(&s);
         }},
        {"string count byte only",
         {5},
         [](PayloadReader& r) {
             std::string s;
             return r.ReadString(&s);
         }},
        {"list entry short",
         {2, 0, 1, 0, 'a', 9, 0, 0, 0, 0, 0},
         [](PayloadReader& r) {
             std::vector<std::string> l;
             return r.ReadStringList(&l);
         }},
        {"null output", {0, 0, 0, 0}, [](PayloadReader& r) { return r.ReadU16(nullptr); }},
    };
    for (const Case& c : cases) {
        PayloadReader r(c.bytes);
        EXPECT_FALSE(c.fail(r)) << c.name;
        EXPECT_FALSE(r.Ok()) << c.name;
        const size_t left = r.remaining();
        uint8_t u8 = 0x77;
        uint16_t u16 = 0x7777;
        std::string s = "kept";
        EXPECT_FALSE(r.ReadU8(&u8)) << c.name;
        EXPECT_FALSE(r.ReadU16(&u16)) << c.name;
        EXPECT_FALSE(r.ReadString(&s)) << c.name;
        EXPECT_EQ(u8, 0x77) << c.name;
        EXPECT_EQ(u16, 0x7777) << c.name;
        EXPECT_EQ(s, "kept") << c.name;
        EXPECT_EQ(r.remaining(), left) << c.name;
    }
}

TEST(PayloadTest, EmptyOrNullRangeFailsFirstRead) {
    PayloadReader null_range(nullptr, 16);
    uint8_t v = 0;
    EXPECT_FALSE(null_range.ReadU8(&v));
    PayloadReader empty(Bytes{});
    std::string s;
    EXPECT_FALSE(empty.ReadString(&s));
}

TEST(PayloadTest, WriterKeepsContentAcrossGrowthAndMoves) {
    // Growth is done by hand (to wipe the old block), so check nothing is lost or reordered.
    PayloadWriter w;
    Bytes expected;
    for (uint32_t i = 0; i < 5000; ++i) {
        w.WriteU32(i * 2654435761u);
        for (int k = 0; k < 4; ++k)
            expected.push_back(static_cast<uint8_t>((i * 2654435761u) >> (8 * k)));
    }
    ASSERT_TRUE(w.WriteString(std::string(3000, 'q')));
    expected.push_back(0xB8);
    expected.push_back(0x0B);
    expected.insert(expected.end(), 3000, 'q');
    EXPECT_EQ(w.bytes(), expected);

    PayloadWriter moved(std::move(w));
    EXPECT_TRUE(w.bytes().empty());  // NOLINT(bugprone-use-after-move)
    PayloadWriter copy;
    copy.WriteU8(9);
    copy = moved;
    EXPECT_EQ(copy.Take(), expected);
    EXPECT_EQ(moved.Take(), expected);
}

}  // namespace
}  // namespace lumet::common
