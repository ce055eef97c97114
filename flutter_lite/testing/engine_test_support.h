// Helpers for tests that play the Dart side of an engine. Every wait is bounded.
#pragma once

#include <flutter/encodable_value.h>
#include <flutter/standard_message_codec.h>
#include <flutter_lite_engine.h>
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <vector>

namespace flutter_lite::testing {

using Bytes = std::vector<uint8_t>;

inline constexpr auto kWait = std::chrono::seconds(5);
// How long a test waits to be sure something does not happen.
inline constexpr auto kQuietPeriod = std::chrono::milliseconds(150);

inline Bytes EncodeValue(const flutter::EncodableValue& value) {
    return *flutter::StandardMessageCodec::GetInstance().EncodeMessage(value);
}

// Collects the answers to one Dart-side send. Must outlive the engine it is used with.
struct DartReply {
    std::mutex mutex;
    std::condition_variable changed;
    int calls = 0;
    bool empty = false;
    Bytes bytes;
    DWORD thread = 0;

    static void Callback(const uint8_t* data, size_t size, void* user_data) {
        auto* self = static_cast<DartReply*>(user_data);
        std::lock_guard<std::mutex> lock(self->mutex);
        ++self->calls;
        self->empty = data == nullptr;
        self->bytes = data != nullptr ? Bytes(data, data + size) : Bytes{};
        self->thread = GetCurrentThreadId();
        self->changed.notify_all();
    }

    // Waits until at least |count| answers arrived; returns the number seen.
    int WaitForCalls(int count, std::chrono::milliseconds limit = kWait) {
        std::unique_lock<std::mutex> lock(mutex);
        changed.wait_for(lock, limit, [&] { return calls >= count; });
        return calls;
    }

    // The answer decoded the way a channel does; a null value for an empty answer.
    flutter::EncodableValue Decoded() {
        std::lock_guard<std::mutex> lock(mutex);
        auto decoded = flutter::StandardMessageCodec::GetInstance().DecodeMessage(bytes);
        return decoded ? *decoded : flutter::EncodableValue("nullptr");
    }
};

// Owns an engine and the state its callbacks touch; the engine goes first.
class EngineFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        engine_ = FlutterLiteEngineCreate();
        ASSERT_NE(engine_, nullptr);
    }

    void TearDown() override { DestroyEngine(); }

    void DestroyEngine() {
        if (engine_ != nullptr) {
            FlutterLiteEngineDestroy(engine_);
            engine_ = nullptr;
        }
    }

    DartReply* NewReply() {
        replies_.push_back(std::make_unique<DartReply>());
        return replies_.back().get();
    }

    DartReply* SendFromDart(const char* channel, const flutter::EncodableValue& value) {
        DartReply* reply = NewReply();
        const Bytes bytes = EncodeValue(value);
        EXPECT_TRUE(FlutterLiteEngineSendFromDart(engine_, channel, bytes.data(), bytes.size(),
                                                  &DartReply::Callback, reply));
        return reply;
    }

    // Runs |work| on the platform thread and waits for it to finish.
    void RunOnPlatformThread(std::function<void()> work) {
        struct Job {
            std::function<void()> work;
            std::promise<void> done;
        };
        auto job = std::make_shared<Job>();
        job->work = std::move(work);
        auto* keep = new std::shared_ptr<Job>(job);
        std::future<void> finished = job->done.get_future();
        ASSERT_TRUE(FlutterLiteEnginePostTask(
            engine_,
            [](void* user_data) {
                std::unique_ptr<std::shared_ptr<Job>> held(
                    static_cast<std::shared_ptr<Job>*>(user_data));
                (*held)->work();
                (*held)->done.set_value();
            },
            keep));
        ASSERT_EQ(finished.wait_for(kWait), std::future_status::ready);
    }

    DWORD PlatformThread() const { return FlutterLiteEngineGetPlatformThreadId(engine_); }

    FlutterLiteEngineRef engine_ = nullptr;

  private:
    std::vector<std::unique_ptr<DartReply>> replies_;
};

}  // namespace flutter_lite::testing
