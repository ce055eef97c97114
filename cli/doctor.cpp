#include "cli/doctor.h"

#include <cctype>
#include <cstddef>
#include <cstdio>
#include <iterator>

#include "cli/lumetctl_format.h"

namespace lumetctl {

namespace {

const char* OutcomeWord(CheckResult::Outcome outcome) {
    switch (outcome) {
        case CheckResult::Outcome::Pass:
            return "pass";
        case CheckResult::Outcome::Fail:
            return "FAIL";
        case CheckResult::Outcome::Skip:
            return "skip";
        default:
            return "info";
    }
}

bool Digits(std::string_view text, size_t from, size_t count) {
    for (size_t i = from; i < from + count; ++i) {
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) {
            return false;
        }
    }
    return true;
}

// "2026-03-01T08:15:02.117Z [agent] WARN message": the layout every component writes.
bool IsProblemLine(std::string_view line) {
    constexpr size_t kStamp = 24;  // "YYYY-MM-DDTHH:MM:SS.mmmZ"
    if (line.size() < kStamp + 4 || !Digits(line, 0, 4) || line[4] != '-' || !Digits(line, 5, 2) ||
        line[7] != '-' || !Digits(line, 8, 2) || line[10] != 'T' || !Digits(line, 11, 2) ||
        line[13] != ':' || !Digits(line, 14, 2) || line[16] != ':' || !Digits(line, 17, 2) ||
        line[19] != '.' || !Digits(line, 20, 3) || line[23] != 'Z' ||
        line.substr(kStamp, 2) != " [") {
        return false;
    }
    const size_t close = line.find("] ", kStamp + 2);
    if (close == std::string_view::npos || close == kStamp + 2 || close > kStamp + 2 + 32) {
        return false;
    }
    for (size_t i = kStamp + 2; i < close; ++i) {
        const unsigned char c = static_cast<unsigned char>(line[i]);
        if (!std::isalnum(c) && c != '_' && c != '-') {
            return false;
        }
    }
    const std::string_view level = line.substr(close + 2, 5);
    return level == "WARN " || level == "ERR  ";
}

constexpr size_t kLongestLine = 300;

}  // namespace

bool AllPassed(const std::vector<CheckResult>& results) {
    for (const CheckResult& r : results) {
        if (r.outcome == CheckResult::Outcome::Fail || r.outcome == CheckResult::Outcome::Skip) {
            return false;
        }
    }
    return true;
}

std::string FormatDoctorText(const std::vector<CheckResult>& results) {
    std::string out;
    size_t failed = 0;
    size_t checks = 0;
    for (const CheckResult& r : results) {
        out += std::string("[") + OutcomeWord(r.outcome) + "] " + r.name +
               (r.detail.empty() ? "" : ": " + r.detail) + "\n";
        if (!r.fix.empty() &&
            (r.outcome == CheckResult::Outcome::Fail || r.outcome == CheckResult::Outcome::Skip)) {
            out += "       fix: " + r.fix + "\n";
        }
        for (const std::string& line : r.lines) {
            out += "       " + line + "\n";
        }
        if (r.outcome != CheckResult::Outcome::Info) {
            ++checks;
            failed += r.outcome != CheckResult::Outcome::Pass ? 1 : 0;
        }
    }
    out += failed == 0 ? "All " + std::to_string(checks) + " checks passed.\n"
                       : std::to_string(failed) + " of " + std::to_string(checks) +
                             " checks did not pass.\n";
    return out;
}

std::string FormatDoctorJson(const std::vector<CheckResult>& results) {
    std::string out = "[";
    for (size_t i = 0; i < results.size(); ++i) {
        const CheckResult& r = results[i];
        out += std::string(i ? "," : "") + "{\"check\":" + JsonString(r.name) +
               ",\"outcome\":" + JsonString(OutcomeWord(r.outcome)) +
               ",\"detail\":" + JsonString(r.detail) + ",\"fix\":" + JsonString(r.fix) +
               ",\"lines\":[";
        for (size_t j = 0; j < r.lines.size(); ++j) {
            out += (j ? "," : "") + JsonString(r.lines[j]);
        }
        out += "]}";
    }
    return out + "]";
}

std::vector<std::string> LastProblemLines(std::string_view text, size_t count,
                                          bool starts_mid_line) {
    std::vector<std::string> found;
    size_t start = 0;
    if (starts_mid_line) {
        const size_t first_end = text.find('\n');
        start = first_end == std::string_view::npos ? text.size() : first_end + 1;
    }
    while (start < text.size()) {
        const size_t end = text.find('\n', start);
        if (end == std::string_view::npos) {
            break;  // a line still being written is not complete yet
        }
        std::string_view line = text.substr(start, end - start);
        start = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        if (!IsProblemLine(line)) {
            continue;
        }
        std::string shown(line.substr(0, kLongestLine));
        for (char& c : shown) {
            if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                c = '?';
            }
        }
        if (line.size() > kLongestLine) {
            shown += "...";
        }
        found.push_back(std::move(shown));
    }
    if (found.size() > count) {
        found.erase(found.begin(), found.end() - static_cast<std::ptrdiff_t>(count));
    }
    return found;
}

namespace {

bool EqualsIgnoringCase(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (size_t i = 0; i < a.size(); ++i) {
        const wchar_t x = (a[i] >= L'A' && a[i] <= L'Z') ? static_cast<wchar_t>(a[i] + 32) : a[i];
        const wchar_t y = (b[i] >= L'A' && b[i] <= L'Z') ? static_cast<wchar_t>(b[i] + 32) : b[i];
        if (x != y) {
            return false;
        }
    }
    return true;
}

}  // namespace

std::wstring ProgramFolderOfCommandLine(std::wstring_view command_line) {
    while (!command_line.empty() && command_line.front() == L' ') {
        command_line.remove_prefix(1);
    }
    std::wstring_view program;
    if (!command_line.empty() && command_line.front() == L'"') {
        const size_t close = command_line.find(L'"', 1);
        if (close == std::wstring_view::npos) {
            return std::wstring();
        }
        program = command_line.substr(1, close - 1);
    } else {
        // An unquoted path may hold blanks (Wine's installer writes ImagePath so): take it up to
        // the first ".exe" that ends a word, and only without one up to the first blank.
        program = command_line.substr(0, command_line.find(L' '));
        for (size_t at = command_line.find(L'.'); at != std::wstring_view::npos;
             at = command_line.find(L'.', at + 1)) {
            const size_t end = at + 4;
            if (end <= command_line.size() &&
                EqualsIgnoringCase(command_line.substr(at, 4), L".exe") &&
                (end == command_line.size() || command_line[end] == L' ')) {
                program = command_line.substr(0, end);
                break;
            }
        }
    }
    const size_t slash = program.find_last_of(L"\\/");
    if (slash == std::wstring_view::npos) {
        return std::wstring();
    }
    return std::wstring(program.substr(0, slash));
}

std::string ActivityText(uint32_t activity, uint32_t reasons) {
    static const char* const states[] = {"inactive", "active", "unknown"};
    static const char* const bits[] = {
        "wgAdapterPresent",    "wgTunnelPresent",    "scmUnavailable",
        "stagedProfiles",      "stagingScanFailed",  "reportedActive",
        "openVpnProcessAlive", "reportNotConfirmed", "reportUnverifiable"};
    std::string text = activity < 3 ? states[activity] : "value " + std::to_string(activity);
    std::string names;
    for (size_t bit = 0; bit < 32; ++bit) {
        if ((reasons >> bit & 1u) == 0) {
            continue;
        }
        names += names.empty() ? "" : ", ";
        names += bit < std::size(bits) ? bits[bit] : "bit " + std::to_string(bit);
    }
    return text + " (" + (names.empty() ? "no VPN evidence" : names) + ")";
}

std::string ServiceStateName(uint32_t state) {
    static const char* const names[] = {"UNKNOWN",       "STOPPED", "START_PENDING",
                                        "STOP_PENDING",  "RUNNING", "CONTINUE_PENDING",
                                        "PAUSE_PENDING", "PAUSED"};
    return state < std::size(names) ? names[state] : "state " + std::to_string(state);
}

}  // namespace lumetctl
