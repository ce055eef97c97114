// How lumetctl shows what the plugin answers: the host methods it knows by command name, and
// answers (data classes, enums, lists) as "name: value" lines or as JSON. Pure.
#pragma once

#include <flutter/encodable_value.h>

#include <optional>
#include <string>
#include <vector>

namespace lumetctl {

// A command line taken apart. `error` is set (and the rest meaningless) when it is not usable.
struct Command {
    std::string name;                // "health", "wg-up", ...
    std::string method;              // host method it calls ("getHealth", ...)
    std::vector<std::wstring> args;  // the command's own arguments
    bool json = false;
    std::wstring plugin_path;  // --plugin <path>; empty: beside lumetctl.exe
    std::string error;
};

Command ParseCommandLine(const std::vector<std::wstring>& argv);

std::string UsageText();

// An answer value as indented "name: value" lines (nested classes as "outer.inner: value").
std::string FormatText(const flutter::EncodableValue& value);
// An answer value as one line of JSON: classes as objects with their Dart field names, enums as
// their Dart names, integers as numbers.
std::string FormatJson(const flutter::EncodableValue& value);

// What a host reply is: a one-element list holds the value, a three-element list an error.
struct HostReply {
    enum class Kind { Value, Error, Malformed } kind = Kind::Malformed;
    flutter::EncodableValue value;
    std::string code;
    std::string message;
};
HostReply ReadHostReply(const flutter::EncodableValue& reply);

}  // namespace lumetctl
