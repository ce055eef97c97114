// BinaryMessenger over the embedder's C messenger.
//
// Threading: construct, SetMessageHandler and destroy on the platform thread; Send and the
// replies handed to handlers work from any thread.
#pragma once

#include <flutter/binary_messenger.h>
#include <flutter_messenger.h>

#include <map>
#include <string>

namespace flutter {

class BinaryMessengerImpl : public BinaryMessenger {
  public:
    // Holds a reference on |core_messenger| for its own lifetime.
    explicit BinaryMessengerImpl(FlutterDesktopMessengerRef core_messenger);

    // Unregisters the channels it registered while the engine still runs, so the engine never
    // calls into freed handlers; after the engine has detached the messenger it touches nothing.
    ~BinaryMessengerImpl() override;

    BinaryMessengerImpl(BinaryMessengerImpl const&) = delete;
    BinaryMessengerImpl& operator=(BinaryMessengerImpl const&) = delete;

    void Send(const std::string& channel, const uint8_t* message, size_t message_size,
              BinaryReply reply) const override;

    void SetMessageHandler(const std::string& channel, BinaryMessageHandler handler) override;

  private:
    FlutterDesktopMessengerRef messenger_;
    // The engine keeps a pointer to each entry as its callback's user data; std::map keeps the
    // entries in place while others come and go.
    std::map<std::string, BinaryMessageHandler> handlers_;
};

}  // namespace flutter
