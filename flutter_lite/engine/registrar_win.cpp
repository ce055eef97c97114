// The embedder's C registrar, view and texture API over the engine. The engine is headless: there
// is no view, and window procedure delegates are recorded without ever being called.
#include "flutter_lite/engine/engine.h"

FlutterDesktopMessengerRef FlutterDesktopPluginRegistrarGetMessenger(
    FlutterDesktopPluginRegistrarRef registrar) {
    return registrar != nullptr ? registrar->engine->messenger() : nullptr;
}

FlutterDesktopTextureRegistrarRef FlutterDesktopRegistrarGetTextureRegistrar(
    FlutterDesktopPluginRegistrarRef registrar) {
    return registrar != nullptr ? registrar->engine->texture_registrar() : nullptr;
}

void FlutterDesktopPluginRegistrarSetDestructionHandler(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopOnPluginRegistrarDestroyed callback) {
    if (registrar != nullptr) {
        registrar->engine->AddDestructionHandler(registrar, callback);
    }
}

HWND FlutterDesktopViewGetHWND(FlutterDesktopViewRef /*view*/) {
    return nullptr;
}

IDXGIAdapter* FlutterDesktopViewGetGraphicsAdapter(FlutterDesktopViewRef /*view*/) {
    return nullptr;
}

FlutterDesktopViewRef FlutterDesktopPluginRegistrarGetView(
    FlutterDesktopPluginRegistrarRef /*registrar*/) {
    return nullptr;
}

FlutterDesktopViewRef FlutterDesktopPluginRegistrarGetViewById(
    FlutterDesktopPluginRegistrarRef /*registrar*/, FlutterDesktopViewId /*view_id*/) {
    return nullptr;
}

void FlutterDesktopPluginRegistrarRegisterTopLevelWindowProcDelegate(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopWindowProcCallback delegate,
    void* user_data) {
    if (registrar != nullptr && delegate != nullptr) {
        registrar->engine->AddWindowProcDelegate(registrar, delegate, user_data);
    }
}

void FlutterDesktopPluginRegistrarUnregisterTopLevelWindowProcDelegate(
    FlutterDesktopPluginRegistrarRef registrar, FlutterDesktopWindowProcCallback delegate) {
    if (registrar != nullptr) {
        registrar->engine->RemoveWindowProcDelegate(registrar, delegate);
    }
}

UINT FlutterDesktopGetDpiForHWND(HWND /*hwnd*/) {
    // Without a view there is no monitor to ask; report the default scale.
    return USER_DEFAULT_SCREEN_DPI;
}
