// The standard message codec and its serializer.
//
// Byte order is the host's (little-endian on Windows); alignment of doubles and typed-list
// elements is relative to the start of the whole message, which is why the writers and readers
// work on one stream for the whole message.
#include <flutter/basic_message_channel.h>
#include <flutter/standard_codec_serializer.h>
#include <flutter/standard_message_codec.h>

#include <cstdint>
#include <iostream>
#include <map>
#include <mutex>
#include <string>

#include "flutter_lite/wrapper/byte_buffer_streams.h"

namespace flutter {

namespace {

enum class EncodedType : uint8_t {
    kNull = 0,
    kTrue,
    kFalse,
    kInt32,
    kInt64,
    kLargeInt,  // Never written; read as a string.
    kFloat64,
    kString,
    kUInt8List,
    kInt32List,
    kInt64List,
    kFloat64List,
    kList,
    kMap,
    kFloat32List,
};

// Indexed by the variant alternative; the order of EncodableValueVariant is fixed API.
EncodedType EncodedTypeForValue(const EncodableValue& value) {
    switch (value.index()) {
        case 0:
            return EncodedType::kNull;
        case 1:
            return std::get<bool>(value) ? EncodedType::kTrue : EncodedType::kFalse;
        case 2:
            return EncodedType::kInt32;
        case 3:
            return EncodedType::kInt64;
        case 4:
            return EncodedType::kFloat64;
        case 5:
            return EncodedType::kString;
        case 6:
            return EncodedType::kUInt8List;
        case 7:
            return EncodedType::kInt32List;
        case 8:
            return EncodedType::kInt64List;
        case 9:
            return EncodedType::kFloat64List;
        case 10:
            return EncodedType::kList;
        case 11:
            return EncodedType::kMap;
        case 13:
            return EncodedType::kFloat32List;
    }
    // A custom value reaching the base serializer is written as null (WriteValue says why on
    // std::cerr), as the real client wrapper does: the message stays well formed and whatever
    // follows the value still decodes. Subclasses must handle their types.
    return EncodedType::kNull;
}

// True if |count| items of at least |min_item_size| bytes each can still follow in |stream|.
// Size prefixes come from the peer; they must not decide how much memory is allocated.
bool CanHold(const ByteStreamReader* stream, size_t count, size_t min_item_size) {
    const size_t remaining = stream->GetRemaining();
    return count <= remaining / min_item_size;
}

// Reads straight into the string the value holds, so no intermediate copy of the text (which may
// be a password) is left behind in freed memory.
EncodableValue ReadString(ByteStreamReader* stream, size_t size) {
    EncodableValue value{std::string()};
    auto& text = std::get<std::string>(value);
    text.resize(size);
    if (size > 0) {
        stream->ReadBytes(reinterpret_cast<uint8_t*>(&text[0]), size);
    }
    return value;
}

void Zero(void* data, size_t size) {
    volatile uint8_t* bytes = static_cast<volatile uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
        bytes[i] = 0;
    }
}

void ReportTruncated(size_t count) {
    std::cerr << "Invalid size " << count << " in StandardCodecSerializer::ReadValueOfType: "
              << "longer than the message" << std::endl;
}

}  // namespace

StandardCodecSerializer::StandardCodecSerializer() = default;

StandardCodecSerializer::~StandardCodecSerializer() = default;

const StandardCodecSerializer& StandardCodecSerializer::GetInstance() {
    static StandardCodecSerializer sInstance;
    return sInstance;
}

EncodableValue StandardCodecSerializer::ReadValue(ByteStreamReader* stream) const {
    uint8_t type = stream->ReadByte();
    return ReadValueOfType(type, stream);
}

void StandardCodecSerializer::WriteValue(const EncodableValue& value,
                                         ByteStreamWriter* stream) const {
    stream->WriteByte(static_cast<uint8_t>(EncodedTypeForValue(value)));
    switch (value.index()) {
        case 0:
        case 1:
            // Null and bool live in the type byte.
            break;
        case 2:
            stream->WriteInt32(std::get<int32_t>(value));
            break;
        case 3:
            stream->WriteInt64(std::get<int64_t>(value));
            break;
        case 4:
            stream->WriteAlignment(8);
            stream->WriteDouble(std::get<double>(value));
            break;
        case 5: {
            const auto& string_value = std::get<std::string>(value);
            size_t size = string_value.size();
            WriteSize(size, stream);
            if (size > 0) {
                stream->WriteBytes(reinterpret_cast<const uint8_t*>(string_value.data()), size);
            }
            break;
        }
        case 6:
            WriteVector(std::get<std::vector<uint8_t>>(value), stream);
            break;
        case 7:
            WriteVector(std::get<std::vector<int32_t>>(value), stream);
            break;
        case 8:
            WriteVector(std::get<std::vector<int64_t>>(value), stream);
            break;
        case 9:
            WriteVector(std::get<std::vector<double>>(value), stream);
            break;
        case 10: {
            const auto& list = std::get<EncodableList>(value);
            WriteSize(list.size(), stream);
            for (const auto& item : list) {
                WriteValue(item, stream);
            }
            break;
        }
        case 11: {
            const auto& map = std::get<EncodableMap>(value);
            WriteSize(map.size(), stream);
            for (const auto& pair : map) {
                WriteValue(pair.first, stream);
                WriteValue(pair.second, stream);
            }
            break;
        }
        case 12:
            std::cerr << "Unhandled custom type in StandardCodecSerializer::WriteValue. "
                      << "Custom types require codec extensions." << std::endl;
            break;
        case 13:
            WriteVector(std::get<std::vector<float>>(value), stream);
            break;
    }
}

EncodableValue StandardCodecSerializer::ReadValueOfType(uint8_t type,
                                                        ByteStreamReader* stream) const {
    switch (static_cast<EncodedType>(type)) {
        case EncodedType::kNull:
            return EncodableValue();
        case EncodedType::kTrue:
            return EncodableValue(true);
        case EncodedType::kFalse:
            return EncodableValue(false);
        case EncodedType::kInt32:
            return EncodableValue(stream->ReadInt32());
        case EncodedType::kInt64:
            return EncodableValue(stream->ReadInt64());
        case EncodedType::kFloat64:
            stream->ReadAlignment(8);
            return EncodableValue(stream->ReadDouble());
        case EncodedType::kLargeInt:
        case EncodedType::kString: {
            size_t size = ReadSize(stream);
            if (!CanHold(stream, size, 1)) {
                ReportTruncated(size);
                return EncodableValue();
            }
            return ReadString(stream, size);
        }
        case EncodedType::kUInt8List:
            return ReadVector<uint8_t>(stream);
        case EncodedType::kInt32List:
            return ReadVector<int32_t>(stream);
        case EncodedType::kInt64List:
            return ReadVector<int64_t>(stream);
        case EncodedType::kFloat64List:
            return ReadVector<double>(stream);
        case EncodedType::kList: {
            size_t length = ReadSize(stream);
            // Every element takes at least its type byte.
            if (!CanHold(stream, length, 1)) {
                ReportTruncated(length);
                return EncodableValue();
            }
            EncodableList list_value;
            list_value.reserve(length);
            for (size_t i = 0; i < length; ++i) {
                list_value.push_back(ReadValue(stream));
            }
            return EncodableValue(list_value);
        }
        case EncodedType::kMap: {
            size_t length = ReadSize(stream);
            if (!CanHold(stream, length, 2)) {
                ReportTruncated(length);
                return EncodableValue();
            }
            EncodableMap map_value;
            for (size_t i = 0; i < length; ++i) {
                EncodableValue key = ReadValue(stream);
                EncodableValue value = ReadValue(stream);
                map_value.emplace(std::move(key), std::move(value));
            }
            return EncodableValue(map_value);
        }
        case EncodedType::kFloat32List:
            return ReadVector<float>(stream);
    }
    std::cerr << "Unknown type in StandardCodecSerializer::ReadValueOfType: "
              << static_cast<int>(type) << std::endl;
    return EncodableValue();
}

size_t StandardCodecSerializer::ReadSize(ByteStreamReader* stream) const {
    uint8_t byte = stream->ReadByte();
    if (byte < 254) {
        return byte;
    } else if (byte == 254) {
        uint16_t value = 0;
        stream->ReadBytes(reinterpret_cast<uint8_t*>(&value), 2);
        return value;
    } else {
        uint32_t value = 0;
        stream->ReadBytes(reinterpret_cast<uint8_t*>(&value), 4);
        return value;
    }
}

void StandardCodecSerializer::WriteSize(size_t size, ByteStreamWriter* stream) const {
    if (size < 254) {
        stream->WriteByte(static_cast<uint8_t>(size));
    } else if (size <= 0xffff) {
        stream->WriteByte(254);
        uint16_t value = static_cast<uint16_t>(size);
        stream->WriteBytes(reinterpret_cast<uint8_t*>(&value), 2);
    } else {
        stream->WriteByte(255);
        uint32_t value = static_cast<uint32_t>(size);
        stream->WriteBytes(reinterpret_cast<uint8_t*>(&value), 4);
    }
}

template <typename T>
EncodableValue StandardCodecSerializer::ReadVector(ByteStreamReader* stream) const {
    size_t count = ReadSize(stream);
    // The reader aligns even for an empty list (the writer does not pad one): both ends of the
    // wire behave this way, so this reader keeps it.
    size_t type_size = sizeof(T);
    if (type_size > 1) {
        stream->ReadAlignment(static_cast<uint8_t>(type_size));
    }
    if (!CanHold(stream, count, type_size)) {
        ReportTruncated(count);
        return EncodableValue();
    }
    std::vector<T> vector(count);
    if (count > 0) {
        stream->ReadBytes(reinterpret_cast<uint8_t*>(vector.data()), count * type_size);
    }
    return EncodableValue(vector);
}

template <typename T>
void StandardCodecSerializer::WriteVector(const std::vector<T> vector,
                                          ByteStreamWriter* stream) const {
    size_t count = vector.size();
    WriteSize(count, stream);
    if (count == 0) {
        return;
    }
    size_t type_size = sizeof(T);
    if (type_size > 1) {
        stream->WriteAlignment(static_cast<uint8_t>(type_size));
    }
    stream->WriteBytes(reinterpret_cast<const uint8_t*>(vector.data()), count * type_size);
}

namespace internal {

void WipeDecodedMessage(EncodableValue& message) {
    if (auto* text = std::get_if<std::string>(&message)) {
        Zero(text->data(), text->size());
    } else if (auto* bytes = std::get_if<std::vector<uint8_t>>(&message)) {
        Zero(bytes->data(), bytes->size());
    } else if (auto* list = std::get_if<EncodableList>(&message)) {
        for (auto& item : *list) {
            WipeDecodedMessage(item);
        }
    } else if (auto* map = std::get_if<EncodableMap>(&message)) {
        for (auto& entry : *map) {
            WipeDecodedMessage(entry.second);
        }
    }
}

}  // namespace internal

// ---- StandardMessageCodec ----

const StandardMessageCodec& StandardMessageCodec::GetInstance(
    const StandardCodecSerializer* serializer) {
    if (!serializer) {
        serializer = &StandardCodecSerializer::GetInstance();
    }
    // Never destroyed: codecs are handed out by reference to code that may run during exit.
    static auto* sMutex = new std::mutex();
    static auto* sInstances =
        new std::map<const StandardCodecSerializer*, std::unique_ptr<StandardMessageCodec>>;
    std::lock_guard<std::mutex> lock(*sMutex);
    auto it = sInstances->find(serializer);
    if (it == sInstances->end()) {
        it = sInstances
                 ->emplace(serializer, std::unique_ptr<StandardMessageCodec>(
                                           new StandardMessageCodec(serializer)))
                 .first;
    }
    return *(it->second);
}

StandardMessageCodec::StandardMessageCodec(const StandardCodecSerializer* serializer)
    : serializer_(serializer) {}

StandardMessageCodec::~StandardMessageCodec() = default;

std::unique_ptr<EncodableValue> StandardMessageCodec::DecodeMessageInternal(
    const uint8_t* binary_message, const size_t message_size) const {
    if (!binary_message) {
        return std::make_unique<EncodableValue>();
    }
    ByteBufferStreamReader stream(binary_message, message_size);
    return std::make_unique<EncodableValue>(serializer_->ReadValue(&stream));
}

std::unique_ptr<std::vector<uint8_t>> StandardMessageCodec::EncodeMessageInternal(
    const EncodableValue& message) const {
    auto encoded = std::make_unique<std::vector<uint8_t>>();
    ByteBufferStreamWriter stream(encoded.get());
    serializer_->WriteValue(message, &stream);
    return encoded;
}

}  // namespace flutter
