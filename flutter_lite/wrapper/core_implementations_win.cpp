// Client wrapper pieces that talk to the embedder's C messenger.
#include <flutter/basic_message_channel.h>
#include <flutter/binary_messenger.h>
#include <flutter/encodable_value.h>
#include <flutter/standard_codec_serializer.h>

#include <iostream>
#include <memory>
#include <mutex>

#include "flutter_lite/wrapper/binary_messenger_impl.h"
#include "flutter_lite/wrapper/byte_buffer_streams.h"

namespace flutter {

namespace {

// The answer state shared by every copy of one message's reply function. Channel layers copy the
// reply freely (into lambdas, onto worker threads); "answered once" must hold across all copies,
// or a second answer would reach the engine with a handle it has already retired.
struct PendingResponse {
    explicit PendingResponse(FlutterDesktopMessengerRef core_messenger,
                             const FlutterDesktopMessageResponseHandle* response_handle)
        : messenger(FlutterDesktopMessengerAddRef(core_messenger)), handle(response_handle) {}
    ~PendingResponse() { FlutterDesktopMessengerRelease(messenger); }
    PendingResponse(const PendingResponse&) = delete;
    PendingResponse& operator=(const PendingResponse&) = delete;

    FlutterDesktopMessengerRef messenger;
    // Null once answered; guarded by the messenger lock.
    const FlutterDesktopMessageResponseHandle* handle;
};

// Forwards a message from the engine to the handler registered for its channel.
void ForwardToHandler(FlutterDesktopMessengerRef messenger, const FlutterDesktopMessage* message,
                      void* user_data) {
    auto pending = std::make_shared<PendingResponse>(messenger, message->response_handle);
    BinaryReply reply_handler = [pending](const uint8_t* reply, size_t reply_size) {
        // May run on any thread. The lock keeps the engine from stopping between the check and
        // the answer.
        FlutterDesktopMessengerLock(pending->messenger);
        if (!FlutterDesktopMessengerIsAvailable(pending->messenger)) {
            FlutterDesktopMessengerUnlock(pending->messenger);
            return;
        }
        if (pending->handle == nullptr) {
            FlutterDesktopMessengerUnlock(pending->messenger);
            std::cerr << "Error: Response can be set only once. Ignoring duplicate response."
                      << std::endl;
            return;
        }
        const FlutterDesktopMessageResponseHandle* handle = pending->handle;
        pending->handle = nullptr;
        FlutterDesktopMessengerSendResponse(pending->messenger, handle, reply, reply_size);
        FlutterDesktopMessengerUnlock(pending->messenger);
    };
    const BinaryMessageHandler& message_handler = *static_cast<BinaryMessageHandler*>(user_data);
    message_handler(message->message, message->message_size, std::move(reply_handler));
}

// Owns the reply of one outgoing message until the engine calls back with the answer.
void ForwardReply(const uint8_t* data, size_t data_size, void* user_data) {
    std::unique_ptr<BinaryReply> reply(static_cast<BinaryReply*>(user_data));
    if (*reply) {
        (*reply)(data, data_size);
    }
}

// Sends a method call, encoded as the standard method codec does (the method name, then the
// arguments), on the engine's control channel for channel buffers.
void SendChannelBufferControl(BinaryMessenger* messenger, const std::string& method,
                              const EncodableValue& arguments) {
    std::vector<uint8_t> message;
    ByteBufferStreamWriter stream(&message);
    const StandardCodecSerializer& serializer = StandardCodecSerializer::GetInstance();
    serializer.WriteValue(EncodableValue(method), &stream);
    serializer.WriteValue(arguments, &stream);
    messenger->Send("dev.flutter/channel-buffers", message.data(), message.size());
}

}  // namespace

namespace internal {

void ResizeChannel(BinaryMessenger* messenger, std::string name, int new_size) {
    SendChannelBufferControl(
        messenger, "resize",
        EncodableValue(EncodableList{EncodableValue(name), EncodableValue(new_size)}));
}

void SetChannelWarnsOnOverflow(BinaryMessenger* messenger, std::string name, bool warns) {
    // The engine's setting is "overflow allowed silently", the inverse of warning.
    SendChannelBufferControl(
        messenger, "overflow",
        EncodableValue(EncodableList{EncodableValue(name), EncodableValue(!warns)}));
}

}  // namespace internal

BinaryMessengerImpl::BinaryMessengerImpl(FlutterDesktopMessengerRef core_messenger)
    : messenger_(FlutterDesktopMessengerAddRef(core_messenger)) {}

BinaryMessengerImpl::~BinaryMessengerImpl() {
    // During engine destruction the messenger is already detached and the engine drops every
    // handler itself; unregistering then would be fatal. A client registrar destroyed while the
    // engine runs must not leave the engine pointing at the handlers freed here.
    FlutterDesktopMessengerLock(messenger_);
    if (FlutterDesktopMessengerIsAvailable(messenger_)) {
        for (const auto& entry : handlers_) {
            FlutterDesktopMessengerSetCallback(messenger_, entry.first.c_str(), nullptr, nullptr);
        }
    }
    FlutterDesktopMessengerUnlock(messenger_);
    FlutterDesktopMessengerRelease(messenger_);
}

void BinaryMessengerImpl::Send(const std::string& channel, const uint8_t* message,
                               size_t message_size, BinaryReply reply) const {
    if (reply == nullptr) {
        FlutterDesktopMessengerSend(messenger_, channel.c_str(), message, message_size);
        return;
    }
    auto captured_reply = new BinaryReply(std::move(reply));
    bool result = FlutterDesktopMessengerSendWithReply(messenger_, channel.c_str(), message,
                                                       message_size, ForwardReply, captured_reply);
    if (!result) {
        // Not sent, so the engine will never call back with it.
        delete captured_reply;
    }
}

void BinaryMessengerImpl::SetMessageHandler(const std::string& channel,
                                            BinaryMessageHandler handler) {
    if (!handler) {
        handlers_.erase(channel);
        FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), nullptr, nullptr);
        return;
    }
    // Replace in place: the engine's user data is the entry's address.
    handlers_[channel] = std::move(handler);
    BinaryMessageHandler* message_handler = &handlers_[channel];
    FlutterDesktopMessengerSetCallback(messenger_, channel.c_str(), ForwardToHandler,
                                       message_handler);
}

}  // namespace flutter
