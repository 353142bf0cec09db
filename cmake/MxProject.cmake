# Shared settings and helpers for every folder of the project.
#
#   MX_WINDOWS  true in the MinGW cross build, false in the native build
#   MX_NATIVE   the opposite
#   mx_warnings(<target>)                     the project's warning set
#   mx_add_gtest(<name> SOURCES .. [LIBS ..] [LABELS ..] [TIMEOUT s])
#       a GoogleTest executable whose cases ctest discovers at test time;
#       in the cross build it is a .exe that ctest runs under Wine.

include_guard(GLOBAL)
include(GoogleTest)

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(MX_WINDOWS TRUE)
  set(MX_NATIVE FALSE)
else()
  set(MX_WINDOWS FALSE)
  set(MX_NATIVE TRUE)
endif()

set(MX_SANITIZE "" CACHE STRING "Native sanitizer: empty, address (ASan+UBSan) or thread")
if(MX_NATIVE AND MX_SANITIZE STREQUAL "address")
  add_compile_options(-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=all)
  add_link_options(-fsanitize=address,undefined)
elseif(MX_NATIVE AND MX_SANITIZE STREQUAL "thread")
  add_compile_options(-fsanitize=thread -fno-omit-frame-pointer)
  add_link_options(-fsanitize=thread)
elseif(NOT MX_SANITIZE STREQUAL "")
  message(FATAL_ERROR "MX_SANITIZE must be empty, address or thread")
endif()

if(MX_WINDOWS)
  add_compile_definitions(UNICODE _UNICODE WIN32_LEAN_AND_MEAN NOMINMAX _WIN32_WINNT=0x0A00)
  # Executables and DLLs side by side, so tests find the libraries they load.
  set(CMAKE_RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
  set(CMAKE_LIBRARY_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/bin)
endif()

function(mx_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wno-unused-parameter)
endfunction()

# GoogleTest: the system's copy natively, built from source for the cross build.
if(MX_NATIVE)
  find_package(GTest REQUIRED)
  find_package(Threads REQUIRED)
  find_package(benchmark QUIET)
  set(MX_GTEST_MAIN GTest::gtest_main GTest::gmock Threads::Threads)
else()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(MX_GTEST_MAIN gtest_main gmock)
endif()

function(mx_add_gtest name)
  cmake_parse_arguments(T "" "TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 120)
  endif()
  add_executable(${name} ${T_SOURCES})
  target_link_libraries(${name} PRIVATE ${T_LIBS} ${MX_GTEST_MAIN})
  mx_warnings(${name})
  # One label only: the discovered tests get their properties as one flat list,
  # where a second label would swallow the properties after it. Extra labels
  # are joined into it ("wine-ui"); ctest -L takes a pattern, so -L ui finds it.
  if(MX_WINDOWS)
    set(labels wine ${T_LABELS})
  else()
    set(labels native ${T_LABELS})
  endif()
  string(REPLACE ";" "-" labels "${labels}")
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 300
    PROPERTIES LABELS "${labels}" TIMEOUT ${T_TIMEOUT} FIXTURES_REQUIRED mx_env
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${name}>)
endfunction()

# Called once at the end of the top-level list: in the cross build the Xvfb
# display and Wine server of the build folder are stopped after the last test.
function(mx_finish_tests)
  if(MX_WINDOWS)
    add_test(NAME mx_wine_stop COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine-stop ${CMAKE_BINARY_DIR})
    set_tests_properties(mx_wine_stop PROPERTIES FIXTURES_CLEANUP mx_env LABELS wine)
  endif()
endfunction()
