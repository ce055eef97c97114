// A Flutter view as plugins see it.
#ifndef FLUTTER_LITE_CLIENT_WRAPPER_FLUTTER_VIEW_H_
#define FLUTTER_LITE_CLIENT_WRAPPER_FLUTTER_VIEW_H_

#include <flutter_windows.h>

namespace flutter {

typedef int64_t FlutterViewId;

class FlutterView {
  public:
    explicit FlutterView(FlutterDesktopViewRef view) : view_(view) {}

    virtual ~FlutterView() = default;

    FlutterView(FlutterView const&) = delete;
    FlutterView& operator=(FlutterView const&) = delete;

    HWND GetNativeWindow() { return FlutterDesktopViewGetHWND(view_); }

    IDXGIAdapter* GetGraphicsAdapter() { return FlutterDesktopViewGetGraphicsAdapter(view_); }

  private:
    FlutterDesktopViewRef view_;
};

}  // namespace flutter

#endif  // FLUTTER_LITE_CLIENT_WRAPPER_FLUTTER_VIEW_H_
