// The channel layer between the plugin and the application's Dart code: the codec's custom types
// (enums and data classes with their list layouts), the error and result wrappers, the host API
// (twelve asynchronous methods, one channel each) and the Flutter API (onNativeEvent).
//
// Wire contract, fixed by the Dart side this pairs with:
//   - channels "dev.flutter.pigeon.lumet_windows_vpn.LumetWindowsVpnHostApi.<method>" and
//     "dev.flutter.pigeon.lumet_windows_vpn.LumetWindowsVpnFlutterApi.onNativeEvent";
//   - custom values are one type byte (129..141) and a standard-codec body: an enum as an int32,
//     a class as the list of its fields in declaration order;
//   - a host reply is [result] on success and [code, message, details] on failure.
//
// Pure: only the client wrapper's headers, no <windows.h>, so the codec and the envelopes are
// tested natively and fuzzed. Nothing here blocks or keeps global state beyond the codec
// singletons.
#pragma once

#include <flutter/basic_message_channel.h>
#include <flutter/binary_messenger.h>
#include <flutter/encodable_value.h>
#include <flutter/standard_message_codec.h>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <variant>

namespace lumet_windows_vpn {

class FlutterError {
  public:
    explicit FlutterError(const std::string& code) : code_(code) {}
    explicit FlutterError(const std::string& code, const std::string& message)
        : code_(code), message_(message) {}
    explicit FlutterError(const std::string& code, const std::string& message,
                          const ::flutter::EncodableValue& details)
        : code_(code), message_(message), details_(details) {}

    const std::string& code() const { return code_; }
    const std::string& message() const { return message_; }
    const ::flutter::EncodableValue& details() const { return details_; }

  private:
    std::string code_;
    std::string message_;
    ::flutter::EncodableValue details_;
};

template <class T>
class ErrorOr {
  public:
    ErrorOr(const T& rhs) : v_(rhs) {}
    ErrorOr(const T&& rhs) : v_(std::move(rhs)) {}
    ErrorOr(const FlutterError& rhs) : v_(rhs) {}
    ErrorOr(const FlutterError&& rhs) : v_(std::move(rhs)) {}

    bool has_error() const { return std::holds_alternative<FlutterError>(v_); }
    const T& value() const { return std::get<T>(v_); }
    const FlutterError& error() const { return std::get<FlutterError>(v_); }

  private:
    friend class LumetWindowsVpnHostApi;
    ErrorOr() = default;
    T TakeValue() && { return std::get<T>(std::move(v_)); }

    std::variant<T, FlutterError> v_;
};

// Component state; also the tunnel state of a WireGuard status (2 adapter present, 1 tunnel
// service without adapter, 4 no tunnel).
enum class LumetComponentState {
    kUnknown = 0,
    kPending = 1,
    kRunning = 2,
    kReserved3 = 3,
    kAbsent = 4,
    kReserved5 = 5
};

// Why the plugin's link to the agent is not up, from the link's last status.
enum class LumetNativeErrorKind {
    kNone = 0,
    kReserved1 = 1,
    kAgentUnavailable = 2,
    kVersionMismatch = 3,
    kConnectTimeout = 4,
    kInternal = 5
};

enum class LumetTriState { kUnknown = 0, kYes = 1, kNo = 2 };

enum class LumetOpenVpnState {
    kOther = 0,
    kConnecting = 1,
    kResolve = 2,
    kTcpConnect = 3,
    kWait = 4,
    kAuth = 5,
    kAuthPending = 6,
    kGetConfig = 7,
    kAssignIp = 8,
    kAddRoutes = 9,
    kConnected = 10,
    kReconnecting = 11,
    kExiting = 12
};

enum class LumetOpenVpnErrorKind {
    kNone = 0,
    kInvalidRequest = 1,
    kUnsupportedProtocol = 2,
    kAttemptActive = 3,
    kReserved4 = 4,
    kLaunchFailed = 5,
    kManagementUnavailable = 6,
    kAuthFailed = 7,
    kOpenVpnFatal = 8,
    kOpenVpnExited = 9,
    kTunnelTimeout = 10,
    kInternalError = 11,
    kServiceUnreachable = 12,
    kLaunchIoFailed = 13,
    kAccessRefused = 14,
    kRejected = 15,
    kManagementAuthRejected = 16
};

// The value rules: a number that names no value of the enum becomes the enum's fallback
// (LumetComponentState: outside 1..5 -> unknown; LumetTriState: not 1 or 2 -> unknown;
// LumetOpenVpnState: outside 0..12 -> other; LumetOpenVpnErrorKind: outside 0..16 ->
// internalError; LumetNativeErrorKind: outside 0..5 -> internal).
LumetComponentState ComponentStateFromValue(int64_t value);
LumetTriState TriStateFromValue(int64_t value);
LumetOpenVpnState OpenVpnStateFromValue(int64_t value);
LumetOpenVpnErrorKind OpenVpnErrorKindFromValue(int64_t value);
LumetNativeErrorKind NativeErrorKindFromValue(int64_t value);

// Data classes. FromEncodableList takes the list a class is written as; it returns nothing when
// the list is shorter than the class or a field has the wrong type (extra trailing elements are
// ignored, as a newer peer may add fields). Integers are accepted as int32 or int64.

class LumetVersionInfo {
  public:
    LumetVersionInfo(int64_t protocol, const std::string& version,
                     const ::flutter::EncodableList& capabilities);

    int64_t protocol() const { return protocol_; }
    void set_protocol(int64_t value) { protocol_ = value; }
    const std::string& version() const { return version_; }
    void set_version(std::string_view value) { version_ = value; }
    // Strings, in the peer's order.
    const ::flutter::EncodableList& capabilities() const { return capabilities_; }
    void set_capabilities(const ::flutter::EncodableList& value) { capabilities_ = value; }

    ::flutter::EncodableList ToEncodableList() const;
    static std::optional<LumetVersionInfo> FromEncodableList(const ::flutter::EncodableList& list);

  private:
    int64_t protocol_;
    std::string version_;
    ::flutter::EncodableList capabilities_;
};

class LumetNativeHealth {
  public:
    LumetNativeHealth(LumetComponentState state, int64_t protocol, const std::string& version,
                      int64_t session_id, bool agent_reachable, bool service_link_up,
                      LumetNativeErrorKind last_error);

    LumetComponentState state() const { return state_; }
    int64_t protocol() const { return protocol_; }
    const std::string& version() const { return version_; }
    int64_t session_id() const { return session_id_; }
    bool agent_reachable() const { return agent_reachable_; }
    bool service_link_up() const { return service_link_up_; }
    LumetNativeErrorKind last_error() const { return last_error_; }

    ::flutter::EncodableList ToEncodableList() const;
    static std::optional<LumetNativeHealth> FromEncodableList(const ::flutter::EncodableList& list);

  private:
    LumetComponentState state_;
    int64_t protocol_;
    std::string version_;
    int64_t session_id_;
    bool agent_reachable_;
    bool service_link_up_;
    LumetNativeErrorKind last_error_;
};

class LumetAgentHealth {
  public:
    LumetAgentHealth(LumetComponentState state, const LumetVersionInfo& version_info,
                     int64_t session_id, const std::string& generation_text, bool service_link_up);

    LumetComponentState state() const { return state_; }
    const LumetVersionInfo& version_info() const { return version_info_; }
    int64_t session_id() const { return session_id_; }
    const std::string& generation_text() const { return generation_text_; }
    bool service_link_up() const { return service_link_up_; }

    ::flutter::EncodableList ToEncodableList() const;
    static std::optional<LumetAgentHealth> FromEncodableList(const ::flutter::EncodableList& list);

  private:
    LumetComponentState state_;
    LumetVersionInfo version_info_;
    int64_t session_id_;
    std::string generation_text_;
    bool service_link_up_;
};

class LumetServiceHealth {
  public:
    LumetServiceHealth(LumetComponentState state, const LumetVersionInfo& version_info,
                       const std::string& generation_text, int64_t uptime_seconds);

    LumetComponentState state() const { return state_; }
    const LumetVersionInfo& version_info() const { return version_info_; }
    const std::string& generation_text() const { return generation_text_; }
    int64_t uptime_seconds() const { return uptime_seconds_; }

    ::flutter::EncodableList ToEncodableList() const;
    static std::optional<LumetServiceHealth> FromEncodableList(
        const ::flutter::EncodableList& list);

  private:
    LumetComponentState state_;
    LumetVersionInfo version_info_;
    std::string generation_text_;
    int64_t uptime_seconds_;
};

class LumetWireGuardStatus {
  public:
    LumetWireGuardStatus(LumetComponentState state, bool adapter_present, int64_t rx_bytes,
                         int64_t tx_bytes, int64_t last_handshake_ms, int64_t error);

    LumetComponentState state() const { return state_; }
    bool adapter_present() const { return adapter_present_; }
    int64_t rx_bytes() const { return rx_bytes_; }
    int64_t tx_bytes() const { return tx_bytes_; }
    int64_t last_handshake_ms() const { return last_handshake_ms_; }
    int64_t error() const { return error_; }

    ::flutter::EncodableList ToEncodableList() const;
    static std::optional<LumetWireGuardStatus> FromEncodableList(
        const ::flutter::EncodableList& list);

  private:
    LumetComponentState state_;
    bool adapter_present_;
    int64_t rx_bytes_;
    int64_t tx_bytes_;
    int64_t last_handshake_ms_;
    int64_t error_;
};

class LumetOpenVpnCapabilities {
  public:
    LumetOpenVpnCapabilities(LumetTriState open_vpn_found, const std::string& open_vpn_version,
                             LumetTriState interactive_service_installed,
                             LumetTriState interactive_service_running, LumetTriState spare1,
                             LumetTriState spare2);

    LumetTriState open_vpn_found() const { return open_vpn_found_; }
    const std::string& open_vpn_version() const { return open_vpn_version_; }
    LumetTriState interactive_service_installed() const { return interactive_service_installed_; }
    LumetTriState interactive_service_running() const { return interactive_service_running_; }
    LumetTriState spare1() const { return spare1_; }
    LumetTriState spare2() const { return spare2_; }

    ::flutter::EncodableList ToEncodableList() const;
    static std::optional<LumetOpenVpnCapabilities> FromEncodableList(
        const ::flutter::EncodableList& list);

  private:
    LumetTriState open_vpn_found_;
    std::string open_vpn_version_;
    LumetTriState interactive_service_installed_;
    LumetTriState interactive_service_running_;
    LumetTriState spare1_;
    LumetTriState spare2_;
};

class LumetOpenVpnStatus {
  public:
    LumetOpenVpnStatus(LumetOpenVpnState state, bool active, int64_t bytes_in, int64_t bytes_out,
                       int64_t connected_since_ms, LumetOpenVpnErrorKind error, int64_t attempt);

    LumetOpenVpnState state() const { return state_; }
    bool active() const { return active_; }
    int64_t bytes_in() const { return bytes_in_; }
    int64_t bytes_out() const { return bytes_out_; }
    int64_t connected_since_ms() const { return connected_since_ms_; }
    LumetOpenVpnErrorKind error() const { return error_; }
    int64_t attempt() const { return attempt_; }

    ::flutter::EncodableList ToEncodableList() const;
    static std::optional<LumetOpenVpnStatus> FromEncodableList(
        const ::flutter::EncodableList& list);

  private:
    LumetOpenVpnState state_;
    bool active_;
    int64_t bytes_in_;
    int64_t bytes_out_;
    int64_t connected_since_ms_;
    LumetOpenVpnErrorKind error_;
    int64_t attempt_;
};

class LumetNativeEvent {
  public:
    LumetNativeEvent(const std::string& kind, const std::string& detail, int64_t timestamp_ms);

    const std::string& kind() const { return kind_; }
    const std::string& detail() const { return detail_; }
    int64_t timestamp_ms() const { return timestamp_ms_; }

    ::flutter::EncodableList ToEncodableList() const;
    static std::optional<LumetNativeEvent> FromEncodableList(const ::flutter::EncodableList& list);

  private:
    std::string kind_;
    std::string detail_;
    int64_t timestamp_ms_;
};

// The standard codec extended by the thirteen custom types above (type bytes 129..141 in the
// order of their declaration, enums first). Reading a custom type byte whose body does not make
// a value of that type (a class body that is not a matching list, an enum body that is not an
// integer) gives a null value, as an unknown type does in the standard codec; it never throws.
class PigeonInternalCodecSerializer : public ::flutter::StandardCodecSerializer {
  public:
    PigeonInternalCodecSerializer();
    inline static PigeonInternalCodecSerializer& GetInstance() {
        static PigeonInternalCodecSerializer sInstance;
        return sInstance;
    }

    void WriteValue(const ::flutter::EncodableValue& value,
                    ::flutter::ByteStreamWriter* stream) const override;

  protected:
    ::flutter::EncodableValue ReadValueOfType(uint8_t type,
                                              ::flutter::ByteStreamReader* stream) const override;
};

inline constexpr char kHostApiChannelPrefix[] =
    "dev.flutter.pigeon.lumet_windows_vpn.LumetWindowsVpnHostApi.";
inline constexpr char kOnNativeEventChannel[] =
    "dev.flutter.pigeon.lumet_windows_vpn.LumetWindowsVpnFlutterApi.onNativeEvent";

// Implemented by the plugin. Every method answers exactly once through its result callback, from
// any thread. The channel handlers run on the platform thread and call these there; a standard
// exception thrown by a method is answered as (exception text, "Error", null).
//
// String arguments refer to the decoded channel message: they are valid only during the call,
// and the channel layer overwrites them with zeros when the call returns (they may be a private
// key, a profile or a password). An implementation that needs them later copies them.
class LumetWindowsVpnHostApi {
  public:
    LumetWindowsVpnHostApi(const LumetWindowsVpnHostApi&) = delete;
    LumetWindowsVpnHostApi& operator=(const LumetWindowsVpnHostApi&) = delete;
    virtual ~LumetWindowsVpnHostApi() {}

    virtual void IsAvailable(std::function<void(ErrorOr<bool> reply)> result) = 0;
    virtual void GetHealth(std::function<void(ErrorOr<LumetNativeHealth> reply)> result) = 0;
    virtual void GetAgentHealth(std::function<void(ErrorOr<LumetAgentHealth> reply)> result) = 0;
    virtual void GetServiceHealth(
        std::function<void(ErrorOr<LumetServiceHealth> reply)> result) = 0;
    virtual void StartEvents(std::function<void(std::optional<FlutterError> reply)> result) = 0;
    virtual void StartWireGuard(
        const std::string& config,
        std::function<void(ErrorOr<LumetWireGuardStatus> reply)> result) = 0;
    virtual void StopWireGuard(std::function<void(ErrorOr<LumetWireGuardStatus> reply)> result) = 0;
    virtual void WireGuardStatus(
        std::function<void(ErrorOr<LumetWireGuardStatus> reply)> result) = 0;
    virtual void GetOpenVpnCapabilities(
        std::function<void(ErrorOr<LumetOpenVpnCapabilities> reply)> result) = 0;
    virtual void StartOpenVpn(const std::string& config, const std::string& username,
                              const std::string& password,
                              std::function<void(ErrorOr<LumetOpenVpnStatus> reply)> result) = 0;
    virtual void StopOpenVpn(std::function<void(ErrorOr<LumetOpenVpnStatus> reply)> result) = 0;
    virtual void GetOpenVpnStatus(
        std::function<void(ErrorOr<LumetOpenVpnStatus> reply)> result) = 0;

    static const ::flutter::StandardMessageCodec& GetCodec();

    // Registers a handler on each of the twelve channels; a null `api` removes them. The channel
    // objects are temporaries: the messenger keeps the handlers.
    static void SetUp(::flutter::BinaryMessenger* binary_messenger, LumetWindowsVpnHostApi* api);
    static void SetUp(::flutter::BinaryMessenger* binary_messenger, LumetWindowsVpnHostApi* api,
                      const std::string& message_channel_suffix);

    static ::flutter::EncodableValue WrapError(std::string_view error_message);
    static ::flutter::EncodableValue WrapError(const FlutterError& error);

  protected:
    LumetWindowsVpnHostApi() = default;
};

// Calls into Dart. Must be used on the platform thread.
class LumetWindowsVpnFlutterApi {
  public:
    explicit LumetWindowsVpnFlutterApi(::flutter::BinaryMessenger* binary_messenger);
    LumetWindowsVpnFlutterApi(::flutter::BinaryMessenger* binary_messenger,
                              const std::string& message_channel_suffix);

    static const ::flutter::StandardMessageCodec& GetCodec();

    // Exactly one of the callbacks runs, when Dart answers: on_success for an empty or
    // one-element list, on_error for a longer list (code, message, details; a code or message
    // that is not a string reads as empty) and for a missing or non-list answer ("channel-error").
    void OnNativeEvent(const LumetNativeEvent& event, std::function<void(void)>&& on_success,
                       std::function<void(const FlutterError&)>&& on_error);

  private:
    ::flutter::BinaryMessenger* binary_messenger_;
    std::string message_channel_suffix_;
};

}  // namespace lumet_windows_vpn
