#include "plugin/host_api.h"

#include <any>
#include <exception>
#include <memory>
#include <vector>

#include "common/secure_buffer.h"

namespace lumet_windows_vpn {

using ::flutter::BasicMessageChannel;
using ::flutter::ByteStreamReader;
using ::flutter::ByteStreamWriter;
using ::flutter::CustomEncodableValue;
using ::flutter::EncodableList;
using ::flutter::EncodableValue;
using ::flutter::MessageReply;

namespace {

enum TypeByte : uint8_t {
    kComponentStateByte = 129,
    kNativeErrorKindByte = 130,
    kTriStateByte = 131,
    kOpenVpnStateByte = 132,
    kOpenVpnErrorKindByte = 133,
    kVersionInfoByte = 134,
    kNativeHealthByte = 135,
    kAgentHealthByte = 136,
    kServiceHealthByte = 137,
    kWireGuardStatusByte = 138,
    kOpenVpnCapabilitiesByte = 139,
    kOpenVpnStatusByte = 140,
    kNativeEventByte = 141,
};

std::optional<int64_t> IntOf(const EncodableValue& value) {
    if (const auto* v = std::get_if<int32_t>(&value)) {
        return *v;
    }
    if (const auto* v = std::get_if<int64_t>(&value)) {
        return *v;
    }
    return std::nullopt;
}

template <typename T>
const T* CustomOf(const EncodableValue& value) {
    const auto* custom = std::get_if<CustomEncodableValue>(&value);
    if (custom == nullptr) {
        return nullptr;
    }
    return std::any_cast<T>(&static_cast<const std::any&>(*custom));
}

// Reads the fields of one class list in order; the first mismatch makes ok() false and every
// later read a no-op, so a FromEncodableList reads all its fields and checks once.
class FieldReader {
  public:
    FieldReader(const EncodableList& list, size_t field_count)
        : list_(list), ok_(list.size() >= field_count) {}

    bool ok() const { return ok_; }

    int64_t Int() {
        std::optional<int64_t> v = ok_ ? IntOf(list_[next_++]) : std::nullopt;
        ok_ = ok_ && v.has_value();
        return v.value_or(0);
    }
    bool Bool() { return Get<bool>(false); }
    std::string String() { return Get<std::string>(std::string()); }
    EncodableList List() { return Get<EncodableList>(EncodableList()); }

    template <typename T>
    std::optional<T> Custom() {
        const T* v = ok_ ? CustomOf<T>(list_[next_++]) : nullptr;
        ok_ = ok_ && v != nullptr;
        return v != nullptr ? std::optional<T>(*v) : std::nullopt;
    }

  private:
    template <typename T>
    T Get(T fallback) {
        const T* v = ok_ ? std::get_if<T>(&list_[next_++]) : nullptr;
        ok_ = ok_ && v != nullptr;
        return v != nullptr ? *v : fallback;
    }

    const EncodableList& list_;
    bool ok_;
    size_t next_ = 0;
};

template <typename Enum>
EncodableValue EnumValue(Enum value) {
    return CustomEncodableValue(value);
}

}  // namespace

LumetComponentState ComponentStateFromValue(int64_t value) {
    return value >= 1 && value <= 5 ? static_cast<LumetComponentState>(value)
                                    : LumetComponentState::kUnknown;
}

LumetTriState TriStateFromValue(int64_t value) {
    return value == 1 || value == 2 ? static_cast<LumetTriState>(value) : LumetTriState::kUnknown;
}

LumetOpenVpnState OpenVpnStateFromValue(int64_t value) {
    return value >= 0 && value <= 12 ? static_cast<LumetOpenVpnState>(value)
                                     : LumetOpenVpnState::kOther;
}

LumetOpenVpnErrorKind OpenVpnErrorKindFromValue(int64_t value) {
    return value >= 0 && value <= 16 ? static_cast<LumetOpenVpnErrorKind>(value)
                                     : LumetOpenVpnErrorKind::kInternalError;
}

LumetNativeErrorKind NativeErrorKindFromValue(int64_t value) {
    return value >= 0 && value <= 5 ? static_cast<LumetNativeErrorKind>(value)
                                    : LumetNativeErrorKind::kInternal;
}

// LumetVersionInfo

LumetVersionInfo::LumetVersionInfo(int64_t protocol, const std::string& version,
                                   const EncodableList& capabilities)
    : protocol_(protocol), version_(version), capabilities_(capabilities) {}

EncodableList LumetVersionInfo::ToEncodableList() const {
    return EncodableList{EncodableValue(protocol_), EncodableValue(version_),
                         EncodableValue(capabilities_)};
}

std::optional<LumetVersionInfo> LumetVersionInfo::FromEncodableList(const EncodableList& list) {
    FieldReader r(list, 3);
    const int64_t protocol = r.Int();
    std::string version = r.String();
    EncodableList capabilities = r.List();
    if (!r.ok()) {
        return std::nullopt;
    }
    return LumetVersionInfo(protocol, version, capabilities);
}

// LumetNativeHealth

LumetNativeHealth::LumetNativeHealth(LumetComponentState state, int64_t protocol,
                                     const std::string& version, int64_t session_id,
                                     bool agent_reachable, bool service_link_up,
                                     LumetNativeErrorKind last_error)
    : state_(state),
      protocol_(protocol),
      version_(version),
      session_id_(session_id),
      agent_reachable_(agent_reachable),
      service_link_up_(service_link_up),
      last_error_(last_error) {}

EncodableList LumetNativeHealth::ToEncodableList() const {
    return EncodableList{EnumValue(state_),
                         EncodableValue(protocol_),
                         EncodableValue(version_),
                         EncodableValue(session_id_),
                         EncodableValue(agent_reachable_),
                         EncodableValue(service_link_up_),
                         EnumValue(last_error_)};
}

std::optional<LumetNativeHealth> LumetNativeHealth::FromEncodableList(const EncodableList& list) {
    FieldReader r(list, 7);
    const auto state = r.Custom<LumetComponentState>();
    const int64_t protocol = r.Int();
    const std::string version = r.String();
    const int64_t session_id = r.Int();
    const bool agent_reachable = r.Bool();
    const bool service_link_up = r.Bool();
    const auto last_error = r.Custom<LumetNativeErrorKind>();
    if (!r.ok()) {
        return std::nullopt;
    }
    return LumetNativeHealth(*state, protocol, version, session_id, agent_reachable,
                             service_link_up, *last_error);
}

// LumetAgentHealth

LumetAgentHealth::LumetAgentHealth(LumetComponentState state, const LumetVersionInfo& version_info,
                                   int64_t session_id, const std::string& generation_text,
                                   bool service_link_up)
    : state_(state),
      version_info_(version_info),
      session_id_(session_id),
      generation_text_(generation_text),
      service_link_up_(service_link_up) {}

EncodableList LumetAgentHealth::ToEncodableList() const {
    return EncodableList{EnumValue(state_), CustomEncodableValue(version_info_),
                         EncodableValue(session_id_), EncodableValue(generation_text_),
                         EncodableValue(service_link_up_)};
}

std::optional<LumetAgentHealth> LumetAgentHealth::FromEncodableList(const EncodableList& list) {
    FieldReader r(list, 5);
    const auto state = r.Custom<LumetComponentState>();
    const auto version_info = r.Custom<LumetVersionInfo>();
    const int64_t session_id = r.Int();
    const std::string generation_text = r.String();
    const bool service_link_up = r.Bool();
    if (!r.ok()) {
        return std::nullopt;
    }
    return LumetAgentHealth(*state, *version_info, session_id, generation_text, service_link_up);
}

// LumetServiceHealth

LumetServiceHealth::LumetServiceHealth(LumetComponentState state,
                                       const LumetVersionInfo& version_info,
                                       const std::string& generation_text, int64_t uptime_seconds)
    : state_(state),
      version_info_(version_info),
      generation_text_(generation_text),
      uptime_seconds_(uptime_seconds) {}

EncodableList LumetServiceHealth::ToEncodableList() const {
    return EncodableList{EnumValue(state_), CustomEncodableValue(version_info_),
                         EncodableValue(generation_text_), EncodableValue(uptime_seconds_)};
}

std::optional<LumetServiceHealth> LumetServiceHealth::FromEncodableList(const EncodableList& list) {
    FieldReader r(list, 4);
    const auto state = r.Custom<LumetComponentState>();
    const auto version_info = r.Custom<LumetVersionInfo>();
    const std::string generation_text = r.String();
    const int64_t uptime_seconds = r.Int();
    if (!r.ok()) {
        return std::nullopt;
    }
    return LumetServiceHealth(*state, *version_info, generation_text, uptime_seconds);
}

// LumetWireGuardStatus

LumetWireGuardStatus::LumetWireGuardStatus(LumetComponentState state, bool adapter_present,
                                           int64_t rx_bytes, int64_t tx_bytes,
                                           int64_t last_handshake_ms, int64_t error)
    : state_(state),
      adapter_present_(adapter_present),
      rx_bytes_(rx_bytes),
      tx_bytes_(tx_bytes),
      last_handshake_ms_(last_handshake_ms),
      error_(error) {}

EncodableList LumetWireGuardStatus::ToEncodableList() const {
    return EncodableList{
        EnumValue(state_),         EncodableValue(adapter_present_),   EncodableValue(rx_bytes_),
        EncodableValue(tx_bytes_), EncodableValue(last_handshake_ms_), EncodableValue(error_)};
}

std::optional<LumetWireGuardStatus> LumetWireGuardStatus::FromEncodableList(
    const EncodableList& list) {
    FieldReader r(list, 6);
    const auto state = r.Custom<LumetComponentState>();
    const bool adapter_present = r.Bool();
    const int64_t rx_bytes = r.Int();
    const int64_t tx_bytes = r.Int();
    const int64_t last_handshake_ms = r.Int();
    const int64_t error = r.Int();
    if (!r.ok()) {
        return std::nullopt;
    }
    return LumetWireGuardStatus(*state, adapter_present, rx_bytes, tx_bytes, last_handshake_ms,
                                error);
}

// LumetOpenVpnCapabilities

LumetOpenVpnCapabilities::LumetOpenVpnCapabilities(LumetTriState open_vpn_found,
                                                   const std::string& open_vpn_version,
                                                   LumetTriState interactive_service_installed,
                                                   LumetTriState interactive_service_running,
                                                   LumetTriState spare1, LumetTriState spare2)
    : open_vpn_found_(open_vpn_found),
      open_vpn_version_(open_vpn_version),
      interactive_service_installed_(interactive_service_installed),
      interactive_service_running_(interactive_service_running),
      spare1_(spare1),
      spare2_(spare2) {}

EncodableList LumetOpenVpnCapabilities::ToEncodableList() const {
    return EncodableList{EnumValue(open_vpn_found_),
                         EncodableValue(open_vpn_version_),
                         EnumValue(interactive_service_installed_),
                         EnumValue(interactive_service_running_),
                         EnumValue(spare1_),
                         EnumValue(spare2_)};
}

std::optional<LumetOpenVpnCapabilities> LumetOpenVpnCapabilities::FromEncodableList(
    const EncodableList& list) {
    FieldReader r(list, 6);
    const auto found = r.Custom<LumetTriState>();
    const std::string version = r.String();
    const auto installed = r.Custom<LumetTriState>();
    const auto running = r.Custom<LumetTriState>();
    const auto spare1 = r.Custom<LumetTriState>();
    const auto spare2 = r.Custom<LumetTriState>();
    if (!r.ok()) {
        return std::nullopt;
    }
    return LumetOpenVpnCapabilities(*found, version, *installed, *running, *spare1, *spare2);
}

// LumetOpenVpnStatus

LumetOpenVpnStatus::LumetOpenVpnStatus(LumetOpenVpnState state, bool active, int64_t bytes_in,
                                       int64_t bytes_out, int64_t connected_since_ms,
                                       LumetOpenVpnErrorKind error, int64_t attempt)
    : state_(state),
      active_(active),
      bytes_in_(bytes_in),
      bytes_out_(bytes_out),
      connected_since_ms_(connected_since_ms),
      error_(error),
      attempt_(attempt) {}

EncodableList LumetOpenVpnStatus::ToEncodableList() const {
    return EncodableList{EnumValue(state_),
                         EncodableValue(active_),
                         EncodableValue(bytes_in_),
                         EncodableValue(bytes_out_),
                         EncodableValue(connected_since_ms_),
                         EnumValue(error_),
                         EncodableValue(attempt_)};
}

std::optional<LumetOpenVpnStatus> LumetOpenVpnStatus::FromEncodableList(const EncodableList& list) {
    FieldReader r(list, 7);
    const auto state = r.Custom<LumetOpenVpnState>();
    const bool active = r.Bool();
    const int64_t bytes_in = r.Int();
    const int64_t bytes_out = r.Int();
    const int64_t connected_since_ms = r.Int();
    const auto error = r.Custom<LumetOpenVpnErrorKind>();
    const int64_t attempt = r.Int();
    if (!r.ok()) {
        return std::nullopt;
    }
    return LumetOpenVpnStatus(*state, active, bytes_in, bytes_out, connected_since_ms, *error,
                              attempt);
}

// LumetNativeEvent

LumetNativeEvent::LumetNativeEvent(const std::string& kind, const std::string& detail,
                                   int64_t timestamp_ms)
    : kind_(kind), detail_(detail), timestamp_ms_(timestamp_ms) {}

EncodableList LumetNativeEvent::ToEncodableList() const {
    return EncodableList{EncodableValue(kind_), EncodableValue(detail_),
                         EncodableValue(timestamp_ms_)};
}

std::optional<LumetNativeEvent> LumetNativeEvent::FromEncodableList(const EncodableList& list) {
    FieldReader r(list, 3);
    const std::string kind = r.String();
    const std::string detail = r.String();
    const int64_t timestamp_ms = r.Int();
    if (!r.ok()) {
        return std::nullopt;
    }
    return LumetNativeEvent(kind, detail, timestamp_ms);
}

// PigeonInternalCodecSerializer

PigeonInternalCodecSerializer::PigeonInternalCodecSerializer() = default;

namespace {

template <typename Enum>
bool WriteEnum(const std::any& value, uint8_t type, const ::flutter::StandardCodecSerializer& s,
               ByteStreamWriter* stream) {
    const Enum* e = std::any_cast<Enum>(&value);
    if (e == nullptr) {
        return false;
    }
    stream->WriteByte(type);
    s.WriteValue(EncodableValue(static_cast<int32_t>(*e)), stream);
    return true;
}

template <typename Class>
bool WriteClass(const std::any& value, uint8_t type, const ::flutter::StandardCodecSerializer& s,
                ByteStreamWriter* stream) {
    const Class* c = std::any_cast<Class>(&value);
    if (c == nullptr) {
        return false;
    }
    stream->WriteByte(type);
    s.WriteValue(EncodableValue(c->ToEncodableList()), stream);
    return true;
}

template <typename Enum>
EncodableValue ReadEnum(const EncodableValue& body, Enum (*from_value)(int64_t)) {
    std::optional<int64_t> v = IntOf(body);
    return v ? EncodableValue(CustomEncodableValue(from_value(*v))) : EncodableValue();
}

template <typename Class>
EncodableValue ReadClass(const EncodableValue& body) {
    const auto* list = std::get_if<EncodableList>(&body);
    if (list == nullptr) {
        return EncodableValue();
    }
    std::optional<Class> c = Class::FromEncodableList(*list);
    return c ? EncodableValue(CustomEncodableValue(std::move(*c))) : EncodableValue();
}

}  // namespace

void PigeonInternalCodecSerializer::WriteValue(const EncodableValue& value,
                                               ByteStreamWriter* stream) const {
    if (const auto* custom = std::get_if<CustomEncodableValue>(&value)) {
        const std::any& any = *custom;
        const StandardCodecSerializer& s = *this;
        if (WriteEnum<LumetComponentState>(any, kComponentStateByte, s, stream) ||
            WriteEnum<LumetNativeErrorKind>(any, kNativeErrorKindByte, s, stream) ||
            WriteEnum<LumetTriState>(any, kTriStateByte, s, stream) ||
            WriteEnum<LumetOpenVpnState>(any, kOpenVpnStateByte, s, stream) ||
            WriteEnum<LumetOpenVpnErrorKind>(any, kOpenVpnErrorKindByte, s, stream) ||
            WriteClass<LumetVersionInfo>(any, kVersionInfoByte, s, stream) ||
            WriteClass<LumetNativeHealth>(any, kNativeHealthByte, s, stream) ||
            WriteClass<LumetAgentHealth>(any, kAgentHealthByte, s, stream) ||
            WriteClass<LumetServiceHealth>(any, kServiceHealthByte, s, stream) ||
            WriteClass<LumetWireGuardStatus>(any, kWireGuardStatusByte, s, stream) ||
            WriteClass<LumetOpenVpnCapabilities>(any, kOpenVpnCapabilitiesByte, s, stream) ||
            WriteClass<LumetOpenVpnStatus>(any, kOpenVpnStatusByte, s, stream) ||
            WriteClass<LumetNativeEvent>(any, kNativeEventByte, s, stream)) {
            return;
        }
    }
    ::flutter::StandardCodecSerializer::WriteValue(value, stream);
}

EncodableValue PigeonInternalCodecSerializer::ReadValueOfType(uint8_t type,
                                                              ByteStreamReader* stream) const {
    switch (type) {
        case kComponentStateByte:
            return ReadEnum(ReadValue(stream), &ComponentStateFromValue);
        case kNativeErrorKindByte:
            return ReadEnum(ReadValue(stream), &NativeErrorKindFromValue);
        case kTriStateByte:
            return ReadEnum(ReadValue(stream), &TriStateFromValue);
        case kOpenVpnStateByte:
            return ReadEnum(ReadValue(stream), &OpenVpnStateFromValue);
        case kOpenVpnErrorKindByte:
            return ReadEnum(ReadValue(stream), &OpenVpnErrorKindFromValue);
        case kVersionInfoByte:
            return ReadClass<LumetVersionInfo>(ReadValue(stream));
        case kNativeHealthByte:
            return ReadClass<LumetNativeHealth>(ReadValue(stream));
        case kAgentHealthByte:
            return ReadClass<LumetAgentHealth>(ReadValue(stream));
        case kServiceHealthByte:
            return ReadClass<LumetServiceHealth>(ReadValue(stream));
        case kWireGuardStatusByte:
            return ReadClass<LumetWireGuardStatus>(ReadValue(stream));
        case kOpenVpnCapabilitiesByte:
            return ReadClass<LumetOpenVpnCapabilities>(ReadValue(stream));
        case kOpenVpnStatusByte:
            return ReadClass<LumetOpenVpnStatus>(ReadValue(stream));
        case kNativeEventByte:
            return ReadClass<LumetNativeEvent>(ReadValue(stream));
        default:
            return ::flutter::StandardCodecSerializer::ReadValueOfType(type, stream);
    }
}

// LumetWindowsVpnHostApi

namespace {

// Overwrites the strings of a decoded message once its handler is done with them. The message
// object belongs to the channel (the embedder's wrapper decodes into a fresh value), so zeroing it
// in place is legal; the arguments may be a private key, a profile or a password.
class DecodedMessageWiper {
  public:
    explicit DecodedMessageWiper(const EncodableValue& message)
        : message_(const_cast<EncodableValue&>(message)) {}
    ~DecodedMessageWiper() {
        if (auto* list = std::get_if<EncodableList>(&message_)) {
            for (EncodableValue& item : *list) {
                if (auto* text = std::get_if<std::string>(&item)) {
                    lumet::common::WipeString(*text);
                }
            }
        }
    }
    DecodedMessageWiper(const DecodedMessageWiper&) = delete;
    DecodedMessageWiper& operator=(const DecodedMessageWiper&) = delete;

  private:
    EncodableValue& message_;
};

std::string ChannelName(std::string_view method, const std::string& suffix) {
    std::string name = std::string(kHostApiChannelPrefix) + std::string(method);
    if (!suffix.empty()) {
        name += "." + suffix;
    }
    return name;
}

template <typename T>
std::function<void(ErrorOr<T> reply)> ClassReply(const MessageReply<EncodableValue>& reply) {
    return [reply](ErrorOr<T> output) {
        if (output.has_error()) {
            reply(LumetWindowsVpnHostApi::WrapError(output.error()));
            return;
        }
        EncodableList wrapped;
        wrapped.push_back(CustomEncodableValue(output.value()));
        reply(EncodableValue(std::move(wrapped)));
    };
}

using Handler =
    std::function<void(const EncodableValue& message, const MessageReply<EncodableValue>& reply)>;

void Register(::flutter::BinaryMessenger* messenger, const std::string& suffix,
              std::string_view method, LumetWindowsVpnHostApi* api, Handler handler) {
    BasicMessageChannel<> channel(messenger, ChannelName(method, suffix),
                                  &LumetWindowsVpnHostApi::GetCodec());
    if (api == nullptr) {
        channel.SetMessageHandler(nullptr);
        return;
    }
    channel.SetMessageHandler(
        [handler = std::move(handler)](const EncodableValue& message,
                                       const MessageReply<EncodableValue>& reply) {
            DecodedMessageWiper wiper(message);
            try {
                handler(message, reply);
            } catch (const std::exception& exception) {
                reply(LumetWindowsVpnHostApi::WrapError(exception.what()));
            } catch (...) {
                // Anything else thrown here would unwind into the embedder, which is built
                // without exceptions, and end the application.
                reply(LumetWindowsVpnHostApi::WrapError("unknown exception"));
            }
        });
}

// The string argument at `index`, or null after answering the null-argument error.
const std::string* StringArg(const EncodableList& args, size_t index, const char* null_code,
                             const MessageReply<EncodableValue>& reply) {
    const EncodableValue& arg = args.at(index);
    if (arg.IsNull()) {
        reply(LumetWindowsVpnHostApi::WrapError(null_code));
        return nullptr;
    }
    return &std::get<std::string>(arg);
}

}  // namespace

const ::flutter::StandardMessageCodec& LumetWindowsVpnHostApi::GetCodec() {
    return ::flutter::StandardMessageCodec::GetInstance(
        &PigeonInternalCodecSerializer::GetInstance());
}

void LumetWindowsVpnHostApi::SetUp(::flutter::BinaryMessenger* binary_messenger,
                                   LumetWindowsVpnHostApi* api) {
    SetUp(binary_messenger, api, "");
}

void LumetWindowsVpnHostApi::SetUp(::flutter::BinaryMessenger* binary_messenger,
                                   LumetWindowsVpnHostApi* api,
                                   const std::string& message_channel_suffix) {
    auto* m = binary_messenger;
    const std::string& s = message_channel_suffix;

    Register(m, s, "isAvailable", api, [api](const EncodableValue&, const auto& reply) {
        api->IsAvailable([reply](ErrorOr<bool> output) {
            if (output.has_error()) {
                reply(WrapError(output.error()));
                return;
            }
            reply(EncodableValue(EncodableList{EncodableValue(output.value())}));
        });
    });
    Register(m, s, "getHealth", api, [api](const EncodableValue&, const auto& reply) {
        api->GetHealth(ClassReply<LumetNativeHealth>(reply));
    });
    Register(m, s, "getAgentHealth", api, [api](const EncodableValue&, const auto& reply) {
        api->GetAgentHealth(ClassReply<LumetAgentHealth>(reply));
    });
    Register(m, s, "getServiceHealth", api, [api](const EncodableValue&, const auto& reply) {
        api->GetServiceHealth(ClassReply<LumetServiceHealth>(reply));
    });
    Register(m, s, "startEvents", api, [api](const EncodableValue&, const auto& reply) {
        api->StartEvents([reply](std::optional<FlutterError>&& output) {
            if (output.has_value()) {
                reply(WrapError(output.value()));
                return;
            }
            reply(EncodableValue(EncodableList{EncodableValue()}));
        });
    });
    Register(m, s, "startWireGuard", api, [api](const EncodableValue& message, const auto& reply) {
        const auto& args = std::get<EncodableList>(message);
        const std::string* config = StringArg(args, 0, "config_arg unexpectedly null.", reply);
        if (config == nullptr) {
            return;
        }
        api->StartWireGuard(*config, ClassReply<LumetWireGuardStatus>(reply));
    });
    Register(m, s, "stopWireGuard", api, [api](const EncodableValue&, const auto& reply) {
        api->StopWireGuard(ClassReply<LumetWireGuardStatus>(reply));
    });
    Register(m, s, "wireGuardStatus", api, [api](const EncodableValue&, const auto& reply) {
        api->WireGuardStatus(ClassReply<LumetWireGuardStatus>(reply));
    });
    Register(m, s, "getOpenVpnCapabilities", api, [api](const EncodableValue&, const auto& reply) {
        api->GetOpenVpnCapabilities(ClassReply<LumetOpenVpnCapabilities>(reply));
    });
    Register(m, s, "startOpenVpn", api, [api](const EncodableValue& message, const auto& reply) {
        const auto& args = std::get<EncodableList>(message);
        const std::string* config = StringArg(args, 0, "config_arg unexpectedly null.", reply);
        if (config == nullptr) {
            return;
        }
        const std::string* username = StringArg(args, 1, "username_arg unexpectedly null.", reply);
        if (username == nullptr) {
            return;
        }
        const std::string* password = StringArg(args, 2, "password_arg unexpectedly null.", reply);
        if (password == nullptr) {
            return;
        }
        api->StartOpenVpn(*config, *username, *password, ClassReply<LumetOpenVpnStatus>(reply));
    });
    Register(m, s, "stopOpenVpn", api, [api](const EncodableValue&, const auto& reply) {
        api->StopOpenVpn(ClassReply<LumetOpenVpnStatus>(reply));
    });
    Register(m, s, "getOpenVpnStatus", api, [api](const EncodableValue&, const auto& reply) {
        api->GetOpenVpnStatus(ClassReply<LumetOpenVpnStatus>(reply));
    });
}

EncodableValue LumetWindowsVpnHostApi::WrapError(std::string_view error_message) {
    return EncodableValue(EncodableList{EncodableValue(std::string(error_message)),
                                        EncodableValue("Error"), EncodableValue()});
}

EncodableValue LumetWindowsVpnHostApi::WrapError(const FlutterError& error) {
    return EncodableValue(EncodableList{EncodableValue(error.code()),
                                        EncodableValue(error.message()), error.details()});
}

// LumetWindowsVpnFlutterApi

LumetWindowsVpnFlutterApi::LumetWindowsVpnFlutterApi(::flutter::BinaryMessenger* binary_messenger)
    : binary_messenger_(binary_messenger) {}

LumetWindowsVpnFlutterApi::LumetWindowsVpnFlutterApi(::flutter::BinaryMessenger* binary_messenger,
                                                     const std::string& message_channel_suffix)
    : binary_messenger_(binary_messenger), message_channel_suffix_(message_channel_suffix) {}

const ::flutter::StandardMessageCodec& LumetWindowsVpnFlutterApi::GetCodec() {
    return ::flutter::StandardMessageCodec::GetInstance(
        &PigeonInternalCodecSerializer::GetInstance());
}

namespace {

FlutterError ConnectionError(const std::string& channel_name) {
    return FlutterError("channel-error",
                        "Unable to establish connection on channel: '" + channel_name + "'.",
                        EncodableValue(""));
}

std::string StringOrEmpty(const EncodableValue& value) {
    const auto* text = std::get_if<std::string>(&value);
    return text != nullptr ? *text : std::string();
}

}  // namespace

void LumetWindowsVpnFlutterApi::OnNativeEvent(const LumetNativeEvent& event,
                                              std::function<void(void)>&& on_success,
                                              std::function<void(const FlutterError&)>&& on_error) {
    std::string channel_name = kOnNativeEventChannel;
    if (!message_channel_suffix_.empty()) {
        channel_name += "." + message_channel_suffix_;
    }
    BasicMessageChannel<> channel(binary_messenger_, channel_name, &GetCodec());
    EncodableValue message(EncodableList{CustomEncodableValue(event)});
    channel.Send(
        message, [channel_name, on_success = std::move(on_success), on_error = std::move(on_error)](
                     const uint8_t* reply, size_t reply_size) {
            std::unique_ptr<EncodableValue> response = GetCodec().DecodeMessage(reply, reply_size);
            const auto* list = response ? std::get_if<EncodableList>(response.get()) : nullptr;
            if (list == nullptr) {
                on_error(ConnectionError(channel_name));
                return;
            }
            if (list->size() > 1) {
                // Dart's own error wrapper always sends strings here, but a null message must not
                // take the platform thread down.
                on_error(FlutterError(StringOrEmpty(list->at(0)), StringOrEmpty(list->at(1)),
                                      list->size() > 2 ? list->at(2) : EncodableValue()));
                return;
            }
            on_success();
        });
}

}  // namespace lumet_windows_vpn
