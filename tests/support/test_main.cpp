// Test entry point shared by every test executable.
//
// Under Wine an unhandled exception would otherwise start winedbg, which dumps to stdout and
// exits with a code that CTest reports modulo 256. Turn it into one line and exit code 70.
#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#include <cstdio>

namespace {
LONG WINAPI OnUnhandledException(EXCEPTION_POINTERS* info) {
    const DWORD code = info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionCode : 0;
    const void* address =
        info && info->ExceptionRecord ? info->ExceptionRecord->ExceptionAddress : nullptr;
    std::fprintf(stderr, "FATAL: unhandled exception 0x%08lX at %p\n",
                 static_cast<unsigned long>(code), address);
    std::fflush(stderr);
    TerminateProcess(GetCurrentProcess(), 70);
    return EXCEPTION_EXECUTE_HANDLER;
}
}  // namespace
#endif

int main(int argc, char** argv) {
#ifdef _WIN32
    SetUnhandledExceptionFilter(OnUnhandledException);
    SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX);
#endif
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS() == 0 ? 0 : 1;
}
