#include "cli/lumetctl_format.h"

#include <any>
#include <cstdio>
#include <cwchar>
#include <iterator>
#include <map>
#include <utility>

#include "common/utf.h"
#include "plugin/host_api.h"

namespace lumetctl {

namespace lv = lumet_windows_vpn;

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
        {"doctor", {"", 0, ""}},
    };
    return *commands;
}

template <typename T>
const T* As(const std::any& any) {
    return std::any_cast<T>(&any);
}

// A neutral tree of an answer, from which both output forms are made. The JSON form uses the
// values; the readable form uses `text`, `text_name` and `hidden` where they are set.
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
    std::string text;       // readable value; empty: the plain value
    std::string text_name;  // readable field name; empty: the Dart name
    bool hidden = false;    // left out of the readable form
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
// A value whose readable form differs from its JSON form.
Node Shown(Node n, std::string text, std::string text_name = std::string()) {
    n.text = std::move(text);
    n.text_name = std::move(text_name);
    return n;
}
Node Hidden(Node n) {
    n.hidden = true;
    return n;
}

Node ToNode(const EncodableValue& value, const TextClock& clock);

Node Object(std::vector<std::pair<std::string, Node>> fields) {
    Node n;
    n.kind = Node::Kind::Object;
    for (auto& [name, value] : fields) {
        n.field_names.push_back(name);
        n.field_values.push_back(std::move(value));
    }
    return n;
}

template <size_t N>
const char* Lookup(const char* const (&names)[N], int value) {
    return value >= 0 && static_cast<size_t>(value) < N ? names[value] : "?";
}

// Word and meaning, as the readable form shows them.
struct Meaning {
    const char* word;
    const char* meaning;  // empty: the word says it all
};

template <size_t N>
const char* Lookup(const Meaning (&table)[N], int value) {
    return value >= 0 && static_cast<size_t>(value) < N ? table[value].word : "?";
}

std::string WordAndMeaning(const Meaning& m) {
    return *m.meaning ? std::string(m.word) + " \xE2\x80\x94 " + m.meaning : std::string(m.word);
}

template <size_t N>
std::string MeaningOf(const Meaning (&table)[N], int value, const std::string& fallback) {
    return value >= 0 && static_cast<size_t>(value) < N ? WordAndMeaning(table[value]) : fallback;
}

constexpr Meaning kOpenVpnStates[] = {
    {"other", "OpenVPN has reported no state yet"},
    {"connecting", "OpenVPN is starting the connection"},
    {"resolve", "looking up the server's address"},
    {"tcpConnect", "connecting to the server over TCP"},
    {"wait", "waiting for the server's first answer"},
    {"auth", "authenticating with the server"},
    {"authPending", "the server asks for further authentication"},
    {"getConfig", "fetching the connection's settings from the server"},
    {"assignIp", "giving the tunnel its address"},
    {"addRoutes", "adding the tunnel's routes"},
    {"connected", "the tunnel is up"},
    {"reconnecting", "the connection dropped; OpenVPN is connecting again"},
    {"exiting", "OpenVPN is shutting down"},
};

constexpr Meaning kOpenVpnErrors[] = {
    {"none", ""},
    {"invalidRequest", "the profile, user name or password was refused before connecting"},
    {"unsupportedProtocol", "the profile's \"proto\" is missing or not supported"},
    {"attemptActive", "another connection attempt was already running"},
    {"reserved4", "an error number no component uses"},
    {"launchFailed", "OpenVPN could not be started"},
    {"managementUnavailable", "OpenVPN's management interface could not be reached"},
    {"authFailed", "the server refused the user name or password"},
    {"openVpnFatal", "OpenVPN stopped with a fatal error"},
    {"openVpnExited", "OpenVPN ended unexpectedly"},
    {"tunnelTimeout", "the tunnel did not come up in time"},
    {"internalError", "an internal error in the agent (see agent.log)"},
    {"serviceUnreachable", "the VPN service or OpenVPN's interactive service could not be reached"},
    {"launchIoFailed", "the exchange with OpenVPN's interactive service failed"},
    {"accessRefused", "refused for lack of rights (VPN service or interactive service)"},
    {"rejected", "the VPN service or OpenVPN's interactive service rejected the request"},
    {"managementAuthRejected", "OpenVPN refused the management password"},
};

// The tunnel controller's error numbers.
constexpr Meaning kWireGuardErrors[] = {
    {"none", ""},
    {"configRejected", "the service refused the configuration"},
    {"busy", "another start was in progress"},
    {"setupFailed",
     "the tunnel service could not be created (is wireguard.exe beside the service?)"},
    {"startFailed", "the tunnel service did not start"},
    {"adapterMissing", "the tunnel service runs but its adapter never appeared"},
    {"stopIncomplete", "the tunnel service could not be fully stopped and removed"},
    {"configWriteFailed", "the configuration file could not be written"},
};

constexpr Meaning kWireGuardStates[] = {
    {"unknown", "the state could not be read"},
    {"pending", "the tunnel service exists but its adapter is not up"},
    {"running", "the tunnel adapter is up"},
    {"reserved3", "a state no component uses"},
    {"absent", "no tunnel"},
    {"reserved5", "a state no component uses"},
};

constexpr Meaning kNativeErrors[] = {
    {"none", ""},
    {"reserved1", "an error number no component uses"},
    {"agentUnavailable", "the agent could not be started or reached"},
    {"versionMismatch", "the agent speaks another protocol version"},
    {"connectTimeout", "the agent did not answer in time"},
    {"internal", "an internal error (see plugin.log)"},
};

// Days since 1970-01-01 to a civil date (proleptic Gregorian).
void CivilFromDays(int64_t days, int64_t* year, unsigned* month, unsigned* day) {
    days += 719468;
    const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
    const unsigned doe = static_cast<unsigned>(days - era * 146097);
    const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
    const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
    const unsigned mp = (5 * doy + 2) / 153;
    *day = doy - (153 * mp + 2) / 5 + 1;
    *month = mp < 10 ? mp + 3 : mp - 9;
    *year = static_cast<int64_t>(yoe) + era * 400 + (*month <= 2 ? 1 : 0);
}

int64_t FloorDiv(int64_t a, int64_t b) {
    return a / b - ((a % b != 0) && ((a < 0) != (b < 0)) ? 1 : 0);
}

bool IsDate(int64_t epoch_ms);
std::string LocalDateTime(int64_t epoch_ms, const TextClock& clock);

Node VersionNode(const lv::LumetVersionInfo& v, const TextClock& clock) {
    return Object({{"protocol", Int(v.protocol())},
                   {"version", Str(v.version())},
                   {"capabilities", ToNode(EncodableValue(v.capabilities()), clock)}});
}

Node TimeNode(int64_t ms, const TextClock& clock, const char* readable_name) {
    return Shown(Int(ms), TimeText(ms, clock), readable_name);
}
Node BytesNode(int64_t bytes) {
    return Shown(Int(bytes), BytesText(bytes));
}
Node EnumNode(const char* name, std::string text) {
    return Shown(Str(name), std::move(text));
}

// Before OpenVPN reports a state the record says "other"; without an attempt that simply means
// there is no connection.
std::string OpenVpnStatusStateText(const lv::LumetOpenVpnStatus& status) {
    if (status.state() == lv::LumetOpenVpnState::kOther && !status.active()) {
        return "other \xE2\x80\x94 no OpenVPN connection";
    }
    return OpenVpnStateText(status.state());
}

Node CustomNode(const std::any& any, const TextClock& clock) {
    if (const auto* v = As<lv::LumetComponentState>(any))
        return Str(Name(*v));
    if (const auto* v = As<lv::LumetNativeErrorKind>(any))
        return EnumNode(Name(*v), NativeErrorText(*v));
    if (const auto* v = As<lv::LumetTriState>(any))
        return Str(Name(*v));
    if (const auto* v = As<lv::LumetOpenVpnState>(any))
        return EnumNode(Name(*v), OpenVpnStateText(*v));
    if (const auto* v = As<lv::LumetOpenVpnErrorKind>(any))
        return EnumNode(Name(*v), OpenVpnErrorText(*v));
    if (const auto* v = As<lv::LumetVersionInfo>(any))
        return VersionNode(*v, clock);
    if (const auto* v = As<lv::LumetNativeHealth>(any)) {
        return Object(
            {{"state", Str(Name(v->state()))},
             {"protocol", Int(v->protocol())},
             {"version", Str(v->version())},
             {"sessionId", Int(v->session_id())},
             {"agentReachable", Bool(v->agent_reachable())},
             {"serviceLinkUp", Bool(v->service_link_up())},
             {"lastError", EnumNode(Name(v->last_error()), NativeErrorText(v->last_error()))}});
    }
    if (const auto* v = As<lv::LumetAgentHealth>(any)) {
        return Object({{"state", Str(Name(v->state()))},
                       {"versionInfo", VersionNode(v->version_info(), clock)},
                       {"sessionId", Int(v->session_id())},
                       {"generationText", Str(v->generation_text())},
                       {"serviceLinkUp", Bool(v->service_link_up())}});
    }
    if (const auto* v = As<lv::LumetServiceHealth>(any)) {
        const int64_t up = v->uptime_seconds();
        std::string uptime = DurationText(up);
        if (up >= 0 && up < (int64_t{1} << 40) && IsDate(clock.now_ms - up * 1000)) {
            uptime += " (since " + LocalDateTime(clock.now_ms - up * 1000, clock) + ")";
        }
        return Object({{"state", Str(Name(v->state()))},
                       {"versionInfo", VersionNode(v->version_info(), clock)},
                       {"generationText", Str(v->generation_text())},
                       {"uptimeSeconds", Shown(Int(up), uptime, "uptime")}});
    }
    if (const auto* v = As<lv::LumetWireGuardStatus>(any)) {
        return Object(
            {{"state", EnumNode(Name(v->state()), WireGuardStateText(v->state()))},
             {"adapterPresent", Bool(v->adapter_present())},
             {"rxBytes", BytesNode(v->rx_bytes())},
             {"txBytes", BytesNode(v->tx_bytes())},
             {"lastHandshakeMs", TimeNode(v->last_handshake_ms(), clock, "lastHandshake")},
             {"error", Shown(Int(v->error()), WireGuardErrorText(v->error()))}});
    }
    if (const auto* v = As<lv::LumetOpenVpnCapabilities>(any)) {
        return Object(
            {{"openVpnFound", Str(Name(v->open_vpn_found()))},
             {"openVpnVersion", Str(v->open_vpn_version())},
             {"interactiveServiceInstalled", Str(Name(v->interactive_service_installed()))},
             {"interactiveServiceRunning", Str(Name(v->interactive_service_running()))},
             {"spare1", Hidden(Str(Name(v->spare1())))},
             {"spare2", Hidden(Str(Name(v->spare2())))}});
    }
    if (const auto* v = As<lv::LumetOpenVpnStatus>(any)) {
        return Object(
            {{"state", EnumNode(Name(v->state()), OpenVpnStatusStateText(*v))},
             {"active", Bool(v->active())},
             {"bytesIn", BytesNode(v->bytes_in())},
             {"bytesOut", BytesNode(v->bytes_out())},
             {"connectedSinceMs", TimeNode(v->connected_since_ms(), clock, "connectedSince")},
             {"error", EnumNode(Name(v->error()), OpenVpnErrorText(v->error()))},
             {"attempt", Int(v->attempt())}});
    }
    if (const auto* v = As<lv::LumetNativeEvent>(any)) {
        return Object({{"kind", Str(v->kind())},
                       {"detail", Str(v->detail())},
                       {"timestampMs", TimeNode(v->timestamp_ms(), clock, "timestamp")}});
    }
    return Str("<unknown custom value>");
}

Node ToNode(const EncodableValue& value, const TextClock& clock) {
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
            n.items.push_back(ToNode(item, clock));
        }
        return n;
    }
    if (const auto* v = std::get_if<CustomEncodableValue>(&value)) {
        return CustomNode(static_cast<const std::any&>(*v), clock);
    }
    return Node();
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

// Wire text shown to a person: control characters (a terminal would act on them) become "?".
std::string Printable(const std::string& text) {
    std::string out = text;
    for (char& c : out) {
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
            c = '?';
        }
    }
    return out;
}

std::string Readable(const Node& n) {
    if (!n.text.empty()) {
        return n.text;
    }
    return n.kind == Node::Kind::String ? Printable(n.s) : Scalar(n, false);
}

void Text(const Node& n, const std::string& prefix, std::string& out) {
    if (n.hidden) {
        return;
    }
    if (n.kind == Node::Kind::Object) {
        for (size_t i = 0; i < n.field_names.size(); ++i) {
            const Node& field = n.field_values[i];
            const std::string& name = field.text_name.empty() ? n.field_names[i] : field.text_name;
            Text(field, prefix.empty() ? name : prefix + "." + name, out);
        }
        return;
    }
    std::string value;
    if (n.kind == Node::Kind::List) {
        for (size_t i = 0; i < n.items.size(); ++i) {
            value += (i ? ", " : "") + (n.items[i].kind == Node::Kind::Object
                                            ? Printable(Json(n.items[i]))
                                            : Readable(n.items[i]));
        }
    } else {
        value = Readable(n);
    }
    out += (prefix.empty() ? std::string("result") : prefix) + ": " + value + "\n";
}

}  // namespace

namespace {

bool IsWholeNumber(const std::wstring& text) {
    return !text.empty() && text.size() <= 5 &&
           text.find_first_not_of(L"0123456789") == std::wstring::npos;
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
        } else if (argv[i] == L"--wait") {
            command.wait = true;
            command.wait_seconds = kDefaultWaitSeconds;
            // The limit is optional: a whole number right after --wait is the limit.
            if (i + 1 < argv.size() && IsWholeNumber(argv[i + 1])) {
                command.wait_seconds =
                    static_cast<int>(std::wcstol(argv[++i].c_str(), nullptr, 10));
                if (command.wait_seconds < 1 || command.wait_seconds > 3600) {
                    command.error = "--wait takes 1 to 3600 seconds";
                    return command;
                }
            }
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
    if (command.wait && command.name != "wg-up" && command.name != "ovpn-up") {
        command.error = "--wait goes with wg-up and ovpn-up only";
        return command;
    }
    if (command.name == "events" && !IsWholeNumber(command.args[0])) {
        command.error = "events takes a whole number of seconds";
    }
    return command;
}

std::string UsageText() {
    std::string text =
        "usage: lumetctl [--json] [--plugin <dll>] [--wait [seconds]] <command> [arguments]\n"
        "Drives the Orrinfield VPN back end through lumet_windows_vpn_plugin.dll, as the\n"
        "application does. Commands:\n";
    for (const auto& [name, spec] : Commands()) {
        text += "  " + name + spec.args_help + "\n";
    }
    text +=
        "ovpn-up reads the password from the console without echo, or from standard input when\n"
        "that is not a console. --wait (wg-up, ovpn-up) waits until the tunnel is up or has\n"
        "failed, " +
        std::to_string(kDefaultWaitSeconds) +
        " s unless a number follows it; on a console it shows the progress.\n"
        "doctor checks every piece of the back end and says how to mend what is missing.\n"
        "Exit codes: 0 answered (up; all checks passed), 1 error answer (failed or timed out;\n"
        "a check failed), 2 usage, 3 no answer.\n";
    return text;
}

std::string FormatText(const EncodableValue& value, const TextClock& clock) {
    std::string out;
    Text(ToNode(value, clock), "", out);
    return out;
}

std::string FormatJson(const EncodableValue& value) {
    return Json(ToNode(value, TextClock{}));
}

std::string FormatEventText(const EncodableValue& event, const TextClock& clock) {
    const auto* v = CustomAs<lv::LumetNativeEvent>(event);
    if (v == nullptr) {
        return "event: " + Printable(FormatJson(event));
    }
    return "event: " + TimeText(v->timestamp_ms(), clock) + " " + Printable(v->kind()) +
           (v->detail().empty() ? "" : " " + Printable(v->detail()));
}

std::string AgoText(int64_t elapsed_ms) {
    const bool ahead = elapsed_ms < 0;
    // Magnitude in seconds, without overflowing at the most negative value.
    const uint64_t seconds =
        (ahead ? 0 - static_cast<uint64_t>(elapsed_ms) : static_cast<uint64_t>(elapsed_ms)) / 1000;
    std::string amount;
    if (seconds < 60) {
        amount = std::to_string(seconds) + " s";
    } else if (seconds < 3600) {
        amount = std::to_string(seconds / 60) + " min";
    } else if (seconds < 48 * 3600) {
        amount = std::to_string(seconds / 3600) + " h";
    } else {
        amount = std::to_string(seconds / 86400) + " d";
    }
    return ahead ? "in " + amount : amount + " ago";
}

namespace {

// Years 1970 to 9999; anything else is no time this system produces.
bool IsDate(int64_t epoch_ms) {
    return epoch_ms > 0 && epoch_ms <= 253402300799999;
}

// "2026-03-01 09:15:02" in local time, for a time that IsDate.
std::string LocalDateTime(int64_t epoch_ms, const TextClock& clock) {
    const int offset = clock.utc_offset_minutes ? clock.utc_offset_minutes(epoch_ms) : 0;
    const int64_t local_s = FloorDiv(epoch_ms, 1000) + int64_t{offset} * 60;
    const int64_t days = FloorDiv(local_s, 86400);
    const int64_t second_of_day = local_s - days * 86400;
    int64_t year = 0;
    unsigned month = 0, day = 0;
    CivilFromDays(days, &year, &month, &day);
    char text[64];
    std::snprintf(
        text, sizeof(text), "%04lld-%02u-%02u %02u:%02u:%02u", static_cast<long long>(year), month,
        day, static_cast<unsigned>(second_of_day / 3600),
        static_cast<unsigned>(second_of_day / 60 % 60), static_cast<unsigned>(second_of_day % 60));
    return text;
}

}  // namespace

std::string TimeText(int64_t epoch_ms, const TextClock& clock) {
    if (epoch_ms == 0) {
        return "never";
    }
    if (!IsDate(epoch_ms)) {
        return std::to_string(epoch_ms) + " (not a date)";
    }
    return LocalDateTime(epoch_ms, clock) + " (" + AgoText(clock.now_ms - epoch_ms) + ")";
}

std::string BytesText(int64_t bytes) {
    if (bytes < 1024) {
        return std::to_string(bytes) + " B";
    }
    static const char* const units[] = {"KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    double value = static_cast<double>(bytes) / 1024;
    size_t unit = 0;
    // Move up while the shown number would reach 1024 after rounding to three digits.
    while (value >= 1023.5 && unit + 1 < std::size(units)) {
        value /= 1024;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof(text),
                  value < 9.995   ? "%.2f"
                  : value < 99.95 ? "%.1f"
                                  : "%.0f",
                  value);
    return std::to_string(bytes) + " (" + text + " " + units[unit] + ")";
}

std::string DurationText(int64_t seconds) {
    if (seconds < 0) {
        return std::to_string(seconds) + " s";
    }
    auto two = [](int64_t big, const char* big_unit, int64_t small, const char* small_unit) {
        return std::to_string(big) + " " + big_unit +
               (small ? " " + std::to_string(small) + " " + small_unit : std::string());
    };
    if (seconds < 60) {
        return std::to_string(seconds) + " s";
    }
    if (seconds < 3600) {
        return two(seconds / 60, "min", seconds % 60, "s");
    }
    if (seconds < 86400) {
        return two(seconds / 3600, "h", seconds / 60 % 60, "min");
    }
    return two(seconds / 86400, "d", seconds / 3600 % 24, "h");
}

std::string WireGuardStateText(lv::LumetComponentState state) {
    return MeaningOf(kWireGuardStates, static_cast<int>(state), "?");
}

std::string WireGuardErrorText(int64_t error) {
    if (error < 0 || error >= static_cast<int64_t>(std::size(kWireGuardErrors))) {
        return std::to_string(error) + " \xE2\x80\x94 an error number this lumetctl does not know";
    }
    return MeaningOf(kWireGuardErrors, static_cast<int>(error), "?");
}

std::string OpenVpnStateText(lv::LumetOpenVpnState state) {
    return MeaningOf(kOpenVpnStates, static_cast<int>(state), "?");
}

std::string OpenVpnErrorText(lv::LumetOpenVpnErrorKind error) {
    return MeaningOf(kOpenVpnErrors, static_cast<int>(error), "?");
}

std::string NativeErrorText(lv::LumetNativeErrorKind error) {
    return MeaningOf(kNativeErrors, static_cast<int>(error), "?");
}

const char* Name(lv::LumetComponentState v) {
    static const char* const names[] = {"unknown",   "pending", "running",
                                        "reserved3", "absent",  "reserved5"};
    return Lookup(names, static_cast<int>(v));
}
const char* Name(lv::LumetNativeErrorKind v) {
    return Lookup(kNativeErrors, static_cast<int>(v));
}
const char* Name(lv::LumetTriState v) {
    static const char* const names[] = {"unknown", "yes", "no"};
    return Lookup(names, static_cast<int>(v));
}
const char* Name(lv::LumetOpenVpnState v) {
    return Lookup(kOpenVpnStates, static_cast<int>(v));
}
const char* Name(lv::LumetOpenVpnErrorKind v) {
    return Lookup(kOpenVpnErrors, static_cast<int>(v));
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
