# Compiler settings shared by every target of the project.

add_library(lumet_build_flags INTERFACE)
target_compile_options(lumet_build_flags INTERFACE -Wall -Wextra)
if(LUMET_WERROR)
  target_compile_options(lumet_build_flags INTERFACE -Werror)
endif()

if(WIN32)
  target_compile_definitions(lumet_build_flags INTERFACE
    UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX
    _WIN32_WINNT=0x0A00 WINVER=0x0A00 NTDDI_VERSION=0x0A000000)
  # Static C/C++ runtimes: each .exe/.dll runs under Wine with nothing copied beside it.
  target_link_options(lumet_build_flags INTERFACE -static -static-libgcc -static-libstdc++)
  set(LUMET_WIN32_LIBS
    ws2_32 bcrypt advapi32 wtsapi32 shell32 ole32 userenv version kernel32 user32)
else()
  if(LUMET_SANITIZE)
    target_compile_options(lumet_build_flags INTERFACE
      -fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined)
    if(CMAKE_CXX_COMPILER_ID MATCHES "Clang")
      # Coverage instrumentation for libFuzzer in every core object; harmless in unit tests.
      target_compile_options(lumet_build_flags INTERFACE -fsanitize=fuzzer-no-link)
    endif()
    target_link_options(lumet_build_flags INTERFACE -fsanitize=address,undefined)
  endif()
endif()

# lumet_sources(<out-var> <dir>) collects the sources of one folder by the project's naming
# convention, so that adding a file needs no CMake edit:
#   *.cpp            platform-neutral core (never includes <windows.h>)
#   *_win.cpp        Win32 side
#   *_test.cpp       tests of the core (run natively and under Wine)
#   *_win_test.cpp   tests that need Win32 (Wine only)
function(lumet_collect dir)
  file(GLOB all CONFIGURE_DEPENDS "${dir}/*.cpp")
  set(core "")
  set(win "")
  set(core_tests "")
  set(win_tests "")
  foreach(f IN LISTS all)
    get_filename_component(n "${f}" NAME)
    if(n MATCHES "_win_test\\.cpp$")
      list(APPEND win_tests "${f}")
    elseif(n MATCHES "_test\\.cpp$")
      list(APPEND core_tests "${f}")
    elseif(n MATCHES "_win\\.cpp$")
      list(APPEND win "${f}")
    else()
      list(APPEND core "${f}")
    endif()
  endforeach()
  set(LUMET_CORE_SOURCES "${core}" PARENT_SCOPE)
  set(LUMET_WIN_SOURCES "${win}" PARENT_SCOPE)
  set(LUMET_CORE_TESTS "${core_tests}" PARENT_SCOPE)
  set(LUMET_WIN_TESTS "${win_tests}" PARENT_SCOPE)
endfunction()
