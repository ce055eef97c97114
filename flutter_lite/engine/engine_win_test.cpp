#include <flutter/basic_message_channel.h>
#include <flutter/encodable_value.h>
#include <flutter/plugin_registrar_windows.h>
#include <flutter/standard_message_codec.h>
#include <flutter_lite_engine.h>

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "flutter_lite/testing/engine_test_support.h"
#include "flutter_lite/testing/teardown_probe_runner.h"
#include "test_util.h"

namespace flutter_lite::testing {
namespace {

using flutter::BasicMessageChannel;
using flutter::EncodableList;
using flutter::EncodableValue;
using flutter::MessageReply;
using flutter::PluginRegistrarManager;
using flutter::PluginRegistrarWindows;

const flutter::StandardMessageCodec& Codec() {
    return flutter::StandardMessageCodec::GetInstance();
}

class EngineTest : public EngineFixture {
  protected:
    // The client registrar for |name|, made on the platform thread as registration does.
    PluginRegistrarWindows* Registrar(const char* name) {
        PluginRegistrarWindows* registrar = nullptr;
        RunOnPlatformThread([&] {
            registrar = PluginRegistrarManager::GetInstance()->GetRegistrar<PluginRegistrarWindows>(
                FlutterLiteEngineGetRegistrarForPlugin(engine_, name));
        });
        return registrar;
    }

    // State a handler leaves for the test; written on the platform thread, read after a wait.
    std::mutex mutex_;
    std::condition_variable changed_;
    int handled_ = 0;
    DWORD handler_thread_ = 0;
    EncodableValue last_message_;
    MessageReply<EncodableValue> held_reply_;

    bool WaitHandled(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, kWait, [&] { return handled_ >= count; });
    }

    // Registers a handler that keeps the reply for the test to send later.
    void HoldRepliesOn(PluginRegistrarWindows* registrar, const std::string& channel) {
        RunOnPlatformThread([&] {
            BasicMessageChannel<> c(registrar->messenger(), channel, &Codec());
            c.SetMessageHandler(
                [this](const EncodableValue& message, const MessageReply<EncodableValue>& reply) {
                    std::lock_guard<std::mutex> lock(mutex_);
                    ++handled_;
                    handler_thread_ = GetCurrentThreadId();
                    last_message_ = message;
                    held_reply_ = reply;
                    changed_.notify_all();
                });
        });
    }
};

// A handler runs on the platform thread; its reply, sent later from another thread and through
// two copies of the reply function, reaches Dart exactly once and on the platform thread.
TEST_F(EngineTest, LateReplyFromAnotherThreadArrivesExactlyOnce) {
    PluginRegistrarWindows* registrar = Registrar("HoldPlugin");
    ASSERT_NE(registrar, nullptr);
    EXPECT_EQ(registrar->GetView(), nullptr);
    HoldRepliesOn(registrar, "test.hold");

    DartReply* reply = SendFromDart("test.hold", EncodableValue(int64_t{42}));
    ASSERT_TRUE(WaitHandled(1));
    EXPECT_EQ(handler_thread_, PlatformThread());
    EXPECT_EQ(last_message_, EncodableValue(int64_t{42}));
    EXPECT_EQ(reply->WaitForCalls(1, std::chrono::milliseconds(0)), 0)
        << "answered before the handler replied";

    MessageReply<EncodableValue> first_copy = held_reply_;
    MessageReply<EncodableValue> second_copy = held_reply_;
    std::thread worker([&] {
        first_copy(EncodableValue("late"));
        second_copy(EncodableValue("duplicate"));
    });
    worker.join();
    ASSERT_EQ(reply->WaitForCalls(1), 1);
    EXPECT_EQ(reply->WaitForCalls(2, kQuietPeriod), 1);
    EXPECT_EQ(reply->thread, PlatformThread());
    EXPECT_EQ(reply->Decoded(), EncodableValue("late"));
}

// Unregistering leaves the channel without a handler, and a channel without a handler answers
// empty, which decodes to a null value rather than to nothing.
TEST_F(EngineTest, UnregisteredChannelAnswersEmptyAndDecodesToNull) {
    PluginRegistrarWindows* registrar = Registrar("EchoOnce");
    RunOnPlatformThread([&] {
        BasicMessageChannel<> c(registrar->messenger(), "test.toggle", &Codec());
        c.SetMessageHandler([](const EncodableValue& message,
                               const MessageReply<EncodableValue>& reply) { reply(message); });
    });
    DartReply* before = SendFromDart("test.toggle", EncodableValue("ping"));
    ASSERT_EQ(before->WaitForCalls(1), 1);
    EXPECT_EQ(before->Decoded(), EncodableValue("ping"));

    RunOnPlatformThread([&] {
        BasicMessageChannel<> c(registrar->messenger(), "test.toggle", &Codec());
        c.SetMessageHandler(nullptr);
    });
    for (const char* channel : {"test.toggle", "test.nobody"}) {
        SCOPED_TRACE(channel);
        DartReply* after = SendFromDart(channel, EncodableValue("ping"));
        ASSERT_EQ(after->WaitForCalls(1), 1);
        EXPECT_TRUE(after->empty);
        const auto decoded = Codec().DecodeMessage(nullptr, 0);
        ASSERT_TRUE(decoded);
        EXPECT_TRUE(decoded->IsNull());
        EXPECT_TRUE(after->Decoded().IsNull());
    }
}

struct DartSide {
    std::atomic<int> calls{0};
    std::string channel;
    Bytes message;
    DWORD thread = 0;
    // Answers from a separate thread, as a Dart isolate would.
    static void Handler(FlutterLiteEngineRef engine, const char* channel, const uint8_t* message,
                        size_t size, FlutterLiteDartResponseRef response, void* user_data) {
        auto* self = static_cast<DartSide*>(user_data);
        self->channel = channel;
        self->message.assign(message, message + size);
        self->thread = GetCurrentThreadId();
        ++self->calls;
        std::thread([engine, response] {
            const Bytes answer = EncodeValue(EncodableValue("from-dart"));
            FlutterLiteEngineRespondFromDart(engine, response, answer.data(), answer.size());
            // A second answer on the same handle is refused.
            EXPECT_FALSE(
                FlutterLiteEngineRespondFromDart(engine, response, answer.data(), answer.size()));
        }).join();
    }
};

// Plugin-to-Dart sends reach the Dart-side handler; the answer (or an empty one when Dart has no
// handler) comes back to the plugin on the platform thread.
TEST_F(EngineTest, PluginToDartSendRoundTrips) {
    DartSide dart;
    FlutterLiteEngineSetDartHandler(engine_, "test.dart", &DartSide::Handler, &dart);
    PluginRegistrarWindows* registrar = Registrar("Sender");

    struct Answer {
        std::promise<std::pair<EncodableValue, DWORD>> promise;
    };
    auto answered = std::make_shared<Answer>();
    auto unheard = std::make_shared<Answer>();
    RunOnPlatformThread([&] {
        BasicMessageChannel<> to_dart(registrar->messenger(), "test.dart", &Codec());
        to_dart.Send(EncodableValue(EncodableList{EncodableValue(int64_t{7})}), [answered](
                                                                                    const uint8_t*
                                                                                        data,
                                                                                    size_t size) {
            answered->promise.set_value({*Codec().DecodeMessage(data, size), GetCurrentThreadId()});
        });
        BasicMessageChannel<> nobody(registrar->messenger(), "test.unheard", &Codec());
        nobody.Send(EncodableValue("hello?"), [unheard](const uint8_t* data, size_t size) {
            unheard->promise.set_value({*Codec().DecodeMessage(data, size), GetCurrentThreadId()});
        });
    });
    auto answer = answered->promise.get_future();
    ASSERT_EQ(answer.wait_for(kWait), std::future_status::ready);
    const auto [value, thread] = answer.get();
    EXPECT_EQ(value, EncodableValue("from-dart"));
    EXPECT_EQ(thread, PlatformThread());
    EXPECT_EQ(dart.calls.load(), 1);
    EXPECT_EQ(dart.channel, "test.dart");
    EXPECT_EQ(dart.thread, PlatformThread());
    EXPECT_EQ(dart.message, EncodeValue(EncodableValue(EncodableList{EncodableValue(int64_t{7})})));

    auto silence = unheard->promise.get_future();
    ASSERT_EQ(silence.wait_for(kWait), std::future_status::ready);
    EXPECT_TRUE(silence.get().first.IsNull());
}

// Destroying the engine is a window closing: plugins are destroyed on the platform thread through
// the registrar's destruction handler, unanswered Dart sends get an empty answer, and a reply
// that comes after is dropped.
TEST_F(EngineTest, DestroyRunsDestructionHandlersAndAnswersPendingSends) {
    struct TrackedPlugin : flutter::Plugin {
        explicit TrackedPlugin(std::atomic<DWORD>* destroyed_on) : destroyed_on(destroyed_on) {}
        ~TrackedPlugin() override { destroyed_on->store(GetCurrentThreadId()); }
        std::atomic<DWORD>* destroyed_on;
    };
    std::atomic<DWORD> destroyed_on{0};
    PluginRegistrarWindows* registrar = Registrar("Tracked");
    RunOnPlatformThread(
        [&] { registrar->AddPlugin(std::make_unique<TrackedPlugin>(&destroyed_on)); });
    HoldRepliesOn(registrar, "test.never");
    DartReply* pending = SendFromDart("test.never", EncodableValue("anyone?"));
    ASSERT_TRUE(WaitHandled(1));

    const DWORD platform = PlatformThread();
    DestroyEngine();
    EXPECT_EQ(destroyed_on.load(), platform);
    EXPECT_EQ(pending->calls, 1);
    EXPECT_TRUE(pending->empty);

    // The plugin's messenger reference keeps this safe; the answer goes nowhere.
    held_reply_(EncodableValue("too late"));
    EXPECT_EQ(pending->calls, 1);
}

// By the time plugins are destroyed the messenger has no engine any more, as in the real
// embedder's teardown: a plugin destructor that looks finds it unavailable.
TEST_F(EngineTest, MessengerIsDetachedBeforePluginsAreDestroyed) {
    struct Probe : flutter::Plugin {
        explicit Probe(std::atomic<int>* seen) : seen(seen) {}
        ~Probe() override {
            FlutterDesktopMessengerRef messenger = FlutterLiteEngineGetMessenger(engine);
            seen->store(FlutterDesktopMessengerIsAvailable(messenger) ? 1 : 0);
        }
        std::atomic<int>* seen;
        FlutterLiteEngineRef engine = nullptr;
    };
    std::atomic<int> seen{-1};
    PluginRegistrarWindows* registrar = Registrar("Probe");
    RunOnPlatformThread([&] {
        auto probe = std::make_unique<Probe>(&seen);
        probe->engine = engine_;
        registrar->AddPlugin(std::move(probe));
    });
    DestroyEngine();
    EXPECT_EQ(seen.load(), 0);
}

// A plugin destructor that touches a channel ends the process with the embedder's check message,
// as the real embedder's release build crashes there; one that leaves the messenger alone exits
// cleanly. Each case runs the echo plugin in a process of its own.
TEST_F(EngineTest, ChannelUseInAPluginDestructorIsFatal) {
    const std::string dir = lumet::test::ExecutableDir();
    const std::wstring plugin =
        L"\"" + std::wstring(dir.begin(), dir.end()) + L"\\flutter_lite_echo_plugin.dll\"";
    struct Case {
        const wchar_t* action;
        DWORD exit_code;
        const char* expected;
    };
    const Case cases[] = {
        {L"0", 0, "engine destroyed"},
        {L"1", FLUTTER_LITE_FATAL_EXIT_CODE,
         "Messenger must reference a running engine to set a callback"},
        {L"2", FLUTTER_LITE_FATAL_EXIT_CODE,
         "Messenger must reference a running engine to send a message"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(::testing::Message()
                     << "destructor action " << static_cast<char>(c.action[0]));
        const ProbeOutcome outcome =
            RunTeardownProbe(plugin + L" FlutterLiteEchoPlugin " + c.action);
        ASSERT_TRUE(outcome.exit_code.has_value()) << outcome.output;
        EXPECT_EQ(*outcome.exit_code, c.exit_code) << outcome.output;
        EXPECT_NE(outcome.output.find(c.expected), std::string::npos) << outcome.output;
        if (c.exit_code != 0) {
            // Ended on the spot: the probe never got past the engine's destruction.
            EXPECT_EQ(outcome.output.find("engine destroyed"), std::string::npos);
        } else {
            EXPECT_EQ(outcome.output.find("FATAL"), std::string::npos) << outcome.output;
        }
    }
}

// The manager drops its registrar when the engine does: a new engine's registrar starts empty even
// if it happens to reuse the old address.
TEST_F(EngineTest, ManagerForgetsRegistrarsOfADestroyedEngine) {
    struct Counted : flutter::Plugin {
        explicit Counted(std::atomic<int>* live) : live(live) { ++*live; }
        ~Counted() override { --*live; }
        std::atomic<int>* live;
    };
    std::atomic<int> live{0};
    for (int round = 0; round < 3; ++round) {
        SCOPED_TRACE(round);
        if (engine_ == nullptr) {
            engine_ = FlutterLiteEngineCreate();
            ASSERT_NE(engine_, nullptr);
        }
        PluginRegistrarWindows* registrar = Registrar("Counted");
        RunOnPlatformThread([&] { registrar->AddPlugin(std::make_unique<Counted>(&live)); });
        EXPECT_EQ(live.load(), 1);
        DestroyEngine();
        EXPECT_EQ(live.load(), 0);
    }
}

// Many sends in flight, answered out of order from several threads while more arrive: every
// send gets exactly its own answer (guards the queue's wake-ups and the pending-answer table).
TEST_F(EngineTest, ConcurrentSendsEachGetTheirOwnAnswer) {
    constexpr int kSends = 200;
    PluginRegistrarWindows* registrar = Registrar("Busy");
    std::mutex replies_mutex;
    std::vector<MessageReply<EncodableValue>> pending_replies;
    std::vector<int64_t> pending_values;
    RunOnPlatformThread([&] {
        BasicMessageChannel<> c(registrar->messenger(), "test.busy", &Codec());
        c.SetMessageHandler(
            [&](const EncodableValue& message, const MessageReply<EncodableValue>& reply) {
                std::lock_guard<std::mutex> lock(replies_mutex);
                pending_replies.push_back(reply);
                pending_values.push_back(message.LongValue());
            });
    });
    std::atomic<bool> sending{true};
    std::vector<std::thread> answerers;
    for (int t = 0; t < 3; ++t) {
        answerers.emplace_back([&, t] {
            for (;;) {
                MessageReply<EncodableValue> reply;
                int64_t value = 0;
                {
                    std::lock_guard<std::mutex> lock(replies_mutex);
                    if (!pending_replies.empty()) {
                        // Alternate ends so answers go out of order.
                        const bool back = (t % 2) == 0;
                        reply = back ? pending_replies.back() : pending_replies.front();
                        value = back ? pending_values.back() : pending_values.front();
                        pending_replies.erase(back ? pending_replies.end() - 1
                                                   : pending_replies.begin());
                        pending_values.erase(back ? pending_values.end() - 1
                                                  : pending_values.begin());
                    } else if (!sending.load()) {
                        return;
                    }
                }
                if (reply) {
                    reply(EncodableValue(value * 10));
                } else {
                    std::this_thread::yield();
                }
            }
        });
    }
    std::vector<DartReply*> replies;
    for (int i = 0; i < kSends; ++i) {
        replies.push_back(SendFromDart("test.busy", EncodableValue(int64_t{i})));
    }
    for (int i = 0; i < kSends; ++i) {
        ASSERT_EQ(replies[i]->WaitForCalls(1), 1) << i;
    }
    sending = false;
    for (auto& answerer : answerers) {
        answerer.join();
    }
    for (int i = 0; i < kSends; ++i) {
        EXPECT_EQ(replies[i]->calls, 1) << i;
        EXPECT_EQ(replies[i]->Decoded(), EncodableValue(int64_t{i} * 10)) << i;
    }
    // The handler refers to this test's locals.
    DestroyEngine();
}

class PluginLibraryTest : public EngineTest {
  protected:
    static std::wstring LibraryPath(const char* name) {
        const std::string path = lumet::test::ExecutableDir() + "\\" + name;
        return std::wstring(path.begin(), path.end());
    }
};

// A plugin library loaded through the engine registers on the platform thread, answers on its
// channel, reaches the Dart side, and is destroyed with the engine.
TEST_F(PluginLibraryTest, LoadedLibraryRegistersAndIsCalled) {
    const std::wstring path = LibraryPath("flutter_lite_echo_plugin.dll");
    ASSERT_EQ(FlutterLiteEngineLoadPlugin(engine_, path.c_str(), "FlutterLiteEchoPlugin"),
              kFlutterLitePluginRegistered);
    HMODULE module = GetModuleHandleW(path.c_str());
    ASSERT_NE(module, nullptr);
    auto live_instances = reinterpret_cast<int (*)()>(
        reinterpret_cast<void*>(GetProcAddress(module, "FlutterLiteEchoPluginLiveInstances")));
    ASSERT_NE(live_instances, nullptr);
    EXPECT_EQ(live_instances(), 1);

    DartReply* echo = SendFromDart("flutter_lite.test.echo", EncodableValue(int64_t{5}));
    ASSERT_EQ(echo->WaitForCalls(1), 1);
    EXPECT_EQ(echo->Decoded(), EncodableValue(EncodableList{
                                   EncodableValue("echo"), EncodableValue(int64_t{5}),
                                   EncodableValue(static_cast<int64_t>(PlatformThread()))}));

    DartSide dart;
    FlutterLiteEngineSetDartHandler(engine_, "flutter_lite.test.dart", &DartSide::Handler, &dart);
    DartReply* relayed = SendFromDart("flutter_lite.test.echo", EncodableValue("ask-dart"));
    ASSERT_EQ(relayed->WaitForCalls(1), 1);
    EXPECT_EQ(relayed->Decoded(), EncodableValue(EncodableList{EncodableValue("dart said"),
                                                               EncodableValue("from-dart")}));
    EXPECT_EQ(dart.message, EncodeValue(EncodableValue("from-plugin")));

    DestroyEngine();
    EXPECT_EQ(live_instances(), 0);
}

TEST_F(PluginLibraryTest, LoadFailuresAreReported) {
    const std::wstring missing = LibraryPath("no_such_plugin.dll");
    EXPECT_EQ(FlutterLiteEngineLoadPlugin(engine_, missing.c_str(), "NoSuch"),
              kFlutterLitePluginLibraryNotFound);
    EXPECT_NE(GetLastError(), 0u);
    const std::wstring echo = LibraryPath("flutter_lite_echo_plugin.dll");
    EXPECT_EQ(FlutterLiteEngineLoadPlugin(engine_, echo.c_str(), "WrongClass"),
              kFlutterLitePluginEntryNotFound);
}

}  // namespace
}  // namespace flutter_lite::testing
