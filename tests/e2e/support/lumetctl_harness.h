// Helpers for end-to-end tests of lumetctl: running it with text on its standard input, and
// OrrinfieldVPNService registered with the service manager (as an installation leaves it).
//
// Every wait takes a limit.
#pragma once

#include <windows.h>

#include <string>

#include "common/win_handle.h"

namespace lumet::test {

// Runs lumetctl with `arguments`, `input` on its standard input and standard output and error
// captured together (CR LF line ends turned into LF). The exit code, or 999 when it did not end
// within `timeout_ms`.
DWORD RunLumetctl(const std::wstring& arguments, const std::string& input, std::string* output,
                  DWORD timeout_ms = 120000);

// OrrinfieldVPNService registered for demand start with the service manager, its program the
// one in the bin folder. Registering first removes a leftover of an aborted run; the destructor
// stops (10 s at most) and deletes the service again.
class RegisteredService {
  public:
    RegisteredService() = default;
    ~RegisteredService() { Remove(); }
    RegisteredService(const RegisteredService&) = delete;
    RegisteredService& operator=(const RegisteredService&) = delete;

    bool Register();
    // Starts the service; true once it runs (10 s at most).
    bool Start();
    // Stops the service and leaves it registered; true once it has stopped (10 s at most).
    bool Stop();
    void Remove();

  private:
    common::UniqueServiceHandle service_;
};

}  // namespace lumet::test
