#include "test_util.h"

#include <atomic>

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#include <climits>
#endif

namespace lumet::test {

namespace {
unsigned long CurrentPid() {
#ifdef _WIN32
    return GetCurrentProcessId();
#else
    return static_cast<unsigned long>(getpid());
#endif
}
}  // namespace

std::string UniqueSuffix() {
    static std::atomic<unsigned> counter{0};
    return std::to_string(CurrentPid()) + "." + std::to_string(counter++);
}

std::wstring UniqueSuffixW() {
    const std::string s = UniqueSuffix();
    return std::wstring(s.begin(), s.end());
}

std::string ExecutableDir() {
#ifdef _WIN32
    char path[MAX_PATH] = {};
    const DWORD n = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string p(path, n);
#else
    char path[PATH_MAX] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof(path) - 1);
    std::string p(path, n > 0 ? static_cast<size_t>(n) : 0);
#endif
    const auto slash = p.find_last_of("\\/");
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

}  // namespace lumet::test
