#include "common/sid_text.h"

namespace lumet::common {

bool SidTextEquals(std::wstring_view a, std::wstring_view b) {
    return SidTextEqualsPortable(a, b);
}

}  // namespace lumet::common
