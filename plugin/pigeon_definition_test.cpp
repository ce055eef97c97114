// The Pigeon definition in pigeons/messages.dart, from which applications generate their Dart
// side, against the hand-written channel layer: channel names, host methods in registration
// order with their argument names and result types, the codec's type bytes (declaration order,
// enums first), class fields in list order with their types, and enum values. Any drift between
// the two fails here, since nothing on these machines runs Dart.
#include <gtest/gtest.h>

#include <cctype>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "plugin/host_api.h"

namespace lumet_windows_vpn {
namespace {

using ::flutter::CustomEncodableValue;
using ::flutter::EncodableList;
using ::flutter::EncodableValue;
using Bytes = std::vector<uint8_t>;

// ---- A reader for the small part of Dart that a Pigeon definition uses ----

struct DartParam {
    std::string type;
    std::string name;
};

struct DartMethod {
    std::string result;
    std::string name;
    std::vector<DartParam> params;
};

struct DartDefinition {
    std::string package_name;
    std::vector<std::pair<std::string, std::vector<std::string>>> enums;
    std::vector<std::pair<std::string, std::vector<DartParam>>> classes;  // fields
    std::string host_api;
    std::vector<DartMethod> host_methods;
    std::string flutter_api;
    std::vector<DartMethod> flutter_methods;
};

std::string StripComments(const std::string& text) {
    std::string out;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, "//") == 0) {
            i = text.find('\n', i);
            if (i == std::string::npos) {
                break;
            }
        } else if (text.compare(i, 2, "/*") == 0) {
            i = text.find("*/", i);
            if (i == std::string::npos) {
                break;
            }
            ++i;
            continue;
        }
        out += text[i];
    }
    return out;
}

std::string Trim(const std::string& s) {
    const size_t begin = s.find_first_not_of(" \t\r\n");
    const size_t end = s.find_last_not_of(" \t\r\n");
    return begin == std::string::npos ? std::string() : s.substr(begin, end - begin + 1);
}

// The text between the brace at `open` and its partner.
std::string Body(const std::string& text, size_t open) {
    int depth = 0;
    for (size_t i = open; i < text.size(); ++i) {
        depth += text[i] == '{' ? 1 : text[i] == '}' ? -1 : 0;
        if (depth == 0) {
            return text.substr(open + 1, i - open - 1);
        }
    }
    return std::string();
}

// The statements of a class body at its own level (nested parentheses and braces removed).
std::vector<std::string> Statements(const std::string& body) {
    std::vector<std::string> statements;
    std::string current;
    int depth = 0;
    for (char c : body) {
        if (c == '(' || c == '{') {
            ++depth;
        }
        if (depth == 0 && c == ';') {
            statements.push_back(Trim(current));
            current.clear();
            continue;
        }
        current += c;
        if (c == ')' || c == '}') {
            --depth;
        }
    }
    return statements;
}

std::vector<DartMethod> Methods(const std::string& body) {
    std::vector<DartMethod> methods;
    const std::regex method(R"(^(?:@\w+\s+)*([\w<>?]+)\s+(\w+)\s*\(([^)]*)\)$)");
    for (const std::string& statement : Statements(body)) {
        std::smatch m;
        if (!std::regex_match(statement, m, method)) {
            continue;
        }
        DartMethod parsed{m[1], m[2], {}};
        std::stringstream params(m[3].str());
        std::string param;
        while (std::getline(params, param, ',')) {
            std::stringstream words(Trim(param));
            DartParam p;
            if (words >> p.type >> p.name) {
                parsed.params.push_back(p);
            }
        }
        methods.push_back(parsed);
    }
    return methods;
}

DartDefinition ParseDefinition(const std::string& source) {
    const std::string text = StripComments(source);
    DartDefinition def;
    std::smatch m;
    if (std::regex_search(text, m, std::regex(R"(dartPackageName:\s*'(\w+)')"))) {
        def.package_name = m[1];
    }
    // Declarations in file order.
    const std::regex declaration(
        R"((@HostApi\(\)\s*|@FlutterApi\(\)\s*)?(abstract\s+)?(enum|class)\s+(\w+)\s*\{)");
    for (auto it = std::sregex_iterator(text.begin(), text.end(), declaration);
         it != std::sregex_iterator(); ++it) {
        const std::smatch& d = *it;
        const std::string body = Body(text, d.position(0) + d.length(0) - 1);
        const std::string name = d[4];
        const std::string annotation = d[1];
        if (d[3] == "enum") {
            std::vector<std::string> values;
            std::stringstream items(body);
            std::string item;
            while (std::getline(items, item, ',')) {
                if (!Trim(item).empty()) {
                    values.push_back(Trim(item));
                }
            }
            def.enums.emplace_back(name, values);
        } else if (annotation.find("HostApi") != std::string::npos) {
            def.host_api = name;
            def.host_methods = Methods(body);
        } else if (annotation.find("FlutterApi") != std::string::npos) {
            def.flutter_api = name;
            def.flutter_methods = Methods(body);
        } else {
            std::vector<DartParam> fields;
            const std::regex field(R"(^([\w<>?]+)\s+(\w+)$)");
            for (const std::string& statement : Statements(body)) {
                std::smatch f;
                if (std::regex_match(statement, f, field)) {
                    fields.push_back({f[1], f[2]});
                }
            }
            def.classes.emplace_back(name, fields);
        }
    }
    return def;
}

std::string ReadDefinitionFile() {
    std::ifstream file(LUMET_PIGEON_DEFINITION, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// ---- The C++ side, observed through its codec and channels ----

Bytes Encode(const EncodableValue& value) {
    return *LumetWindowsVpnHostApi::GetCodec().EncodeMessage(value);
}

EncodableValue Decode(const Bytes& bytes) {
    return *LumetWindowsVpnHostApi::GetCodec().DecodeMessage(bytes.data(), bytes.size());
}

// Records the channels in the order SetUp registers them, and lets "Dart" call them.
class RecordingMessenger : public ::flutter::BinaryMessenger {
  public:
    void Send(const std::string&, const uint8_t*, size_t, ::flutter::BinaryReply) const override {}
    void SetMessageHandler(const std::string& channel,
                           ::flutter::BinaryMessageHandler handler) override {
        if (handler) {
            order.push_back(channel);
            handlers[channel] = std::move(handler);
        }
    }
    EncodableValue Call(const std::string& channel, const EncodableValue& message) {
        EncodableValue answer;
        const Bytes bytes = Encode(message);
        handlers.at(channel)(bytes.data(), bytes.size(), [&](const uint8_t* data, size_t size) {
            answer = Decode(Bytes(data, data + size));
        });
        return answer;
    }
    std::vector<std::string> order;
    std::map<std::string, ::flutter::BinaryMessageHandler> handlers;
};

LumetVersionInfo SampleVersion() {
    return LumetVersionInfo(61, "v-61", EncodableList{EncodableValue("cap-a")});
}
LumetNativeHealth SampleNativeHealth() {
    return LumetNativeHealth(LumetComponentState::kPending, 11, "v-11", 12, true, false,
                             LumetNativeErrorKind::kConnectTimeout);
}
LumetAgentHealth SampleAgentHealth() {
    return LumetAgentHealth(LumetComponentState::kAbsent, SampleVersion(), 21, "g-21", true);
}
LumetServiceHealth SampleServiceHealth() {
    return LumetServiceHealth(LumetComponentState::kRunning, SampleVersion(), "g-31", 32);
}
LumetWireGuardStatus SampleWireGuard() {
    return LumetWireGuardStatus(LumetComponentState::kRunning, true, 41, 42, 43, 44);
}
LumetOpenVpnCapabilities SampleCapabilities() {
    return LumetOpenVpnCapabilities(LumetTriState::kYes, "v-51", LumetTriState::kNo,
                                    LumetTriState::kUnknown, LumetTriState::kYes,
                                    LumetTriState::kNo);
}
LumetOpenVpnStatus SampleOpenVpn() {
    return LumetOpenVpnStatus(LumetOpenVpnState::kAuth, true, 71, 72, 73,
                              LumetOpenVpnErrorKind::kRejected, 74);
}
LumetNativeEvent SampleEvent() {
    return LumetNativeEvent("k-81", "d-81", 82);
}

// Answers every method with its sample, so that the reply shows the result type.
class SampleApi : public LumetWindowsVpnHostApi {
  public:
    void IsAvailable(std::function<void(ErrorOr<bool>)> r) override { r(true); }
    void GetHealth(std::function<void(ErrorOr<LumetNativeHealth>)> r) override {
        r(SampleNativeHealth());
    }
    void GetAgentHealth(std::function<void(ErrorOr<LumetAgentHealth>)> r) override {
        r(SampleAgentHealth());
    }
    void GetServiceHealth(std::function<void(ErrorOr<LumetServiceHealth>)> r) override {
        r(SampleServiceHealth());
    }
    void StartEvents(std::function<void(std::optional<FlutterError>)> r) override {
        r(std::nullopt);
    }
    void StartWireGuard(const std::string&,
                        std::function<void(ErrorOr<LumetWireGuardStatus>)> r) override {
        r(SampleWireGuard());
    }
    void StopWireGuard(std::function<void(ErrorOr<LumetWireGuardStatus>)> r) override {
        r(SampleWireGuard());
    }
    void WireGuardStatus(std::function<void(ErrorOr<LumetWireGuardStatus>)> r) override {
        r(SampleWireGuard());
    }
    void GetOpenVpnCapabilities(std::function<void(ErrorOr<LumetOpenVpnCapabilities>)> r) override {
        r(SampleCapabilities());
    }
    void StartOpenVpn(const std::string&, const std::string&, const std::string&,
                      std::function<void(ErrorOr<LumetOpenVpnStatus>)> r) override {
        r(SampleOpenVpn());
    }
    void StopOpenVpn(std::function<void(ErrorOr<LumetOpenVpnStatus>)> r) override {
        r(SampleOpenVpn());
    }
    void GetOpenVpnStatus(std::function<void(ErrorOr<LumetOpenVpnStatus>)> r) override {
        r(SampleOpenVpn());
    }
};

// The C++ enums by Dart name: each value the C++ side writes, and the reading rule that tells
// how many values it knows (the first number that falls back is the count).
struct EnumSide {
    std::function<EncodableValue(int)> write;
    std::function<int(int64_t)> read;
};
std::map<std::string, EnumSide> CppEnums() {
    auto side = [](auto tag, auto read) {
        using E = decltype(tag);
        return EnumSide{
            [](int v) { return EncodableValue(CustomEncodableValue(static_cast<E>(v))); },
            [read](int64_t v) { return static_cast<int>(read(v)); }};
    };
    return {
        {"LumetComponentState", side(LumetComponentState{}, &ComponentStateFromValue)},
        {"LumetNativeErrorKind", side(LumetNativeErrorKind{}, &NativeErrorKindFromValue)},
        {"LumetTriState", side(LumetTriState{}, &TriStateFromValue)},
        {"LumetOpenVpnState", side(LumetOpenVpnState{}, &OpenVpnStateFromValue)},
        {"LumetOpenVpnErrorKind", side(LumetOpenVpnErrorKind{}, &OpenVpnErrorKindFromValue)},
    };
}

// A sample of each C++ class by Dart name, with each getter's name and value in the order the
// class declares them. The sample values differ field by field wherever the type allows.
using Getters = std::vector<std::pair<std::string, EncodableValue>>;
std::map<std::string, std::pair<EncodableValue, Getters>> CppClasses() {
    auto custom = [](auto v) { return EncodableValue(CustomEncodableValue(v)); };
    const LumetVersionInfo vi = SampleVersion();
    const LumetNativeHealth nh = SampleNativeHealth();
    const LumetAgentHealth ah = SampleAgentHealth();
    const LumetServiceHealth sh = SampleServiceHealth();
    const LumetWireGuardStatus wg = SampleWireGuard();
    const LumetOpenVpnCapabilities oc = SampleCapabilities();
    const LumetOpenVpnStatus os = SampleOpenVpn();
    const LumetNativeEvent ev = SampleEvent();
    using V = EncodableValue;
    return {
        {"LumetVersionInfo",
         {custom(vi),
          {{"protocol", V(vi.protocol())},
           {"version", V(vi.version())},
           {"capabilities", V(vi.capabilities())}}}},
        {"LumetNativeHealth",
         {custom(nh),
          {{"state", custom(nh.state())},
           {"protocol", V(nh.protocol())},
           {"version", V(nh.version())},
           {"session_id", V(nh.session_id())},
           {"agent_reachable", V(nh.agent_reachable())},
           {"service_link_up", V(nh.service_link_up())},
           {"last_error", custom(nh.last_error())}}}},
        {"LumetAgentHealth",
         {custom(ah),
          {{"state", custom(ah.state())},
           {"version_info", custom(ah.version_info())},
           {"session_id", V(ah.session_id())},
           {"generation_text", V(ah.generation_text())},
           {"service_link_up", V(ah.service_link_up())}}}},
        {"LumetServiceHealth",
         {custom(sh),
          {{"state", custom(sh.state())},
           {"version_info", custom(sh.version_info())},
           {"generation_text", V(sh.generation_text())},
           {"uptime_seconds", V(sh.uptime_seconds())}}}},
        {"LumetWireGuardStatus",
         {custom(wg),
          {{"state", custom(wg.state())},
           {"adapter_present", V(wg.adapter_present())},
           {"rx_bytes", V(wg.rx_bytes())},
           {"tx_bytes", V(wg.tx_bytes())},
           {"last_handshake_ms", V(wg.last_handshake_ms())},
           {"error", V(wg.error())}}}},
        {"LumetOpenVpnCapabilities",
         {custom(oc),
          {{"open_vpn_found", custom(oc.open_vpn_found())},
           {"open_vpn_version", V(oc.open_vpn_version())},
           {"interactive_service_installed", custom(oc.interactive_service_installed())},
           {"interactive_service_running", custom(oc.interactive_service_running())},
           {"spare1", custom(oc.spare1())},
           {"spare2", custom(oc.spare2())}}}},
        {"LumetOpenVpnStatus",
         {custom(os),
          {{"state", custom(os.state())},
           {"active", V(os.active())},
           {"bytes_in", V(os.bytes_in())},
           {"bytes_out", V(os.bytes_out())},
           {"connected_since_ms", V(os.connected_since_ms())},
           {"error", custom(os.error())},
           {"attempt", V(os.attempt())}}}},
        {"LumetNativeEvent",
         {custom(ev),
          {{"kind", V(ev.kind())},
           {"detail", V(ev.detail())},
           {"timestamp_ms", V(ev.timestamp_ms())}}}},
    };
}

// camelCase to snake_case: the C++ getter naming of a Dart field.
std::string SnakeCase(const std::string& camel) {
    std::string out;
    for (char c : camel) {
        if (std::isupper(static_cast<unsigned char>(c))) {
            out += '_';
            out += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        } else {
            out += c;
        }
    }
    return out;
}

class PigeonDefinitionTest : public testing::Test {
  protected:
    void SetUp() override {
        const std::string text = ReadDefinitionFile();
        ASSERT_FALSE(text.empty()) << "cannot read " << LUMET_PIGEON_DEFINITION;
        def_ = ParseDefinition(text);
        uint8_t next = 129;
        for (const auto& e : def_.enums) {
            type_bytes_[e.first] = next++;
        }
        for (const auto& c : def_.classes) {
            type_bytes_[c.first] = next++;
        }
    }

    // The first byte the standard codec, extended by the plugin's types, writes for a Dart type.
    std::optional<uint8_t> WireTypeOf(const std::string& dart_type) {
        static const std::map<std::string, uint8_t> standard = {
            {"int", 4}, {"String", 7}, {"List<String>", 12}};
        if (auto it = standard.find(dart_type); it != standard.end()) {
            return it->second;
        }
        if (auto it = type_bytes_.find(dart_type); it != type_bytes_.end()) {
            return it->second;
        }
        return std::nullopt;
    }

    DartDefinition def_;
    std::map<std::string, uint8_t> type_bytes_;
};

TEST_F(PigeonDefinitionTest, ChannelNamesAndHostMethodsMatch) {
    EXPECT_EQ(def_.package_name, "lumet_windows_vpn");
    EXPECT_EQ("dev.flutter.pigeon." + def_.package_name + "." + def_.host_api + ".",
              kHostApiChannelPrefix);
    ASSERT_EQ(def_.flutter_methods.size(), 1u);
    EXPECT_EQ("dev.flutter.pigeon." + def_.package_name + "." + def_.flutter_api + "." +
                  def_.flutter_methods[0].name,
              kOnNativeEventChannel);
    ASSERT_EQ(def_.flutter_methods[0].params.size(), 1u);
    EXPECT_EQ(def_.flutter_methods[0].params[0].type, "LumetNativeEvent");
    EXPECT_EQ(def_.flutter_methods[0].result, "void");

    RecordingMessenger messenger;
    SampleApi api;
    LumetWindowsVpnHostApi::SetUp(&messenger, &api);
    ASSERT_EQ(def_.host_methods.size(), messenger.order.size());
    for (size_t i = 0; i < def_.host_methods.size(); ++i) {
        const DartMethod& method = def_.host_methods[i];
        SCOPED_TRACE(method.name);
        const std::string channel = std::string(kHostApiChannelPrefix) + method.name;
        EXPECT_EQ(messenger.order[i], channel) << "registration order";
        if (!messenger.handlers.count(channel)) {
            continue;
        }
        // Arguments: each one's null is reported under its Dart name, in Dart's order.
        EncodableList args;
        for (const DartParam& param : method.params) {
            EXPECT_EQ(param.type, "String");
            EncodableList probe = args;
            probe.resize(method.params.size());
            const EncodableValue answer = messenger.Call(channel, EncodableValue(probe));
            const auto* list = std::get_if<EncodableList>(&answer);
            ASSERT_NE(list, nullptr);
            ASSERT_EQ(list->size(), 3u);
            EXPECT_EQ(list->at(0), EncodableValue(param.name + "_arg unexpectedly null."));
            args.push_back(EncodableValue("x"));
        }
        // The result: its wire type is the Dart result type's.
        const EncodableValue answer = messenger.Call(channel, EncodableValue(args));
        const auto* list = std::get_if<EncodableList>(&answer);
        ASSERT_NE(list, nullptr);
        ASSERT_EQ(list->size(), 1u);
        if (method.result == "void") {
            EXPECT_TRUE(list->at(0).IsNull());
        } else if (method.result == "bool") {
            EXPECT_TRUE(std::holds_alternative<bool>(list->at(0)));
        } else {
            ASSERT_TRUE(WireTypeOf(method.result).has_value()) << method.result;
            EXPECT_EQ(Encode(list->at(0)).at(0), *WireTypeOf(method.result));
        }
    }
}

TEST_F(PigeonDefinitionTest, EnumsMatch) {
    const auto cpp = CppEnums();
    ASSERT_EQ(def_.enums.size(), cpp.size());
    for (const auto& [name, values] : def_.enums) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(cpp.count(name));
        const EnumSide& side = cpp.at(name);
        EXPECT_EQ(Encode(side.write(0)).at(0), type_bytes_.at(name)) << "type byte";
        // Dart sends the index; C++ knows exactly as many values.
        for (int i = 0; i < static_cast<int>(values.size()); ++i) {
            EXPECT_EQ(side.read(i), i) << values[i];
        }
        EXPECT_NE(side.read(static_cast<int64_t>(values.size())), static_cast<int>(values.size()))
            << "C++ knows more values than Dart";
    }
}

TEST_F(PigeonDefinitionTest, ClassesMatchFieldForField) {
    const auto cpp = CppClasses();
    ASSERT_EQ(def_.classes.size(), cpp.size());
    for (const auto& [name, fields] : def_.classes) {
        SCOPED_TRACE(name);
        ASSERT_TRUE(cpp.count(name));
        const auto& [sample, getters] = cpp.at(name);
        // Dart's fields, in order, are the C++ getters, in order.
        ASSERT_EQ(fields.size(), getters.size()) << "field count";
        for (size_t i = 0; i < fields.size(); ++i) {
            SCOPED_TRACE(fields[i].name);
            EXPECT_EQ(SnakeCase(fields[i].name), getters[i].first) << "field " << i;
            const Bytes element = Encode(getters[i].second);
            if (fields[i].type == "bool") {
                EXPECT_TRUE(element.at(0) == 1 || element.at(0) == 2);
            } else {
                ASSERT_TRUE(WireTypeOf(fields[i].type).has_value()) << fields[i].type;
                EXPECT_EQ(element.at(0), *WireTypeOf(fields[i].type)) << fields[i].type;
            }
        }
        // The written value: the type byte of Dart's declaration order, then the list of the
        // fields in that order.
        const Bytes bytes = Encode(sample);
        ASSERT_FALSE(bytes.empty());
        EXPECT_EQ(bytes[0], type_bytes_.at(name)) << "type byte";
        EncodableList in_order;
        for (const auto& getter : getters) {
            in_order.push_back(getter.second);
        }
        EXPECT_EQ(Bytes(bytes.begin() + 1, bytes.end()), Encode(EncodableValue(in_order)))
            << "the list written differs from the fields in order";
    }
}

}  // namespace
}  // namespace lumet_windows_vpn
