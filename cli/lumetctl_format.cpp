#include "cli/lumetctl_format.h"

#include <any>
#include <cstdio>
#include <map>
#include <utility>

#include "common/utf.h"
#include "plugin/host_api.h"

namespace lumetctl {

namespace lv = lumet_windows_vpn;
using flutter::CustomEncodableValue;
using flutter::EncodableList;
using flutter::EncodableValue;

namespace {

struct CommandSpec {
    const char* method;
    size_t arg_count;
    const char* args_help;
};

const std::map<std::string, CommandSpec>& Commands() {
    static const auto* commands = new std::map<std::string, CommandSpec>{
        {"available", {"isAvailable", 0, ""}},
        {"health", {"getHealth", 0, ""}},
        {"agent-health", {"getAgentHealth", 0, ""}},
        {"service-health", {"getServiceHealth", 0, ""}},
        {"wg-up", {"startWireGuard", 1, " <config-file>"}},
        {"wg-status", {"wireGuardStatus", 0, ""}},
        {"wg-down", {"stopWireGuard", 0, ""}},
        {"events", {"startEvents", 1, " <seconds>"}},
        {"ovpn-caps", {"getOpenVpnCapabilities", 0, ""}},
        {"ovpn-up", {"startOpenVpn", 2, " <profile-file> <user>"}},
        {"ovpn-status", {"getOpenVpnStatus", 0, ""}},
        {"ovpn-down", {"stopOpenVpn", 0, ""}},
    };
    return *commands;
}

// A neutral tree of an answer, from which both output forms are made.
struct Node {
    enum class Kind { Null, Bool, Int, Double, String, List, Object } kind = Kind::Null;
    bool b = false;
    int64_t i = 0;
    double d = 0;
    std::string s;
    std::vector<Node> items;
    // Parallel lists: a pair holding Node would need Node complete here.
    std::vector<std::string> field_names;
    std::vector<Node> field_values;
};

Node Str(std::string s) {
    Node n;
    n.kind = Node::Kind::String;
    n.s = std::move(s);
    return n;
}
Node Int(int64_t i) {
    Node n;
    n.kind = Node::Kind::Int;
    n.i = i;
    return n;
}
Node Bool(bool b) {
    Node n;
    n.kind = Node::Kind::Bool;
    n.b = b;
    return n;
}

Node ToNode(const EncodableValue& value);

Node Object(std::vector<std::pair<std::string, Node>> fields) {
    Node n;
    n.kind = Node::Kind::Object;
    for (auto& [name, value] : fields) {
        n.field_names.push_back(name);
        n.field_values.push_back(std::move(value));
    }
    return n;
}

const char* Name(lv::LumetComponentState v) {
    static const char* names[] = {"unknown",   "pending", "running",
                                  "reserved3", "absent",  "reserved5"};
    return names[static_cast<int>(v)];
}
const char* Name(lv::LumetNativeErrorKind v) {
    static const char* names[] = {
        "none", "reserved1", "agentUnavailable", "versionMismatch", "connectTimeout", "internal"};
    return names[static_cast<int>(v)];
}
const char* Name(lv::LumetTriState v) {
    static const char* names[] = {"unknown", "yes", "no"};
    return names[static_cast<int>(v)];
}
const char* Name(lv::LumetOpenVpnState v) {
    static const char* names[] = {"other",    "connecting", "resolve",     "tcpConnect",
                                  "wait",     "auth",       "authPending", "getConfig",
                                  "assignIp", "addRoutes",  "connected",   "reconnecting",
                                  "exiting"};
    return names[static_cast<int>(v)];
}
const char* Name(lv::LumetOpenVpnErrorKind v) {
    static const char* names[] = {"none",
                                  "invalidRequest",
                                  "unsupportedProtocol",
                                  "attemptActive",
                                  "reserved4",
                                  "launchFailed",
                                  "managementUnavailable",
                                  "authFailed",
                                  "openVpnFatal",
                                  "openVpnExited",
                                  "tunnelTimeout",
                                  "internalError",
                                  "serviceUnreachable",
                                  "launchIoFailed",
                                  "accessRefused",
                                  "rejected",
                                  "managementAuthRejected"};
    return names[static_cast<int>(v)];
}

template <typename T>
const T* As(const std::any& any) {
    return std::any_cast<T>(&any);
}

Node VersionNode(const lv::LumetVersionInfo& v) {
    return Object({{"protocol", Int(v.protocol())},
                   {"version", Str(v.version())},
                   {"capabilities", ToNode(EncodableValue(v.capabilities()))}});
}

Node CustomNode(const std::any& any) {
    if (const auto* v = As<lv::LumetComponentState>(any))
        return Str(Name(*v));
    if (const auto* v = As<lv::LumetNativeErrorKind>(any))
        return Str(Name(*v));
    if (const auto* v = As<lv::LumetTriState>(any))
        return Str(Name(*v));
    if (const auto* v = As<lv::LumetOpenVpnState>(any))
        return Str(Name(*v));
    if (const auto* v = As<lv::LumetOpenVpnErrorKind>(any))
        return Str(Name(*v));
    if (const auto* v = As<lv::LumetVersionInfo>(any))
        return VersionNode(*v);
    if (const auto* v = As<lv::LumetNativeHealth>(any)) {
        return Object({{"state", Str(Name(v->state()))},
                       {"protocol", Int(v->protocol())},
                       {"version", Str(v->version())},
                       {"sessionId", Int(v->session_id())},
                       {"agentReachable", Bool(v->agent_reachable())},
                       {"serviceLinkUp", Bool(v->service_link_up())},
                       {"lastError", Str(Name(v->last_error()))}});
    }
    if (const auto* v = As<lv::LumetAgentHealth>(any)) {
        return Object({{"state", Str(Name(v->state()))},
                       {"versionInfo", VersionNode(v->version_info())},
                       {"sessionId", Int(v->session_id())},
                       {"generationText", Str(v->generation_text())},
                       {"serviceLinkUp", Bool(v->service_link_up())}});
    }
    if (const auto* v = As<lv::LumetServiceHealth>(any)) {
        return Object({{"state", Str(Name(v->state()))},
                       {"versionInfo", VersionNode(v->version_info())},
                       {"generationText", Str(v->generation_text())},
                       {"uptimeSeconds", Int(v->uptime_seconds())}});
    }
    if (const auto* v = As<lv::LumetWireGuardStatus>(any)) {
        return Object({{"state", Str(Name(v->state()))},
                       {"adapterPresent", Bool(v->adapter_present())},
                       {"rxBytes", Int(v->rx_bytes())},
                       {"txBytes", Int(v->tx_bytes())},
                       {"lastHandshakeMs", Int(v->last_handshake_ms())},
                       {"error", Int(v->error())}});
    }
    if (const auto* v = As<lv::LumetOpenVpnCapabilities>(any)) {
        return Object(
            {{"openVpnFound", Str(Name(v->open_vpn_found()))},
             {"openVpnVersion", Str(v->open_vpn_version())},
             {"interactiveServiceInstalled", Str(Name(v->interactive_service_installed()))},
             {"interactiveServiceRunning", Str(Name(v->interactive_service_running()))},
             {"spare1", Str(Name(v->spare1()))},
             {"spare2", Str(Name(v->spare2()))}});
    }
    if (const auto* v = As<lv::LumetOpenVpnStatus>(any)) {
        return Object({{"state", Str(Name(v->state()))},
                       {"active", Bool(v->active())},
                       {"bytesIn", Int(v->bytes_in())},
                       {"bytesOut", Int(v->bytes_out())},
                       {"connectedSinceMs", Int(v->connected_since_ms())},
                       {"error", Str(Name(v->error()))},
                       {"attempt", Int(v->attempt())}});
    }
    if (const auto* v = As<lv::LumetNativeEvent>(any)) {
        return Object({{"kind", Str(v->kind())},
                       {"detail", Str(v->detail())},
                       {"timestampMs", Int(v->timestamp_ms())}});
    }
    return Str("<unknown custom value>");
}

Node ToNode(const EncodableValue& value) {
    if (const auto* v = std::get_if<bool>(&value))
        return Bool(*v);
    if (const auto* v = std::get_if<int32_t>(&value))
        return Int(*v);
    if (const auto* v = std::get_if<int64_t>(&value))
        return Int(*v);
    if (const auto* v = std::get_if<double>(&value)) {
        Node n;
        n.kind = Node::Kind::Double;
        n.d = *v;
        return n;
    }
    if (const auto* v = std::get_if<std::string>(&value))
        return Str(*v);
    if (const auto* v = std::get_if<EncodableList>(&value)) {
        Node n;
        n.kind = Node::Kind::List;
        for (const EncodableValue& item : *v) {
            n.items.push_back(ToNode(item));
        }
        return n;
    }
    if (const auto* v = std::get_if<CustomEncodableValue>(&value)) {
        return CustomNode(static_cast<const std::any&>(*v));
    }
    return Node();
}

std::string JsonString(const std::string& s) {
    std::string out = "\"";
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            std::snprintf(esc, sizeof(esc), "\\u%04x", c);
            out += esc;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

std::string Scalar(const Node& n, bool json) {
    switch (n.kind) {
        case Node::Kind::Null:
            return "null";
        case Node::Kind::Bool:
            return n.b ? "true" : "false";
        case Node::Kind::Int:
            return std::to_string(n.i);
        case Node::Kind::Double: {
            char text[64];
            std::snprintf(text, sizeof(text), "%.17g", n.d);
            return text;
        }
        case Node::Kind::String:
            return json ? JsonString(n.s) : n.s;
        default:
            return std::string();
    }
}

std::string Json(const Node& n) {
    if (n.kind == Node::Kind::List) {
        std::string out = "[";
        for (size_t i = 0; i < n.items.size(); ++i) {
            out += (i ? "," : "") + Json(n.items[i]);
        }
        return out + "]";
    }
    if (n.kind == Node::Kind::Object) {
        std::string out = "{";
        for (size_t i = 0; i < n.field_names.size(); ++i) {
            out += (i ? "," : "") + JsonString(n.field_names[i]) + ":" + Json(n.field_values[i]);
        }
        return out + "}";
    }
    return Scalar(n, true);
}

void Text(const Node& n, const std::string& prefix, std::string& out) {
    if (n.kind == Node::Kind::Object) {
        for (size_t i = 0; i < n.field_names.size(); ++i) {
            const std::string& name = n.field_names[i];
            Text(n.field_values[i], prefix.empty() ? name : prefix + "." + name, out);
        }
        return;
    }
    std::string value;
    if (n.kind == Node::Kind::List) {
        for (size_t i = 0; i < n.items.size(); ++i) {
            value += (i ? ", " : "") + (n.items[i].kind == Node::Kind::Object
                                            ? Json(n.items[i])
                                            : Scalar(n.items[i], false));
        }
    } else {
        value = Scalar(n, false);
    }
    out += (prefix.empty() ? std::string("result") : prefix) + ": " + value + "\n";
}

}  // namespace

Command ParseCommandLine(const std::vector<std::wstring>& argv) {
    Command command;
    std::vector<std::wstring> rest;
    for (size_t i = 1; i < argv.size(); ++i) {
        if (argv[i] == L"--json") {
            command.json = true;
        } else if (argv[i] == L"--plugin") {
            if (i + 1 >= argv.size()) {
                command.error = "--plugin needs a path";
                return command;
            }
            command.plugin_path = argv[++i];
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (rest.empty()) {
        command.error = "no command given";
        return command;
    }
    command.name = lumet::common::WideToUtf8(rest[0]);
    const auto found = Commands().find(command.name);
    if (found == Commands().end()) {
        command.error = "unknown command '" + command.name + "'";
        return command;
    }
    command.method = found->second.method;
    command.args.assign(rest.begin() + 1, rest.end());
    if (command.args.size() != found->second.arg_count) {
        command.error = command.name + " takes" + found->second.args_help +
                        (found->second.arg_count == 0 ? " no arguments" : "");
        return command;
    }
    if (command.name == "events") {
        const std::wstring& seconds = command.args[0];
        if (seconds.empty() || seconds.size() > 5 ||
            seconds.find_first_not_of(L"0123456789") != std::wstring::npos) {
            command.error = "events takes a whole number of seconds";
        }
    }
    return command;
}

std::string UsageText() {
    std::string text =
        "usage: lumetctl [--json] [--plugin <dll>] <command> [arguments]\n"
        "Drives the Orrinfield VPN back end through lumet_windows_vpn_plugin.dll, as the\n"
        "application does. Commands:\n";
    for (const auto& [name, spec] : Commands()) {
        text += "  " + name + spec.args_help + "\n";
    }
    text +=
        "ovpn-up reads the password from the console without echo, or from standard input when\n"
        "that is not a console. Exit codes: 0 answered, 1 error answer, 2 usage, 3 no answer.\n";
    return text;
}

std::string FormatText(const EncodableValue& value) {
    std::string out;
    Text(ToNode(value), "", out);
    return out;
}

std::string FormatJson(const EncodableValue& value) {
    return Json(ToNode(value));
}

HostReply ReadHostReply(const EncodableValue& reply) {
    HostReply result;
    const auto* list = std::get_if<EncodableList>(&reply);
    if (list == nullptr) {
        return result;
    }
    if (list->size() == 1) {
        result.kind = HostReply::Kind::Value;
        result.value = list->at(0);
    } else if (list->size() == 3) {
        const auto* code = std::get_if<std::string>(&list->at(0));
        const auto* message = std::get_if<std::string>(&list->at(1));
        if (code != nullptr) {
            result.kind = HostReply::Kind::Error;
            result.code = *code;
            result.message = message != nullptr ? *message : std::string();
        }
    }
    return result;
}

}  // namespace lumetctl
