// Export annotation for the embedder's C API.
//
// flutter_windows.dll is built with FLUTTER_DESKTOP_LIBRARY defined, so its functions are
// exported; every consumer (plugins, the client wrapper, tests) sees them as imports.
#ifndef FLUTTER_LITE_INCLUDE_FLUTTER_EXPORT_H_
#define FLUTTER_LITE_INCLUDE_FLUTTER_EXPORT_H_

#ifndef FLUTTER_EXPORT
#ifdef FLUTTER_DESKTOP_LIBRARY
#ifdef _WIN32
#define FLUTTER_EXPORT __declspec(dllexport)
#else
#define FLUTTER_EXPORT __attribute__((visibility("default")))
#endif
#else
#ifdef _WIN32
#define FLUTTER_EXPORT __declspec(dllimport)
#else
#define FLUTTER_EXPORT
#endif
#endif
#endif

#endif  // FLUTTER_LITE_INCLUDE_FLUTTER_EXPORT_H_
