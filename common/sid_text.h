// Comparison of SID texts ("S-1-5-21-...").
//
// SID texts compare equal when they have the same length and are equal ignoring letter case,
// ordinally (no locale, no normalisation). Texts of different length are never equal.
//
// Re-entrant; no state.
#pragma once

#include <string_view>

namespace lumet::common {

// On Windows: CompareStringOrdinal with case ignored, after the length check. In the native build:
// SidTextEqualsPortable.
bool SidTextEquals(std::wstring_view a, std::wstring_view b);

// The platform-neutral rule: same length, and equal code unit by code unit once ASCII letters are
// folded to upper case. Code units outside ASCII must match exactly. That is where it can differ
// from CompareStringOrdinal, which also folds non-ASCII letters; a SID text as produced by the
// system is ASCII only ('S', digits, '-'), so no decision about a real SID depends on it.
bool SidTextEqualsPortable(std::wstring_view a, std::wstring_view b);

}  // namespace lumet::common
