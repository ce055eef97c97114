// The standard message codec: EncodableValue messages in the standard wire format.
#ifndef FLUTTER_LITE_CLIENT_WRAPPER_STANDARD_MESSAGE_CODEC_H_
#define FLUTTER_LITE_CLIENT_WRAPPER_STANDARD_MESSAGE_CODEC_H_

#include <memory>

#include "encodable_value.h"
#include "message_codec.h"
#include "standard_codec_serializer.h"

namespace flutter {

class StandardMessageCodec : public MessageCodec<EncodableValue> {
  public:
    // The codec for |serializer| (null: the standard one). One codec per serializer, created on
    // first use and never destroyed; safe to call from any thread. |serializer| must outlive it.
    static const StandardMessageCodec& GetInstance(
        const StandardCodecSerializer* serializer = nullptr);

    ~StandardMessageCodec();

    StandardMessageCodec(StandardMessageCodec const&) = delete;
    StandardMessageCodec& operator=(StandardMessageCodec const&) = delete;

  protected:
    // A null message (no bytes) decodes as a null value, never as nullptr.
    std::unique_ptr<EncodableValue> DecodeMessageInternal(const uint8_t* binary_message,
                                                          const size_t message_size) const override;

    std::unique_ptr<std::vector<uint8_t>> EncodeMessageInternal(
        const EncodableValue& message) const override;

  private:
    explicit StandardMessageCodec(const StandardCodecSerializer* serializer);

    const StandardCodecSerializer* serializer_;
};

}  // namespace flutter

#endif  // FLUTTER_LITE_CLIENT_WRAPPER_STANDARD_MESSAGE_CODEC_H_
