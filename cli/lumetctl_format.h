// How lumetctl shows what the plugin answers: the host methods it knows by command name, and
// answers (data classes, enums, lists) as readable "name: value" lines or as JSON. Pure.
//
// The JSON form is for scripts and keeps the wire values (Dart field names, enum names, raw
// integers). The readable form is for people: times as local date-time with how long ago, byte
// counts with binary units, states and errors as words with a one-line meaning, spare fields left
// out.
#pragma once

#include <flutter/encodable_value.h>

#include <any>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "plugin/host_api.h"

namespace lumetctl {

// A command line taken apart. `error` is set (and the rest meaningless) when it is not usable.
struct Command {
    std::string name;                // "health", "wg-up", ...
    std::string method;              // host method it calls ("getHealth", ...); empty for doctor
    std::vector<std::wstring> args;  // the command's own arguments
    bool json = false;
    bool wait = false;         // --wait: wg-up and ovpn-up wait for up or failed
    int wait_seconds = 0;      // with `wait`: the limit
    std::wstring plugin_path;  // --plugin <path>; empty: beside lumetctl.exe
    std::string error;
};

// What --wait waits at most when no number follows it.
inline constexpr int kDefaultWaitSeconds = 90;

Command ParseCommandLine(const std::vector<std::wstring>& argv);

std::string UsageText();

// `s` as a JSON string literal: quotes, backslashes and control characters escaped.
std::string JsonString(const std::string& s);

// The moment the readable form is made, and how local time relates to UTC.
struct TextClock {
    int64_t now_ms = 0;  // milliseconds since 1970-01-01 UTC
    // Local time minus UTC, in minutes, at the given instant (daylight saving included). Empty:
    // local time is UTC.
    std::function<int(int64_t epoch_ms)> utc_offset_minutes;
};

// An answer value as readable "name: value" lines (nested classes as "outer.inner: value").
std::string FormatText(const flutter::EncodableValue& value, const TextClock& clock);
// An answer value as one line of JSON: classes as objects with their Dart field names, enums as
// their Dart names, integers as numbers.
std::string FormatJson(const flutter::EncodableValue& value);
// One onNativeEvent value as a readable line (without the line end).
std::string FormatEventText(const flutter::EncodableValue& event, const TextClock& clock);

// The pieces of the readable form.
// "2026-03-01 09:15:02 (12 s ago)"; "never" for 0; the raw number for what is no date.
std::string TimeText(int64_t epoch_ms, const TextClock& clock);
// "12 s ago", "5 min ago", "3 h ago", "4 d ago"; "in 3 s" for a time ahead of now.
std::string AgoText(int64_t elapsed_ms);
// "1234567 (1.18 MiB)"; below 1 KiB the number alone with " B".
std::string BytesText(int64_t bytes);
// "42 s", "3 min 20 s", "2 h 5 min", "3 d 4 h".
std::string DurationText(int64_t seconds);
// "word — meaning" for the enums and the WireGuard error number.
std::string WireGuardStateText(lumet_windows_vpn::LumetComponentState state);
std::string WireGuardErrorText(int64_t error);
std::string OpenVpnStateText(lumet_windows_vpn::LumetOpenVpnState state);
std::string OpenVpnErrorText(lumet_windows_vpn::LumetOpenVpnErrorKind error);
std::string NativeErrorText(lumet_windows_vpn::LumetNativeErrorKind error);
// The Dart names of the enums.
const char* Name(lumet_windows_vpn::LumetComponentState v);
const char* Name(lumet_windows_vpn::LumetNativeErrorKind v);
const char* Name(lumet_windows_vpn::LumetTriState v);
const char* Name(lumet_windows_vpn::LumetOpenVpnState v);
const char* Name(lumet_windows_vpn::LumetOpenVpnErrorKind v);

// What a host reply is: a one-element list holds the value, a three-element list an error.
struct HostReply {
    enum class Kind { Value, Error, Malformed } kind = Kind::Malformed;
    flutter::EncodableValue value;
    std::string code;
    std::string message;
};
HostReply ReadHostReply(const flutter::EncodableValue& reply);

// The custom value inside `value`, or null.
template <typename T>
const T* CustomAs(const flutter::EncodableValue& value) {
    const auto* custom = std::get_if<flutter::CustomEncodableValue>(&value);
    return custom ? std::any_cast<T>(&static_cast<const std::any&>(*custom)) : nullptr;
}

}  // namespace lumetctl
