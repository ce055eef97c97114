# GoogleTest from Debian's source package, built with the current toolchain, and the helpers
# that register test executables with CTest.

set(LUMET_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest source tree")
set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
set(gtest_disable_pthreads OFF CACHE BOOL "" FORCE)
set(gtest_force_shared_crt ON CACHE BOOL "" FORCE)
add_subdirectory(${LUMET_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/_deps/googletest EXCLUDE_FROM_ALL SYSTEM)
foreach(t gtest gmock)
  if(TARGET ${t})
    if(WIN32)
      target_link_options(${t} PUBLIC -static -static-libgcc -static-libstdc++)
    elseif(LUMET_SANITIZE)
      target_compile_options(${t} PRIVATE -fsanitize=address,undefined)
    endif()
  endif()
endforeach()

include(GoogleTest)

if(WIN32)
  # Every Windows binary that CTest runs goes through this wrapper: it pins the project's own Wine
  # prefix inside the build folder and creates it quietly when missing.
  set(LUMET_WINEPREFIX ${CMAKE_BINARY_DIR}/wineprefix)
  configure_file(${CMAKE_SOURCE_DIR}/scripts/wine-run.sh.in ${CMAKE_BINARY_DIR}/wine-run @ONLY
                 FILE_PERMISSIONS OWNER_READ OWNER_WRITE OWNER_EXECUTE GROUP_READ GROUP_EXECUTE
                                  WORLD_READ WORLD_EXECUTE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${CMAKE_BINARY_DIR}/wine-run CACHE FILEPATH "" FORCE)
endif()

add_library(lumet_test_main STATIC ${CMAKE_SOURCE_DIR}/tests/support/test_main.cpp
                                   ${CMAKE_SOURCE_DIR}/tests/support/test_util.cpp)
target_include_directories(lumet_test_main PUBLIC ${CMAKE_SOURCE_DIR}/tests/support ${CMAKE_SOURCE_DIR})
target_link_libraries(lumet_test_main PUBLIC gtest gmock lumet_build_flags)
if(WIN32)
  target_sources(lumet_test_main PRIVATE ${CMAKE_SOURCE_DIR}/tests/support/win_test_util.cpp
                                         ${CMAKE_SOURCE_DIR}/tests/support/scm_test_util.cpp)
  target_link_libraries(lumet_test_main PUBLIC shell32 ole32 advapi32)
endif()

# lumet_add_tests(<name> SOURCES ... [LIBS ...] [RESOURCE_LOCK ...] [LABELS ...] [TIMEOUT s])
# One executable per call; every TEST becomes its own CTest entry (discovered when CTest runs, so
# the build never starts Wine).
function(lumet_add_tests name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;RESOURCE_LOCK;LABELS" ${ARGN})
  if(NOT T_SOURCES)
    return()
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE lumet_test_main ${T_LIBS})
  if(WIN32)
    target_link_libraries(${name} PRIVATE ${LUMET_WIN32_LIBS})
  endif()
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  set(props TIMEOUT ${T_TIMEOUT})
  if(T_RESOURCE_LOCK)
    list(APPEND props RESOURCE_LOCK "${T_RESOURCE_LOCK}")
  endif()
  if(T_LABELS)
    list(APPEND props LABELS "${T_LABELS}")
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 120
    TEST_PREFIX "${name}."
    PROPERTIES ${props})
endfunction()
