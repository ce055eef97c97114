// A named channel carrying messages of type T encoded by a MessageCodec.
#ifndef FLUTTER_LITE_CLIENT_WRAPPER_BASIC_MESSAGE_CHANNEL_H_
#define FLUTTER_LITE_CLIENT_WRAPPER_BASIC_MESSAGE_CHANNEL_H_

#include <iostream>
#include <string>
#include <utility>

#include "binary_messenger.h"
#include "message_codec.h"

namespace flutter {

class EncodableValue;

namespace internal {
// Asks the engine to buffer up to |new_size| messages for channel |name| while nobody listens.
void ResizeChannel(BinaryMessenger* messenger, std::string name, int new_size);
// Whether the engine warns when channel |name|'s buffer overflows.
void SetChannelWarnsOnOverflow(BinaryMessenger* messenger, std::string name, bool warns);

// Overwrites the text and byte contents of a decoded message (map keys excepted) with zeros.
// Messages from Dart carry profiles and passwords, and the handler only ever sees a const view,
// so the channel wipes its decoded copy once the handler has returned.
void WipeDecodedMessage(EncodableValue& message);
template <typename T>
void WipeDecodedMessage(T&) {}
}  // namespace internal

// Answers a message; may be called from any thread, once.
template <typename T>
using MessageReply = std::function<void(const T& reply)>;

// Handles a message on the platform thread; the reply may be sent later from another thread.
template <typename T>
using MessageHandler = std::function<void(const T& message, const MessageReply<T>& reply)>;

// The channel object is a light handle: destroying it leaves its handler registered, so it may be
// a temporary. |messenger| and |codec| must outlive every registered handler.
template <typename T = EncodableValue>
class BasicMessageChannel {
  public:
    BasicMessageChannel(BinaryMessenger* messenger, const std::string& name,
                        const MessageCodec<T>* codec)
        : messenger_(messenger), name_(name), codec_(codec) {}

    ~BasicMessageChannel() = default;

    BasicMessageChannel(BasicMessageChannel const&) = delete;
    BasicMessageChannel& operator=(BasicMessageChannel const&) = delete;

    void Send(const T& message) {
        std::unique_ptr<std::vector<uint8_t>> raw_message = codec_->EncodeMessage(message);
        messenger_->Send(name_, raw_message->data(), raw_message->size());
    }

    void Send(const T& message, BinaryReply reply) {
        std::unique_ptr<std::vector<uint8_t>> raw_message = codec_->EncodeMessage(message);
        messenger_->Send(name_, raw_message->data(), raw_message->size(), std::move(reply));
    }

    // A null handler unregisters the channel.
    void SetMessageHandler(const MessageHandler<T>& handler) const {
        if (!handler) {
            messenger_->SetMessageHandler(name_, nullptr);
            return;
        }
        const auto* codec = codec_;
        std::string channel_name = name_;
        BinaryMessageHandler binary_handler = [handler, codec, channel_name](
                                                  const uint8_t* binary_message,
                                                  const size_t binary_message_size,
                                                  BinaryReply binary_reply) {
            std::unique_ptr<T> message = codec->DecodeMessage(binary_message, binary_message_size);
            if (!message) {
                std::cerr << "Unable to decode message on channel " << channel_name << std::endl;
                binary_reply(nullptr, 0);
                return;
            }
            MessageReply<T> unencoded_reply = [binary_reply, codec](const T& unencoded_response) {
                auto binary_response = codec->EncodeMessage(unencoded_response);
                binary_reply(binary_response->data(), binary_response->size());
            };
            handler(*message, std::move(unencoded_reply));
            internal::WipeDecodedMessage(*message);
        };
        messenger_->SetMessageHandler(name_, std::move(binary_handler));
    }

    // Sets how many messages the engine buffers for this channel before Dart listens.
    void Resize(int new_size) { internal::ResizeChannel(messenger_, name_, new_size); }

    void SetWarnsOnOverflow(bool warns) {
        internal::SetChannelWarnsOnOverflow(messenger_, name_, warns);
    }

  private:
    BinaryMessenger* messenger_;
    std::string name_;
    const MessageCodec<T>* codec_;
};

}  // namespace flutter

#endif  // FLUTTER_LITE_CLIENT_WRAPPER_BASIC_MESSAGE_CHANNEL_H_
