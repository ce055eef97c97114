// Binary messenger of the client wrapper: raw channel messages.
#ifndef FLUTTER_LITE_CLIENT_WRAPPER_BINARY_MESSENGER_H_
#define FLUTTER_LITE_CLIENT_WRAPPER_BINARY_MESSENGER_H_

#include <functional>
#include <string>

namespace flutter {

// Answers a binary message. May be called from any thread, once; later calls are ignored.
typedef std::function<void(const uint8_t* reply, size_t reply_size)> BinaryReply;

// Handles a binary message on the platform thread.
typedef std::function<void(const uint8_t* message, size_t message_size, BinaryReply reply)>
    BinaryMessageHandler;

class BinaryMessenger {
  public:
    virtual ~BinaryMessenger() = default;

    // Sends |message| on |channel|; |reply|, if any, runs on the platform thread with the answer.
    virtual void Send(const std::string& channel, const uint8_t* message, size_t message_size,
                      BinaryReply reply = nullptr) const = 0;

    // Registers |handler| for |channel| (platform thread only); a null handler unregisters.
    virtual void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) = 0;
};

}  // namespace flutter

#endif  // FLUTTER_LITE_CLIENT_WRAPPER_BINARY_MESSENGER_H_
