#include <flutter/basic_message_channel.h>
#include <flutter/encodable_value.h>
#include <flutter/standard_codec_serializer.h>
#include <flutter/standard_message_codec.h>

#include <gtest/gtest.h>

#include <any>
#include <cstdint>
#include <cstring>
#include <iostream>
#include <limits>
#include <sstream>
#include <string>
#include <variant>
#include <vector>

namespace {

using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableMap;
using flutter::EncodableValue;
using flutter::StandardMessageCodec;
using Bytes = std::vector<uint8_t>;

Bytes Encode(const EncodableValue& value,
             const flutter::StandardCodecSerializer* serializer = nullptr) {
    return *StandardMessageCodec::GetInstance(serializer).EncodeMessage(value);
}

EncodableValue Decode(const Bytes& bytes,
                      const flutter::StandardCodecSerializer* serializer = nullptr) {
    auto decoded = StandardMessageCodec::GetInstance(serializer).DecodeMessage(bytes);
    EXPECT_TRUE(decoded) << "the standard codec never reports a decode failure";
    return decoded ? *decoded : EncodableValue();
}

// Collects what the codec prints to std::cerr while it lives.
class CerrCapture {
  public:
    CerrCapture() : previous_(std::cerr.rdbuf(captured_.rdbuf())) {}
    ~CerrCapture() { std::cerr.rdbuf(previous_); }
    std::string text() const { return captured_.str(); }

  private:
    std::ostringstream captured_;
    std::streambuf* previous_;
};

Bytes Concat(Bytes head, const Bytes& tail) {
    head.insert(head.end(), tail.begin(), tail.end());
    return head;
}

struct Vector {
    const char* name;
    EncodableValue value;
    Bytes bytes;
};

// Each value encodes to exactly these bytes and decodes back to an equal value.
TEST(StandardCodecTest, WireVectorsRoundTrip) {
    const double kPi = 3.14159;
    Bytes pi(8);
    std::memcpy(pi.data(), &kPi, 8);
    const std::vector<Vector> vectors = {
        {"null", EncodableValue(), {0x00}},
        {"true", EncodableValue(true), {0x01}},
        {"false", EncodableValue(false), {0x02}},
        {"int32", EncodableValue(int32_t{0x12345678}), {0x03, 0x78, 0x56, 0x34, 0x12}},
        {"int64",
         EncodableValue(int64_t{0x0102030405060708}),
         {0x04, 0x08, 0x07, 0x06, 0x05, 0x04, 0x03, 0x02, 0x01}},
        {"string",
         EncodableValue("hello world"),
         {0x07, 0x0b, 'h', 'e', 'l', 'l', 'o', ' ', 'w', 'o', 'r', 'l', 'd'}},
        {"empty string", EncodableValue(""), {0x07, 0x00}},
        {"list",
         EncodableValue(EncodableList{EncodableValue(1), EncodableValue("a"), EncodableValue()}),
         {0x0c, 0x03, 0x03, 0x01, 0x00, 0x00, 0x00, 0x07, 0x01, 'a', 0x00}},
        {"empty list", EncodableValue(EncodableList{}), {0x0c, 0x00}},
        {"map",
         EncodableValue(EncodableMap{{EncodableValue("a"), EncodableValue(1)}}),
         {0x0d, 0x01, 0x07, 0x01, 'a', 0x03, 0x01, 0x00, 0x00, 0x00}},
        // Doubles align to 8 from the start of the message, however deep they sit.
        {"double", EncodableValue(kPi), Concat({0x06, 0, 0, 0, 0, 0, 0, 0}, pi)},
        {"double in list", EncodableValue(EncodableList{EncodableValue(kPi)}),
         Concat({0x0c, 0x01, 0x06, 0, 0, 0, 0, 0}, pi)},
        {"double in nested list",
         EncodableValue(EncodableList{EncodableValue(EncodableList{EncodableValue(kPi)})}),
         Concat({0x0c, 0x01, 0x0c, 0x01, 0x06, 0, 0, 0}, pi)},
        {"uint8 list", EncodableValue(Bytes{1, 2, 3}), {0x08, 0x03, 1, 2, 3}},
        {"int32 list",
         EncodableValue(std::vector<int32_t>{1, -1}),
         {0x09, 0x02, 0, 0, 1, 0, 0, 0, 0xff, 0xff, 0xff, 0xff}},
        {"int32 list in list",
         EncodableValue(EncodableList{EncodableValue(std::vector<int32_t>{7})}),
         {0x0c, 0x01, 0x09, 0x01, 7, 0, 0, 0}},
        {"int64 list",
         EncodableValue(std::vector<int64_t>{2}),
         {0x0a, 0x01, 0, 0, 0, 0, 0, 0, 2, 0, 0, 0, 0, 0, 0, 0}},
        {"float64 list", EncodableValue(std::vector<double>{kPi}),
         Concat({0x0b, 0x01, 0, 0, 0, 0, 0, 0}, pi)},
        {"float32 list",
         EncodableValue(std::vector<float>{1.0f}),
         {0x0e, 0x01, 0, 0, 0x00, 0x00, 0x80, 0x3f}},
        {"empty typed list at the end", EncodableValue(std::vector<int64_t>{}), {0x0a, 0x00}},
        // The error envelope of generated host-API code: [code, message, details].
        {"error envelope",
         EncodableValue(EncodableList{EncodableValue("a_arg unexpectedly null."),
                                      EncodableValue("Error"), EncodableValue()}),
         Concat(Concat({0x0c, 0x03, 0x07, 0x18},
                       Bytes{'a', '_', 'a', 'r', 'g', ' ', 'u', 'n', 'e', 'x', 'p', 'e',
                             'c', 't', 'e', 'd', 'l', 'y', ' ', 'n', 'u', 'l', 'l', '.'}),
                {0x07, 0x05, 'E', 'r', 'r', 'o', 'r', 0x00})},
    };
    for (const auto& v : vectors) {
        SCOPED_TRACE(v.name);
        EXPECT_EQ(Encode(v.value), v.bytes);
        EXPECT_EQ(Decode(v.bytes), v.value);
    }
}

TEST(StandardCodecTest, SizePrefixBoundaries) {
    struct Case {
        size_t length;
        Bytes prefix;
    };
    const Case cases[] = {
        {253, {0x07, 0xfd}},
        {254, {0x07, 0xfe, 0xfe, 0x00}},
        {300, {0x07, 0xfe, 0x2c, 0x01}},
        {0xffff, {0x07, 0xfe, 0xff, 0xff}},
        {0x10000, {0x07, 0xff, 0x00, 0x00, 0x01, 0x00}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.length);
        const std::string text(c.length, 'x');
        const Bytes bytes = Encode(EncodableValue(text));
        ASSERT_EQ(bytes.size(), c.prefix.size() + c.length);
        EXPECT_EQ(Bytes(bytes.begin(), bytes.begin() + c.prefix.size()), c.prefix);
        EXPECT_EQ(Decode(bytes), EncodableValue(text));
    }
    // Lists use the same prefix for their element count.
    const EncodableList long_list(254, EncodableValue(true));
    const Bytes list_bytes = Encode(EncodableValue(long_list));
    EXPECT_EQ(Bytes(list_bytes.begin(), list_bytes.begin() + 4), (Bytes{0x0c, 0xfe, 0xfe, 0x00}));
    EXPECT_EQ(Decode(list_bytes), EncodableValue(long_list));
}

// The variant alternative, not the magnitude, picks the wire type; both read back as LongValue.
TEST(StandardCodecTest, IntegerWidthFollowsTheAlternative) {
    const int64_t kMax32 = std::numeric_limits<int32_t>::max();
    const int64_t kMin32 = std::numeric_limits<int32_t>::min();
    struct Case {
        EncodableValue value;
        uint8_t type;
        int64_t long_value;
    };
    const Case cases[] = {
        {EncodableValue(static_cast<int32_t>(kMax32)), 0x03, kMax32},
        {EncodableValue(static_cast<int32_t>(kMin32)), 0x03, kMin32},
        {EncodableValue(kMax32 + 1), 0x04, kMax32 + 1},
        {EncodableValue(kMin32 - 1), 0x04, kMin32 - 1},
        {EncodableValue(int64_t{5}), 0x04, 5},
        {EncodableValue(std::numeric_limits<int64_t>::min()), 0x04,
         std::numeric_limits<int64_t>::min()},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.long_value);
        const Bytes bytes = Encode(c.value);
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(bytes[0], c.type);
        EXPECT_EQ(bytes.size(), c.type == 0x03 ? 5u : 9u);
        const EncodableValue decoded = Decode(bytes);
        EXPECT_EQ(decoded.index(), c.value.index());
        EXPECT_EQ(decoded.LongValue(), c.long_value);
    }
    EXPECT_THROW(EncodableValue("7").LongValue(), std::bad_variant_access);
}

// The writer leaves an empty typed list unpadded but the reader aligns anyway, so a value after
// a misaligned empty list is misread. Every peer on this wire does this; keep it identical.
TEST(StandardCodecTest, EmptyTypedListIsWrittenUnpaddedButReadAligned) {
    const EncodableValue value(EncodableList{
        EncodableValue(true), EncodableValue(std::vector<int32_t>{}), EncodableValue(int32_t{7})});
    const Bytes bytes = Encode(value);
    EXPECT_EQ(bytes, (Bytes{0x0c, 0x03, 0x01, 0x09, 0x00, 0x03, 0x07, 0x00, 0x00, 0x00}));
    // Reading aligns from offset 5 to 8, skipping the int's type byte and first value bytes.
    EXPECT_EQ(Decode(bytes),
              EncodableValue(EncodableList{
                  EncodableValue(true), EncodableValue(std::vector<int32_t>{}), EncodableValue()}));
    // At an aligned offset nothing is skipped.
    const EncodableValue aligned(
        EncodableList{EncodableValue(std::vector<int32_t>{}), EncodableValue(int32_t{7})});
    EXPECT_EQ(Decode(Encode(aligned)), aligned);
}

TEST(StandardCodecTest, NullMessageDecodesToNullValueNotNullptr) {
    const auto& codec = StandardMessageCodec::GetInstance();
    auto from_pointer = codec.DecodeMessage(nullptr, 0);
    ASSERT_TRUE(from_pointer);
    EXPECT_TRUE(from_pointer->IsNull());
    auto from_vector = codec.DecodeMessage(Bytes{});
    ASSERT_TRUE(from_vector);
    EXPECT_TRUE(from_vector->IsNull());
}

TEST(StandardCodecTest, UnknownTypeByteReadsAsNullAndConsumesOnlyTheTypeByte) {
    CerrCapture cerr;
    EXPECT_TRUE(Decode({0x0f}).IsNull());
    EXPECT_TRUE(Decode({0x80, 0x01}).IsNull());
    EXPECT_EQ(Decode({0x0c, 0x02, 0x7f, 0x03, 0x01, 0x00, 0x00, 0x00}),
              EncodableValue(EncodableList{EncodableValue(), EncodableValue(1)}));
    EXPECT_NE(cerr.text().find("Unknown type in StandardCodecSerializer::ReadValueOfType: 15"),
              std::string::npos);
}

// Every prefix of a message, and size prefixes far beyond the message, decode without a crash
// or an allocation the size of the claimed length.
TEST(StandardCodecTest, TruncatedAndOversizedInputIsHarmless) {
    const EncodableValue rich(EncodableList{
        EncodableValue(3.5), EncodableValue(std::string(300, 'q')),
        EncodableValue(std::vector<int64_t>{1, 2}),
        EncodableValue(EncodableMap{{EncodableValue("k"), EncodableValue(std::vector<float>{2})}}),
        EncodableValue(int64_t{-9})});
    const Bytes full = Encode(rich);
    ASSERT_EQ(Decode(full), rich);
    CerrCapture cerr;
    for (size_t n = 0; n < full.size(); ++n) {
        Decode(Bytes(full.begin(), full.begin() + n));
    }
    const Bytes oversized[] = {
        {0x07, 0xff, 0xff, 0xff, 0xff, 0xff, 'a'},
        {0x0c, 0xff, 0xff, 0xff, 0xff, 0xff},
        {0x0d, 0xff, 0xff, 0xff, 0xff, 0x00, 0x00},
        {0x09, 0xff, 0xff, 0xff, 0xff, 0xff, 0, 0, 0, 0, 0, 0, 0},
        {0x0b, 0xfe, 0xff, 0xff, 0, 0, 0, 0, 0},
        {0x08, 0x05, 1, 2},
    };
    for (const auto& bytes : oversized) {
        EXPECT_TRUE(Decode(bytes).IsNull());
    }
    EXPECT_NE(cerr.text().find("Invalid read in StandardCodecByteStreamReader"), std::string::npos);
}

// Application types written by a serializer subclass, as generated channel code does.
struct Point {
    int32_t x;
    int32_t y;
};

struct Labelled {
    std::string label;
    int64_t count;
};

class PointSerializer : public flutter::StandardCodecSerializer {
  public:
    void WriteValue(const EncodableValue& value, flutter::ByteStreamWriter* stream) const override {
        if (const auto* custom = std::get_if<CustomEncodableValue>(&value)) {
            if (custom->type() == typeid(Point)) {
                const auto& point = std::any_cast<const Point&>(*custom);
                stream->WriteByte(0x80);
                stream->WriteInt32(point.x);
                stream->WriteInt32(point.y);
                return;
            }
            if (custom->type() == typeid(Labelled)) {
                const auto& labelled = std::any_cast<const Labelled&>(*custom);
                stream->WriteByte(0x81);
                WriteValue(EncodableValue(EncodableList{EncodableValue(labelled.label),
                                                        EncodableValue(labelled.count)}),
                           stream);
                return;
            }
        }
        StandardCodecSerializer::WriteValue(value, stream);
    }

  protected:
    EncodableValue ReadValueOfType(uint8_t type, flutter::ByteStreamReader* stream) const override {
        if (type == 0x80) {
            Point point{};
            point.x = stream->ReadInt32();
            point.y = stream->ReadInt32();
            return CustomEncodableValue(point);
        }
        if (type == 0x81) {
            const auto list = std::get<EncodableList>(ReadValue(stream));
            return CustomEncodableValue(
                Labelled{std::get<std::string>(list.at(0)), list.at(1).LongValue()});
        }
        return StandardCodecSerializer::ReadValueOfType(type, stream);
    }
};

TEST(StandardCodecTest, CustomTypesRoundTripThroughASerializerSubclass) {
    static const PointSerializer serializer;
    EXPECT_EQ(&StandardMessageCodec::GetInstance(&serializer),
              &StandardMessageCodec::GetInstance(&serializer));
    EXPECT_NE(&StandardMessageCodec::GetInstance(&serializer),
              &StandardMessageCodec::GetInstance());

    const Bytes point_bytes = Encode(CustomEncodableValue(Point{9, 16}), &serializer);
    EXPECT_EQ(point_bytes, (Bytes{0x80, 0x09, 0x00, 0x00, 0x00, 0x10, 0x00, 0x00, 0x00}));

    const EncodableValue mixed(EncodableList{CustomEncodableValue(Labelled{"wg", int64_t{1} << 40}),
                                             EncodableValue(2.5),
                                             CustomEncodableValue(Point{-1, 3})});
    const EncodableValue decoded = Decode(Encode(mixed, &serializer), &serializer);
    const auto& list = std::get<EncodableList>(decoded);
    ASSERT_EQ(list.size(), 3u);
    const auto& labelled = std::any_cast<const Labelled&>(std::get<CustomEncodableValue>(list[0]));
    EXPECT_EQ(labelled.label, "wg");
    EXPECT_EQ(labelled.count, int64_t{1} << 40);
    EXPECT_EQ(list[1], EncodableValue(2.5));
    const auto& point = std::any_cast<const Point&>(std::get<CustomEncodableValue>(list[2]));
    EXPECT_EQ(point.x, -1);
    EXPECT_EQ(point.y, 3);

    // The standard serializer knows neither type: it writes null in its place, so the rest of
    // the message stays readable, and reads the custom byte as null.
    CerrCapture cerr;
    EXPECT_EQ(Encode(CustomEncodableValue(Point{1, 2})), (Bytes{0x00}));
    const EncodableValue around(
        EncodableList{CustomEncodableValue(Point{1, 2}), EncodableValue(int32_t{7})});
    EXPECT_EQ(Encode(around), (Bytes{0x0c, 0x02, 0x00, 0x03, 0x07, 0x00, 0x00, 0x00}));
    EXPECT_EQ(Decode(Encode(around)),
              EncodableValue(EncodableList{EncodableValue(), EncodableValue(int32_t{7})}));
    EXPECT_NE(cerr.text().find("Unhandled custom type in StandardCodecSerializer::WriteValue. "
                               "Custom types require codec extensions."),
              std::string::npos);
    EXPECT_TRUE(Decode(point_bytes).IsNull());
}

}  // namespace

namespace {

// Map keys order by alternative first, then by value, recursing into lists and maps.
TEST(EncodableValueTest, OrderingFollowsAlternativeThenValue) {
    const std::vector<EncodableValue> ascending = {
        EncodableValue(),
        EncodableValue(false),
        EncodableValue(true),
        EncodableValue(int32_t{-5}),
        EncodableValue(int32_t{3}),
        EncodableValue(int64_t{-100}),
        EncodableValue(1.5),
        EncodableValue("a"),
        EncodableValue("b"),
        EncodableValue(Bytes{1}),
        EncodableValue(EncodableList{EncodableValue(1)}),
        EncodableValue(EncodableList{EncodableValue(1), EncodableValue()}),
        EncodableValue(EncodableList{EncodableValue(2)}),
        EncodableValue(EncodableMap{{EncodableValue(1), EncodableValue("x")}}),
        EncodableValue(EncodableMap{{EncodableValue(1), EncodableValue("y")}}),
    };
    for (size_t i = 0; i < ascending.size(); ++i) {
        EXPECT_FALSE(ascending[i] < ascending[i]) << i;
        for (size_t j = i + 1; j < ascending.size(); ++j) {
            EXPECT_TRUE(ascending[i] < ascending[j]) << i << " < " << j;
            EXPECT_FALSE(ascending[j] < ascending[i]) << j << " < " << i;
        }
    }
    EncodableMap by_list_key;
    by_list_key[EncodableValue(EncodableList{EncodableValue("k")})] = EncodableValue(1);
    by_list_key[EncodableValue(EncodableList{EncodableValue("k")})] = EncodableValue(2);
    EXPECT_EQ(by_list_key.size(), 1u);
    const EncodableValue map_value(by_list_key);
    EXPECT_EQ(Decode(Encode(map_value)), map_value);
}

}  // namespace

namespace {

TEST(EncodableValueTest, WipeDecodedMessageZeroesTextAndBytes) {
    EncodableValue message(EncodableList{
        EncodableValue("profile text"), EncodableValue(std::string(40, 'p')),
        EncodableValue(Bytes{1, 2, 3}), EncodableValue(int64_t{7}),
        EncodableValue(EncodableMap{{EncodableValue("key"), EncodableValue("secret")}})});
    flutter::internal::WipeDecodedMessage(message);
    const auto& list = std::get<EncodableList>(message);
    EXPECT_EQ(std::get<std::string>(list[0]), std::string(12, '\0'));
    EXPECT_EQ(std::get<std::string>(list[1]), std::string(40, '\0'));
    EXPECT_EQ(std::get<Bytes>(list[2]), (Bytes{0, 0, 0}));
    EXPECT_EQ(list[3], EncodableValue(int64_t{7}));
    const auto& map = std::get<EncodableMap>(list[4]);
    EXPECT_EQ(map.begin()->first, EncodableValue("key"));
    EXPECT_EQ(map.begin()->second, EncodableValue(std::string(6, '\0')));
}

}  // namespace
