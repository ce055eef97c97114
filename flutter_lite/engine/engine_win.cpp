// Platform thread, task queue and message routing of the engine.
#include "flutter_lite/engine/engine.h"

#include <chrono>
#include <cstdio>
#include <future>

namespace flutter_lite {

namespace {

constexpr UINT kRunTasksMessage = WM_APP + 1;
constexpr UINT kStopMessage = WM_APP + 2;
constexpr wchar_t kWindowClassName[] = L"FlutterLiteEnginePlatformWindow";
constexpr auto kStartTimeout = std::chrono::seconds(10);
constexpr auto kRegistrationTimeout = std::chrono::seconds(10);

HINSTANCE ThisModule() {
    HMODULE module = nullptr;
    GetModuleHandleExW(
        GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
        reinterpret_cast<LPCWSTR>(&ThisModule), &module);
    return module;
}

const FlutterDesktopMessageResponseHandle* HandleFromSerial(uint64_t serial) {
    return reinterpret_cast<const FlutterDesktopMessageResponseHandle*>(
        static_cast<uintptr_t>(serial));
}

std::mutex& ClassMutex() {
    static std::mutex mutex;
    return mutex;
}

}  // namespace

uint64_t NextSerial() {
    static std::atomic<uint64_t> next{1};
    return next.fetch_add(1);
}

WipedBytes::WipedBytes(const uint8_t* data, size_t size) {
    if (data != nullptr && size > 0) {
        bytes_.assign(data, data + size);
    }
}

WipedBytes::~WipedBytes() {
    if (!bytes_.empty()) {
        SecureZeroMemory(bytes_.data(), bytes_.size());
    }
}

Engine::Engine() : messenger_(new FlutterDesktopMessenger()) {
    messenger_->engine = this;
    texture_registrar_.engine = this;
}

Engine* Engine::Start() {
    {
        // Registered once per process; a failure because it already exists is fine.
        std::lock_guard<std::mutex> lock(ClassMutex());
        WNDCLASSEXW window_class{};
        window_class.cbSize = sizeof(window_class);
        window_class.lpfnWndProc = &Engine::WindowProc;
        window_class.hInstance = ThisModule();
        window_class.lpszClassName = kWindowClassName;
        RegisterClassExW(&window_class);
    }
    auto* engine = new Engine();
    auto ready = std::make_shared<std::promise<bool>>();
    std::future<bool> started = ready->get_future();
    engine->thread_ = std::thread(
        [engine, ready] { engine->RunPlatformThread([ready](bool ok) { ready->set_value(ok); }); });
    if (started.wait_for(kStartTimeout) != std::future_status::ready) {
        // The thread is stuck in window creation; it cannot be stopped safely, so it is left.
        std::fprintf(stderr, "flutter_lite: platform thread did not start\n");
        engine->thread_.detach();
        return nullptr;
    }
    if (!started.get()) {
        engine->thread_.join();
        delete engine;
        return nullptr;
    }
    return engine;
}

Engine::~Engine() {
    if (thread_.joinable()) {
        PostMessageW(window_, kStopMessage, 0, 0);
        thread_.join();
    }
    FlutterDesktopMessengerRelease(messenger_);
}

void Engine::RunPlatformThread(std::function<void(bool)> on_ready) {
    thread_id_ = GetCurrentThreadId();
    window_ = CreateWindowExW(0, kWindowClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              ThisModule(), nullptr);
    if (window_ == nullptr) {
        std::fprintf(stderr, "flutter_lite: CreateWindowExW failed (win32=%lu)\n", GetLastError());
        on_ready(false);
        return;
    }
    SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    on_ready(true);
    // The loop also serves windows that plugins create on this thread.
    MSG message;
    while (GetMessageW(&message, nullptr, 0, 0) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
}

LRESULT CALLBACK Engine::WindowProc(HWND window, UINT message, WPARAM wparam, LPARAM lparam) {
    auto* engine = reinterpret_cast<Engine*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    if (engine != nullptr) {
        if (message == kRunTasksMessage) {
            engine->RunQueuedTasks();
            return 0;
        }
        if (message == kStopMessage) {
            engine->StopOnPlatformThread();
            SetWindowLongPtrW(window, GWLP_USERDATA, 0);
            DestroyWindow(window);
            PostQuitMessage(0);
            return 0;
        }
    }
    return DefWindowProcW(window, message, wparam, lparam);
}

bool Engine::Enqueue(Task task) {
    bool wake = false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!accepting_) {
            return false;
        }
        wake = tasks_.empty();
        tasks_.push_back(std::move(task));
    }
    // One wake-up per empty-to-busy transition: the drain loop runs until the queue is empty.
    if (wake && !PostMessageW(window_, kRunTasksMessage, 0, 0)) {
        std::fprintf(stderr, "flutter_lite: cannot wake the platform thread (win32=%lu)\n",
                     GetLastError());
    }
    return true;
}

void Engine::RunQueuedTasks() {
    for (;;) {
        Task task;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (tasks_.empty()) {
                return;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task(false);
    }
}

void Engine::StopOnPlatformThread() {
    // First the messenger, as when an application window closes: late replies from plugin
    // threads and sends from plugin destructors are dropped from here on.
    {
        std::lock_guard<std::recursive_mutex> lock(messenger_->mutex);
        messenger_->engine = nullptr;
    }
    std::vector<
        std::pair<FlutterDesktopPluginRegistrarRef, FlutterDesktopOnPluginRegistrarDestroyed>>
        destruction;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& registrar : registrars_) {
            for (auto handler : registrar->destruction_handlers) {
                destruction.emplace_back(registrar.get(), handler);
            }
        }
    }
    for (const auto& [registrar, handler] : destruction) {
        handler(registrar);
    }
    std::deque<Task> tasks;
    std::map<uint64_t, PendingDartSend> unanswered;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        accepting_ = false;
        tasks.swap(tasks_);
        unanswered.swap(pending_dart_sends_);
        // The plugin objects these replies would reach are gone.
        pending_plugin_sends_.clear();
        plugin_handlers_.clear();
        dart_handlers_.clear();
    }
    for (auto& task : tasks) {
        task(true);
    }
    for (const auto& [serial, pending] : unanswered) {
        if (pending.reply != nullptr) {
            pending.reply(nullptr, 0, pending.user_data);
        }
    }
}

bool Engine::PostTask(std::function<void()> task) {
    return Enqueue([task = std::move(task)](bool stopping) {
        if (!stopping) {
            task();
        }
    });
}

FlutterDesktopPluginRegistrarRef Engine::RegistrarFor(const std::string& plugin_name) {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& registrar : registrars_) {
        if (registrar->name == plugin_name) {
            return registrar.get();
        }
    }
    auto registrar = std::make_unique<FlutterDesktopPluginRegistrar>();
    registrar->engine = this;
    registrar->name = plugin_name;
    registrars_.push_back(std::move(registrar));
    return registrars_.back().get();
}

void Engine::AddDestructionHandler(FlutterDesktopPluginRegistrarRef registrar,
                                   FlutterDesktopOnPluginRegistrarDestroyed handler) {
    if (handler == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    auto& handlers = registrar->destruction_handlers;
    for (auto existing : handlers) {
        if (existing == handler) {
            return;
        }
    }
    handlers.push_back(handler);
}

void Engine::AddWindowProcDelegate(FlutterDesktopPluginRegistrarRef registrar,
                                   FlutterDesktopWindowProcCallback delegate, void* user_data) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& delegates = registrar->window_proc_delegates;
    for (auto& entry : delegates) {
        if (entry.first == delegate) {
            entry.second = user_data;
            return;
        }
    }
    delegates.emplace_back(delegate, user_data);
}

void Engine::RemoveWindowProcDelegate(FlutterDesktopPluginRegistrarRef registrar,
                                      FlutterDesktopWindowProcCallback delegate) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& delegates = registrar->window_proc_delegates;
    for (auto it = delegates.begin(); it != delegates.end(); ++it) {
        if (it->first == delegate) {
            delegates.erase(it);
            return;
        }
    }
}

FlutterLitePluginLoadResult Engine::LoadPlugin(const wchar_t* library_path,
                                               const char* plugin_class) {
    // The plugin's own folder first, so that its dependencies beside it are found.
    HMODULE module = LoadLibraryExW(
        library_path, nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_DEFAULT_DIRS);
    if (module == nullptr) {
        return kFlutterLitePluginLibraryNotFound;
    }
    using RegisterFunction = void (*)(FlutterDesktopPluginRegistrarRef);
    const std::string entry_name = std::string(plugin_class) + "RegisterWithRegistrar";
    auto entry = reinterpret_cast<RegisterFunction>(
        reinterpret_cast<void*>(GetProcAddress(module, entry_name.c_str())));
    if (entry == nullptr) {
        FreeLibrary(module);
        return kFlutterLitePluginEntryNotFound;
    }
    // From here the library stays loaded for the life of the process: plugins start threads that
    // may outlive the engine.
    FlutterDesktopPluginRegistrarRef registrar = RegistrarFor(plugin_class);
    if (GetCurrentThreadId() == thread_id_) {
        entry(registrar);
        return kFlutterLitePluginRegistered;
    }
    auto done = std::make_shared<std::promise<void>>();
    std::future<void> finished = done->get_future();
    if (!PostTask([entry, registrar, done] {
            entry(registrar);
            done->set_value();
        })) {
        return kFlutterLitePluginNotRun;
    }
    if (finished.wait_for(kRegistrationTimeout) != std::future_status::ready) {
        return kFlutterLitePluginNotRun;
    }
    return kFlutterLitePluginRegistered;
}

void Engine::SetPluginHandler(const std::string& channel, FlutterDesktopMessageCallback callback,
                              void* user_data) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (callback == nullptr) {
        plugin_handlers_.erase(channel);
        return;
    }
    plugin_handlers_[channel] = PluginHandler{callback, user_data};
}

void Engine::SetDartHandler(const std::string& channel, FlutterLiteDartMessageHandler handler,
                            void* user_data) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (handler == nullptr) {
        dart_handlers_.erase(channel);
        return;
    }
    dart_handlers_[channel] = DartHandler{handler, user_data};
}

bool Engine::SendFromDart(const char* channel, const uint8_t* message, size_t size,
                          FlutterLiteDartReplyCallback reply, void* user_data) {
    const uint64_t serial = NextSerial();
    auto bytes = std::make_shared<WipedBytes>(message, size);
    std::string name(channel);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!accepting_) {
            return false;
        }
        pending_dart_sends_[serial] = PendingDartSend{reply, user_data};
    }
    // If the engine stops before the task runs, the pending entry gets the empty answer.
    if (!Enqueue([this, serial, name, bytes](bool stopping) {
            if (!stopping) {
                DispatchToPlugin(serial, name, bytes);
            }
        })) {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_dart_sends_.erase(serial);
        return false;
    }
    return true;
}

void Engine::DispatchToPlugin(uint64_t serial, const std::string& channel,
                              const std::shared_ptr<WipedBytes>& message) {
    PluginHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = plugin_handlers_.find(channel);
        if (it != plugin_handlers_.end()) {
            handler = it->second;
        }
    }
    if (handler.callback == nullptr) {
        // Nobody listens: an empty answer, which the codecs decode as null.
        RespondToDart(HandleFromSerial(serial), nullptr, 0);
        return;
    }
    FlutterDesktopMessage desktop_message{};
    desktop_message.struct_size = sizeof(desktop_message);
    desktop_message.channel = channel.c_str();
    desktop_message.message = message->data();
    desktop_message.message_size = message->size();
    desktop_message.response_handle = HandleFromSerial(serial);
    handler.callback(messenger_, &desktop_message, handler.user_data);
}

void Engine::RespondToDart(const FlutterDesktopMessageResponseHandle* handle, const uint8_t* data,
                           size_t size) {
    const uint64_t serial = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(handle));
    PendingDartSend pending;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = pending_dart_sends_.find(serial);
        if (it == pending_dart_sends_.end()) {
            std::fprintf(stderr,
                         "Error: Response can be set only once. Ignoring duplicate response.\n");
            return;
        }
        pending = it->second;
        pending_dart_sends_.erase(it);
    }
    if (pending.reply == nullptr) {
        return;
    }
    auto bytes = std::make_shared<WipedBytes>(data, size);
    // Delivered even while stopping: the answer exists, and the Dart side is still there.
    Enqueue(
        [pending, bytes](bool) { pending.reply(bytes->data(), bytes->size(), pending.user_data); });
}

bool Engine::SendToDart(const char* channel, const uint8_t* message, size_t size,
                        FlutterDesktopBinaryReply reply, void* user_data) {
    const uint64_t serial = NextSerial();
    auto bytes = std::make_shared<WipedBytes>(message, size);
    std::string name(channel);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!accepting_) {
            return false;
        }
        pending_plugin_sends_[serial] = PendingPluginSend{reply, user_data};
    }
    if (!Enqueue([this, serial, name, bytes](bool stopping) {
            if (!stopping) {
                DispatchToDart(serial, name, bytes);
            }
        })) {
        std::lock_guard<std::mutex> lock(mutex_);
        pending_plugin_sends_.erase(serial);
        return false;
    }
    return true;
}

void Engine::DispatchToDart(uint64_t serial, const std::string& channel,
                            const std::shared_ptr<WipedBytes>& message) {
    DartHandler handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = dart_handlers_.find(channel);
        if (it != dart_handlers_.end()) {
            handler = it->second;
        }
    }
    auto response = reinterpret_cast<FlutterLiteDartResponseRef>(static_cast<uintptr_t>(serial));
    if (handler.handler == nullptr) {
        RespondToPlugin(response, nullptr, 0);
        return;
    }
    handler.handler(reinterpret_cast<FlutterLiteEngineRef>(this), channel.c_str(), message->data(),
                    message->size(), response, handler.user_data);
}

bool Engine::RespondToPlugin(FlutterLiteDartResponseRef response, const uint8_t* data,
                             size_t size) {
    const uint64_t serial = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(response));
    PendingPluginSend pending;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = pending_plugin_sends_.find(serial);
        if (it == pending_plugin_sends_.end()) {
            return false;
        }
        pending = it->second;
        pending_plugin_sends_.erase(it);
    }
    if (pending.reply == nullptr) {
        return true;
    }
    auto bytes = std::make_shared<WipedBytes>(data, size);
    return Enqueue([pending, bytes](bool stopping) {
        if (!stopping) {
            pending.reply(bytes->data(), bytes->size(), pending.user_data);
        }
    });
}

}  // namespace flutter_lite

// ---- Engine control API ----

using flutter_lite::Engine;

namespace {
Engine* FromRef(FlutterLiteEngineRef engine) {
    return reinterpret_cast<Engine*>(engine);
}
}  // namespace

FlutterLiteEngineRef FlutterLiteEngineCreate(void) {
    return reinterpret_cast<FlutterLiteEngineRef>(Engine::Start());
}

void FlutterLiteEngineDestroy(FlutterLiteEngineRef engine) {
    Engine* instance = FromRef(engine);
    if (instance == nullptr) {
        return;
    }
    if (GetCurrentThreadId() == instance->platform_thread_id()) {
        // Joining the platform thread from itself would never return.
        std::fprintf(stderr, "flutter_lite: engine destroyed on its platform thread; ignored\n");
        return;
    }
    delete instance;
}

uint32_t FlutterLiteEngineGetPlatformThreadId(FlutterLiteEngineRef engine) {
    return FromRef(engine)->platform_thread_id();
}

FlutterDesktopMessengerRef FlutterLiteEngineGetMessenger(FlutterLiteEngineRef engine) {
    return FromRef(engine)->messenger();
}

FlutterDesktopPluginRegistrarRef FlutterLiteEngineGetRegistrarForPlugin(FlutterLiteEngineRef engine,
                                                                        const char* plugin_name) {
    return FromRef(engine)->RegistrarFor(plugin_name != nullptr ? plugin_name : "");
}

FlutterLitePluginLoadResult FlutterLiteEngineLoadPlugin(FlutterLiteEngineRef engine,
                                                        const wchar_t* library_path,
                                                        const char* plugin_class) {
    if (library_path == nullptr || plugin_class == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return kFlutterLitePluginLibraryNotFound;
    }
    return FromRef(engine)->LoadPlugin(library_path, plugin_class);
}

bool FlutterLiteEnginePostTask(FlutterLiteEngineRef engine, FlutterLiteTask task, void* user_data) {
    if (task == nullptr) {
        return false;
    }
    return FromRef(engine)->PostTask([task, user_data] { task(user_data); });
}

bool FlutterLiteEngineSendFromDart(FlutterLiteEngineRef engine, const char* channel,
                                   const uint8_t* message, size_t message_size,
                                   FlutterLiteDartReplyCallback reply, void* user_data) {
    if (channel == nullptr) {
        return false;
    }
    return FromRef(engine)->SendFromDart(channel, message, message_size, reply, user_data);
}

void FlutterLiteEngineSetDartHandler(FlutterLiteEngineRef engine, const char* channel,
                                     FlutterLiteDartMessageHandler handler, void* user_data) {
    if (channel == nullptr) {
        return;
    }
    FromRef(engine)->SetDartHandler(channel, handler, user_data);
}

bool FlutterLiteEngineRespondFromDart(FlutterLiteEngineRef engine,
                                      FlutterLiteDartResponseRef response, const uint8_t* data,
                                      size_t data_size) {
    return FromRef(engine)->RespondToPlugin(response, data, data_size);
}
