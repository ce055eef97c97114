#include <flutter/basic_message_channel.h>
#include <flutter/encodable_value.h>
#include <flutter/plugin_registrar.h>
#include <flutter/standard_message_codec.h>
#include <flutter_lite_engine.h>
#include <flutter_messenger.h>

#include <gtest/gtest.h>

#include <memory>

#include "flutter_lite/testing/engine_test_support.h"

namespace flutter_lite::testing {
namespace {

using flutter::EncodableValue;

using MessengerTest = EngineFixture;

// A client registrar that goes away takes its channel handlers with it: the next message gets the
// empty answer instead of reaching a destroyed handler.
TEST_F(MessengerTest, DestroyedRegistrarLeavesNoHandlerBehind) {
    std::unique_ptr<flutter::PluginRegistrar> registrar;
    RunOnPlatformThread([&] {
        registrar = std::make_unique<flutter::PluginRegistrar>(
            FlutterLiteEngineGetRegistrarForPlugin(engine_, "Owned"));
        flutter::BasicMessageChannel<> channel(registrar->messenger(), "test.owned",
                                               &flutter::StandardMessageCodec::GetInstance());
        channel.SetMessageHandler(
            [](const EncodableValue&, const flutter::MessageReply<EncodableValue>& reply) {
                reply(EncodableValue("handled"));
            });
    });
    DartReply* handled = SendFromDart("test.owned", EncodableValue());
    ASSERT_EQ(handled->WaitForCalls(1), 1);
    EXPECT_EQ(handled->Decoded(), EncodableValue("handled"));

    RunOnPlatformThread([&] { registrar.reset(); });
    DartReply* orphaned = SendFromDart("test.owned", EncodableValue());
    ASSERT_EQ(orphaned->WaitForCalls(1), 1);
    EXPECT_TRUE(orphaned->empty);
}

// At the C level too, a response handle is good for one answer; a repeat is ignored rather than
// answering some other message.
TEST_F(MessengerTest, ResponseHandleAnswersOnce) {
    struct Twice {
        static void Callback(FlutterDesktopMessengerRef messenger,
                             const FlutterDesktopMessage* message, void*) {
            const uint8_t first[] = {0x01};
            const uint8_t second[] = {0x02};
            FlutterDesktopMessengerSendResponse(messenger, message->response_handle, first, 1);
            FlutterDesktopMessengerSendResponse(messenger, message->response_handle, second, 1);
        }
    };
    FlutterDesktopMessengerRef messenger = FlutterLiteEngineGetMessenger(engine_);
    FlutterDesktopMessengerSetCallback(messenger, "test.twice", &Twice::Callback, nullptr);
    DartReply* a = SendFromDart("test.twice", EncodableValue());
    DartReply* b = SendFromDart("test.twice", EncodableValue());
    ASSERT_EQ(a->WaitForCalls(1), 1);
    ASSERT_EQ(b->WaitForCalls(1), 1);
    EXPECT_EQ(a->WaitForCalls(2, kQuietPeriod), 1);
    EXPECT_EQ(b->WaitForCalls(2, kQuietPeriod), 1);
    EXPECT_EQ(a->bytes, Bytes{0x01});
    EXPECT_EQ(b->bytes, Bytes{0x01});
}

// Once the engine is gone the messenger outlives it as unavailable and can still be locked and
// released. (Sending or setting a handler on it is fatal: teardown_probe tests.)
TEST_F(MessengerTest, MessengerOutlivesTheEngineAsUnavailable) {
    FlutterDesktopMessengerRef messenger =
        FlutterDesktopMessengerAddRef(FlutterLiteEngineGetMessenger(engine_));
    EXPECT_TRUE(FlutterDesktopMessengerIsAvailable(messenger));
    DestroyEngine();
    EXPECT_EQ(FlutterDesktopMessengerLock(messenger), messenger);
    EXPECT_FALSE(FlutterDesktopMessengerIsAvailable(messenger));
    FlutterDesktopMessengerUnlock(messenger);
    FlutterDesktopMessengerRelease(messenger);
}

struct ControlChannel {
    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Bytes> messages;
    static void Handler(FlutterLiteEngineRef, const char*, const uint8_t* message, size_t size,
                        FlutterLiteDartResponseRef, void* user_data) {
        auto* self = static_cast<ControlChannel*>(user_data);
        std::lock_guard<std::mutex> lock(self->mutex);
        self->messages.emplace_back(message, message + size);
        self->changed.notify_all();
    }
};

// Buffer control goes to the engine as a standard method call: name, then [channel, value].
TEST_F(MessengerTest, ChannelBufferControlIsAMethodCall) {
    ControlChannel control;
    FlutterLiteEngineSetDartHandler(engine_, "dev.flutter/channel-buffers",
                                    &ControlChannel::Handler, &control);
    RunOnPlatformThread([&] {
        flutter::PluginRegistrar registrar(FlutterLiteEngineGetRegistrarForPlugin(engine_, "Ctl"));
        flutter::BasicMessageChannel<> channel(registrar.messenger(), "ch",
                                               &flutter::StandardMessageCodec::GetInstance());
        channel.Resize(3);
        channel.SetWarnsOnOverflow(false);
    });
    std::unique_lock<std::mutex> lock(control.mutex);
    ASSERT_TRUE(
        control.changed.wait_for(lock, kWait, [&] { return control.messages.size() == 2; }));
    EXPECT_EQ(control.messages[0], (Bytes{0x07, 6, 'r', 'e', 's', 'i', 'z', 'e', 0x0c, 2, 0x07, 2,
                                          'c', 'h', 0x03, 3, 0, 0, 0}));
    EXPECT_EQ(control.messages[1], (Bytes{0x07, 8, 'o', 'v', 'e', 'r', 'f', 'l', 'o', 'w', 0x0c, 2,
                                          0x07, 2, 'c', 'h', 0x01}));
}

}  // namespace
}  // namespace flutter_lite::testing
