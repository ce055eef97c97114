// Conversion between typed messages and their binary form.
#ifndef FLUTTER_LITE_CLIENT_WRAPPER_MESSAGE_CODEC_H_
#define FLUTTER_LITE_CLIENT_WRAPPER_MESSAGE_CODEC_H_

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace flutter {

template <typename T>
class MessageCodec {
  public:
    MessageCodec() = default;
    virtual ~MessageCodec() = default;

    MessageCodec(MessageCodec<T> const&) = delete;
    MessageCodec& operator=(MessageCodec<T> const&) = delete;

    // Null when the bytes cannot be decoded.
    std::unique_ptr<T> DecodeMessage(const uint8_t* binary_message,
                                     const size_t message_size) const {
        return DecodeMessageInternal(binary_message, message_size);
    }

    // An empty vector decodes as a null message.
    std::unique_ptr<T> DecodeMessage(const std::vector<uint8_t>& message) const {
        size_t size = message.size();
        const uint8_t* data = size > 0 ? &message[0] : nullptr;
        return DecodeMessageInternal(data, size);
    }

    std::unique_ptr<std::vector<uint8_t>> EncodeMessage(const T& message) const {
        return EncodeMessageInternal(message);
    }

  protected:
    virtual std::unique_ptr<T> DecodeMessageInternal(const uint8_t* binary_message,
                                                     const size_t message_size) const = 0;

    virtual std::unique_ptr<std::vector<uint8_t>> EncodeMessageInternal(const T& message) const = 0;
};

}  // namespace flutter

#endif  // FLUTTER_LITE_CLIENT_WRAPPER_MESSAGE_CODEC_H_
