#include "common/wine.h"

#include <windows.h>

namespace lumet::common {

bool RunningUnderWine() {
    static const bool under_wine = [] {
        HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
        return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
    }();
    return under_wine;
}

}  // namespace lumet::common
