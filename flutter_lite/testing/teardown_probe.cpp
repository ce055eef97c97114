// Runs one plugin library through an engine's whole life in a process of its own, so that a test
// can see how the process ends when the plugin misbehaves during engine destruction (flutter_lite
// ends the process then, as the real embedder's release build crashes).
//
//   flutter_lite_teardown_probe <plugin.dll> <PluginClass> [destructor-action]
//
// destructor-action is passed to the echo plugin's FlutterLiteEchoPluginSetDestructorAction.
// Prints "engine destroyed" and exits 0 when the engine went away cleanly; 2 on a usage or load
// failure; FLUTTER_LITE_FATAL_EXIT_CODE when the plugin used the detached messenger.
#include <windows.h>

#include <flutter_lite_engine.h>

#include <cstdio>
#include <cwchar>
#include <string>

int wmain(int argc, wchar_t** argv) {
    if (argc < 3) {
        std::fprintf(stderr,
                     "usage: flutter_lite_teardown_probe <plugin.dll> <PluginClass> "
                     "[destructor-action]\n");
        return 2;
    }
    const std::wstring wide_class(argv[2]);
    const std::string plugin_class(wide_class.begin(), wide_class.end());
    FlutterLiteEngineRef engine = FlutterLiteEngineCreate();
    if (engine == nullptr) {
        std::fprintf(stderr, "engine did not start\n");
        return 2;
    }
    const FlutterLitePluginLoadResult loaded =
        FlutterLiteEngineLoadPlugin(engine, argv[1], plugin_class.c_str());
    if (loaded != kFlutterLitePluginRegistered) {
        std::fprintf(stderr, "plugin not registered (%d, win32=%lu)\n", static_cast<int>(loaded),
                     GetLastError());
        return 2;
    }
    if (argc > 3) {
        using SetAction = void (*)(int);
        auto set_action = reinterpret_cast<SetAction>(reinterpret_cast<void*>(
            GetProcAddress(GetModuleHandleW(argv[1]), "FlutterLiteEchoPluginSetDestructorAction")));
        if (set_action == nullptr) {
            std::fprintf(stderr, "the plugin has no destructor action\n");
            return 2;
        }
        set_action(static_cast<int>(std::wcstol(argv[3], nullptr, 10)));
    }
    FlutterLiteEngineDestroy(engine);
    std::printf("engine destroyed\n");
    std::fflush(stdout);
    return 0;
}
