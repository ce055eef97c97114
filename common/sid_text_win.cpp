#include "common/sid_text.h"

#include <windows.h>

#include <algorithm>
#include <climits>

namespace lumet::common {

bool SidTextEquals(std::wstring_view a, std::wstring_view b) {
    if (a.size() != b.size()) {
        return false;
    }
    // CompareStringOrdinal takes int counts; compare in slices so that no length is ever
    // truncated into a negative or short count (a negative count would mean "NUL-terminated").
    // Two empty texts are equal without asking (an empty view may carry a null pointer, which
    // the call refuses).
    size_t offset = 0;
    while (offset < a.size()) {
        const size_t n = std::min<size_t>(a.size() - offset, INT_MAX);
        const int result = CompareStringOrdinal(a.data() + offset, static_cast<int>(n),
                                                b.data() + offset, static_cast<int>(n),
                                                /*bIgnoreCase=*/TRUE);
        if (result != CSTR_EQUAL) {
            return false;  // includes 0, the call's own failure
        }
        offset += n;
    }
    return true;
}

}  // namespace lumet::common
