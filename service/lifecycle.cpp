#include "service/lifecycle.h"

namespace lumet::service {

namespace {

wchar_t FoldAsciiLetter(wchar_t c) {
    return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c;
}

bool EqualsIgnoringAsciiCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAsciiLetter(a[i]) != FoldAsciiLetter(b[i])) {
            return false;
        }
    }
    return true;
}

}  // namespace

bool IsConsoleModeRequest(int argc, const wchar_t* const* argv) {
    if (argc < 2 || argv == nullptr || argv[1] == nullptr) {
        return false;
    }
    return EqualsIgnoringAsciiCase(argv[1], L"--console");
}

std::wstring ExecutableDirectoryFromModulePath(std::wstring_view buffer, uint32_t returned_length) {
    if (returned_length == 0 || returned_length >= kModulePathChars ||
        returned_length > buffer.size()) {
        return {};
    }
    const std::wstring_view path = buffer.substr(0, returned_length);
    const size_t separator = path.find_last_of(L"\\/");
    if (separator == std::wstring_view::npos) {
        return {};
    }
    return std::wstring(path.substr(0, separator));
}

StatusReport MakeStatusReport(StatusPhase phase, uint32_t* checkpoint_counter, int server_result) {
    StatusReport report;
    switch (phase) {
        case StatusPhase::StartPending:
            report.current_state = kStateStartPending;
            report.controls_accepted = 0;
            report.check_point = ++*checkpoint_counter;
            report.wait_hint = kStartPendingWaitHintMs;
            break;
        case StatusPhase::Running:
            report.current_state = kStateRunning;
            report.controls_accepted = kAcceptedControls;
            break;
        case StatusPhase::StopPending:
            report.current_state = kStateStopPending;
            report.controls_accepted = kAcceptedControls;
            report.check_point = ++*checkpoint_counter;
            report.wait_hint = kStopPendingWaitHintMs;
            break;
        case StatusPhase::Stopped:
            report.current_state = kStateStopped;
            report.controls_accepted = kAcceptedControls;
            report.win32_exit_code = server_result == 0 ? 0 : kServiceSpecificError;
            break;
    }
    return report;
}

std::wstring FormatHex32(uint32_t value) {
    static constexpr wchar_t kDigits[] = L"0123456789ABCDEF";
    std::wstring text = L"0x00000000";
    for (size_t i = 0; i < 8; ++i) {
        text[9 - i] = kDigits[(value >> (4 * i)) & 0xF];
    }
    return text;
}

}  // namespace lumet::service
