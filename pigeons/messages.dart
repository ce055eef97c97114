// The channel contract between the lumet_windows_vpn plugin and the application's Dart code, in
// Pigeon's input language. An application generates its Dart side from this file:
//
//   dart run pigeon --input pigeons/messages.dart
//
// The Windows side (plugin/host_api.h) is written by hand to the same contract; a test of the
// plugin reads this file and fails when the two drift apart (channel names, method order and
// arguments, class fields and their order, enum values). Keep declaration order: the codec's type
// bytes follow it (enums first, from 129, then classes).
import 'package:pigeon/pigeon.dart';

@ConfigurePigeon(PigeonOptions(
  dartOut: 'lib/src/messages.g.dart',
  dartOptions: DartOptions(),
  dartPackageName: 'lumet_windows_vpn',
))

/// State of a component; for WireGuard: running = adapter present, pending = tunnel service
/// without adapter, absent = no tunnel.
enum LumetComponentState { unknown, pending, running, reserved3, absent, reserved5 }

/// Why the plugin's link to the agent is not up.
enum LumetNativeErrorKind {
  none,
  reserved1,
  agentUnavailable,
  versionMismatch,
  connectTimeout,
  internal,
}

enum LumetTriState { unknown, yes, no }

enum LumetOpenVpnState {
  other,
  connecting,
  resolve,
  tcpConnect,
  wait,
  auth,
  authPending,
  getConfig,
  assignIp,
  addRoutes,
  connected,
  reconnecting,
  exiting,
}

enum LumetOpenVpnErrorKind {
  none,
  invalidRequest,
  unsupportedProtocol,
  attemptActive,
  reserved4,
  launchFailed,
  managementUnavailable,
  authFailed,
  openVpnFatal,
  openVpnExited,
  tunnelTimeout,
  internalError,
  serviceUnreachable,
  launchIoFailed,
  accessRefused,
  rejected,
  managementAuthRejected,
}

class LumetVersionInfo {
  LumetVersionInfo({
    required this.protocol,
    required this.version,
    required this.capabilities,
  });

  int protocol;
  String version;
  List<String> capabilities;
}

class LumetNativeHealth {
  LumetNativeHealth({
    required this.state,
    required this.protocol,
    required this.version,
    required this.sessionId,
    required this.agentReachable,
    required this.serviceLinkUp,
    required this.lastError,
  });

  LumetComponentState state;
  int protocol;
  String version;
  int sessionId;
  bool agentReachable;
  bool serviceLinkUp;
  LumetNativeErrorKind lastError;
}

class LumetAgentHealth {
  LumetAgentHealth({
    required this.state,
    required this.versionInfo,
    required this.sessionId,
    required this.generationText,
    required this.serviceLinkUp,
  });

  LumetComponentState state;
  LumetVersionInfo versionInfo;
  int sessionId;
  String generationText;
  bool serviceLinkUp;
}

class LumetServiceHealth {
  LumetServiceHealth({
    required this.state,
    required this.versionInfo,
    required this.generationText,
    required this.uptimeSeconds,
  });

  LumetComponentState state;
  LumetVersionInfo versionInfo;
  String generationText;
  int uptimeSeconds;
}

class LumetWireGuardStatus {
  LumetWireGuardStatus({
    required this.state,
    required this.adapterPresent,
    required this.rxBytes,
    required this.txBytes,
    required this.lastHandshakeMs,
    required this.error,
  });

  LumetComponentState state;
  bool adapterPresent;
  int rxBytes;
  int txBytes;
  int lastHandshakeMs;
  int error;
}

class LumetOpenVpnCapabilities {
  LumetOpenVpnCapabilities({
    required this.openVpnFound,
    required this.openVpnVersion,
    required this.interactiveServiceInstalled,
    required this.interactiveServiceRunning,
    required this.spare1,
    required this.spare2,
  });

  LumetTriState openVpnFound;
  String openVpnVersion;
  LumetTriState interactiveServiceInstalled;
  LumetTriState interactiveServiceRunning;
  LumetTriState spare1;
  LumetTriState spare2;
}

class LumetOpenVpnStatus {
  LumetOpenVpnStatus({
    required this.state,
    required this.active,
    required this.bytesIn,
    required this.bytesOut,
    required this.connectedSinceMs,
    required this.error,
    required this.attempt,
  });

  LumetOpenVpnState state;
  bool active;
  int bytesIn;
  int bytesOut;
  int connectedSinceMs;
  LumetOpenVpnErrorKind error;
  int attempt;
}

class LumetNativeEvent {
  LumetNativeEvent({
    required this.kind,
    required this.detail,
    required this.timestampMs,
  });

  /// agentConnected, agentDisconnected, serviceConnected, serviceDisconnected or
  /// serviceGenerationChanged.
  String kind;
  String detail;
  int timestampMs;
}

/// Implemented by the plugin. Every method answers once; the errors carry the codes
/// AGENT_UNAVAILABLE, SERVICE_UNAVAILABLE, VERSION_MISMATCH or INTERNAL.
@HostApi()
abstract class LumetWindowsVpnHostApi {
  @async
  bool isAvailable();

  @async
  LumetNativeHealth getHealth();

  @async
  LumetAgentHealth getAgentHealth();

  @async
  LumetServiceHealth getServiceHealth();

  @async
  void startEvents();

  @async
  LumetWireGuardStatus startWireGuard(String config);

  @async
  LumetWireGuardStatus stopWireGuard();

  @async
  LumetWireGuardStatus wireGuardStatus();

  @async
  LumetOpenVpnCapabilities getOpenVpnCapabilities();

  @async
  LumetOpenVpnStatus startOpenVpn(String config, String username, String password);

  @async
  LumetOpenVpnStatus stopOpenVpn();

  @async
  LumetOpenVpnStatus getOpenVpnStatus();
}

/// Implemented by the application: component events, after startEvents.
@FlutterApi()
abstract class LumetWindowsVpnFlutterApi {
  void onNativeEvent(LumetNativeEvent event);
}
