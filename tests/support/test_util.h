// Small helpers for tests.
#pragma once

#include <string>

namespace lumet::test {

// A suffix unique to this test process ("<pid>"), for names of pipes, mutexes and events that
// must not collide with another test running in the same Wine prefix at the same time.
std::string UniqueSuffix();

// The same, as a wide string.
std::wstring UniqueSuffixW();

// Directory of the running test executable (where the build places every binary).
std::string ExecutableDir();

}  // namespace lumet::test
