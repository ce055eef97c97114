// Every log line written while a LogCapture lives, for tests that check what was logged.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "common/log_for_testing.h"

namespace lumet::test {

// Installs itself as the process's log observer for its lifetime; one at a time. Lines may
// arrive from any thread.
class LogCapture {
  public:
    LogCapture() {
        common::log_testing::SetLogObserver([this](std::wstring_view line) {
            std::lock_guard<std::mutex> guard(lock_);
            lines_.emplace_back(line);
        });
    }
    ~LogCapture() { common::log_testing::SetLogObserver({}); }
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    size_t LinesContaining(std::wstring_view text) {
        std::lock_guard<std::mutex> guard(lock_);
        size_t count = 0;
        for (const std::wstring& line : lines_) {
            count += line.find(text) != std::wstring::npos ? 1 : 0;
        }
        return count;
    }

    bool Contains(std::wstring_view text) { return LinesContaining(text) > 0; }

  private:
    std::mutex lock_;
    std::vector<std::wstring> lines_;
};

}  // namespace lumet::test
