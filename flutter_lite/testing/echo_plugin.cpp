// A plugin library for engine tests, built and registered the way an application's plugins are.
//
// Channel "flutter_lite.test.echo": a message "ask-dart" is relayed to the Dart side on
// "flutter_lite.test.dart" and answered with ["dart said", <Dart's answer>]; any other message is
// answered with ["echo", <message>, <id of the thread the handler ran on>].
#include <flutter/basic_message_channel.h>
#include <flutter/encodable_value.h>
#include <flutter/plugin_registrar_windows.h>
#include <flutter/standard_message_codec.h>
#include <flutter_plugin_registrar.h>
#include <windows.h>

#include <atomic>
#include <memory>

#define ECHO_PLUGIN_EXPORT extern "C" __declspec(dllexport)

namespace {

using flutter::EncodableList;
using flutter::EncodableValue;

std::atomic<int> g_live_instances{0};

// What the destructor does with the messenger (FlutterLiteEchoPluginSetDestructorAction).
enum DestructorAction { kNothing = 0, kUnregister = 1, kSend = 2 };
std::atomic<int> g_destructor_action{kNothing};

const flutter::StandardMessageCodec& Codec() {
    return flutter::StandardMessageCodec::GetInstance();
}

class EchoPlugin : public flutter::Plugin {
  public:
    explicit EchoPlugin(flutter::BinaryMessenger* messenger) : messenger_(messenger) {
        ++g_live_instances;
    }
    ~EchoPlugin() override {
        --g_live_instances;
        // The two mistakes a plugin destructor can make: the engine has already detached the
        // messenger when plugins are destroyed.
        flutter::BasicMessageChannel<> channel(messenger_, "flutter_lite.test.echo", &Codec());
        if (g_destructor_action == kUnregister) {
            channel.SetMessageHandler(nullptr);
        } else if (g_destructor_action == kSend) {
            channel.Send(EncodableValue("goodbye"));
        }
    }

    void SetUp() {
        // A temporary channel object, as generated channel code uses: the handler stays.
        flutter::BasicMessageChannel<> channel(messenger_, "flutter_lite.test.echo", &Codec());
        flutter::BinaryMessenger* messenger = messenger_;
        channel.SetMessageHandler([messenger](const EncodableValue& message,
                                              const flutter::MessageReply<EncodableValue>& reply) {
            if (message == EncodableValue("ask-dart")) {
                flutter::BasicMessageChannel<> dart(messenger, "flutter_lite.test.dart", &Codec());
                dart.Send(EncodableValue("from-plugin"), [reply](const uint8_t* data, size_t size) {
                    auto answer = Codec().DecodeMessage(data, size);
                    reply(EncodableValue(EncodableList{EncodableValue("dart said"), *answer}));
                });
                return;
            }
            reply(EncodableValue(
                EncodableList{EncodableValue("echo"), message,
                              EncodableValue(static_cast<int64_t>(GetCurrentThreadId()))}));
        });
    }

  private:
    flutter::BinaryMessenger* messenger_;
};

}  // namespace

ECHO_PLUGIN_EXPORT void FlutterLiteEchoPluginRegisterWithRegistrar(
    FlutterDesktopPluginRegistrarRef registrar) {
    auto* windows_registrar = flutter::PluginRegistrarManager::GetInstance()
                                  ->GetRegistrar<flutter::PluginRegistrarWindows>(registrar);
    auto plugin = std::make_unique<EchoPlugin>(windows_registrar->messenger());
    plugin->SetUp();
    windows_registrar->AddPlugin(std::move(plugin));
}

// How many plugin objects exist: the registrar owns them until the engine destroys it.
ECHO_PLUGIN_EXPORT int FlutterLiteEchoPluginLiveInstances() {
    return g_live_instances.load();
}

// 1: the destructor unregisters its channel; 2: it sends on it; 0: it leaves the messenger alone.
ECHO_PLUGIN_EXPORT void FlutterLiteEchoPluginSetDestructorAction(int action) {
    g_destructor_action.store(action);
}
