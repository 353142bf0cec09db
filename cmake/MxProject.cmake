# Shared settings and helpers for every folder of the project.
#
#   MX_WINDOWS  true in the MinGW cross build, false in the native build
#   MX_NATIVE   the opposite
#   mx_warnings(<target>)                     the project's warning set
#   mx_add_gtest(<name> SOURCES .. [LIBS ..] [LABELS ..] [TIMEOUT s])
#       a GoogleTest executable whose cases ctest discovers at test time;
#       in the cross build it is a .exe that ctest runs under Wine.
#   MX_FUZZ                                   the libFuzzer build (clang): only
#                                             the fuzz targets, no tests
#   mx_add_fuzz(<name> SOURCE <file> DIR <folder> [LIBS ..])
#       a fuzz target over the portable code (cmake/fuzz/fuzz_target.h). Its
#       kept inputs live in <folder>/<name>/seeds and <folder>/<name>/regressions,
#       its dictionary in <folder>/<name>.dict. With MX_FUZZ it is the libFuzzer
#       executable <name>; in the native test build it is the test <name>_replay,
#       which runs every kept input once, and <name>_seeds, which writes the seeds.
#   mx_hid_export_def(<file> <module>)
#       writes <file>, a .def file with the 18 exports of HID_Lib.dll (names and
#       ordinals from HID_EXPORT_LIST in hidlib/HIDinterface.h) and <module> as
#       the module name of the export directory.

include_guard(GLOBAL)
include(GoogleTest)

if(CMAKE_SYSTEM_NAME STREQUAL "Windows")
  set(MX_WINDOWS TRUE)
  set(MX_NATIVE FALSE)
else()
  set(MX_WINDOWS FALSE)
  set(MX_NATIVE TRUE)
endif()

option(MX_FUZZ "Build the libFuzzer targets with clang instead of the tests" OFF)
if(MX_FUZZ)
  if(NOT CMAKE_CXX_COMPILER_ID STREQUAL "Clang" OR MX_WINDOWS)
    message(FATAL_ERROR "MX_FUZZ needs a native clang build: CC=clang CXX=clang++")
  endif()
  # Coverage for the engine and ASan+UBSan everywhere; the engine's own main is
  # linked into the fuzz targets only.
  add_compile_options(-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all
                      -fno-omit-frame-pointer -g)
  add_link_options(-fsanitize=address,undefined)
  add_custom_target(mx_fuzzers)
  file(WRITE ${CMAKE_BINARY_DIR}/fuzz_targets.txt "")
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

# GoogleTest through CMake's package search: the system's copy natively, the
# toolchain's on Windows (MSYS2's mingw-w64-x86_64-gtest). A cross build finds
# none for its target and builds the sources of Debian's googletest package
# (MX_GTEST_SOURCE) instead.
if(CMAKE_CROSSCOMPILING)
  # Only a package built for the target (or named by GTest_DIR): the host's
  # Linux one would not link.
  find_package(GTest CONFIG QUIET ONLY_CMAKE_FIND_ROOT_PATH)
else()
  find_package(GTest QUIET)
endif()
if(GTest_FOUND)
  set(MX_GTEST_MAIN GTest::gtest_main GTest::gmock)
elseif(CMAKE_CROSSCOMPILING)
  set(MX_GTEST_SOURCE /usr/src/googletest CACHE PATH "GoogleTest sources for a cross build without a GoogleTest package")
  if(NOT EXISTS ${MX_GTEST_SOURCE}/CMakeLists.txt)
    message(FATAL_ERROR "No GoogleTest package for the target and no sources in MX_GTEST_SOURCE (${MX_GTEST_SOURCE})")
  endif()
  set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
  set(gtest_force_shared_crt OFF CACHE BOOL "" FORCE)
  add_subdirectory(${MX_GTEST_SOURCE} ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
  set(MX_GTEST_MAIN gtest_main gmock)
else()
  find_package(GTest REQUIRED)
endif()
if(MX_NATIVE)
  find_package(Threads REQUIRED)
  find_package(benchmark QUIET)
  list(APPEND MX_GTEST_MAIN Threads::Threads)
endif()

function(mx_add_gtest name)
  if(MX_FUZZ)
    return()
  endif()
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
  # The programs that drive units (the panel, the tool) take a lock per unit
  # serial in the one Wine session, and every virtual device has the same
  # serials: tests that start them run one at a time.
  set(unit_lock "")
  if(T_LABELS MATCHES "^(ui|tool)$")
    set(unit_lock RESOURCE_LOCK mx_virtual_units)
  endif()
  gtest_discover_tests(${name}
    DISCOVERY_MODE PRE_TEST
    DISCOVERY_TIMEOUT 300
    PROPERTIES LABELS "${labels}" TIMEOUT ${T_TIMEOUT} FIXTURES_REQUIRED mx_env ${unit_lock}
    WORKING_DIRECTORY $<TARGET_FILE_DIR:${name}>)
endfunction()

set(MX_FUZZ_SUPPORT ${CMAKE_CURRENT_LIST_DIR}/fuzz)

function(mx_add_fuzz name)
  cmake_parse_arguments(F "" "SOURCE;DIR" "LIBS" ${ARGN})
  if(MX_FUZZ)
    add_executable(${name} ${F_SOURCE})
    target_include_directories(${name} PRIVATE ${MX_FUZZ_SUPPORT})
    target_compile_definitions(${name} PRIVATE MX_FUZZ_ENGINE)
    target_link_libraries(${name} PRIVATE ${F_LIBS})
    target_link_options(${name} PRIVATE -fsanitize=fuzzer)
    mx_warnings(${name})
    add_dependencies(mx_fuzzers ${name})
    # One line per target for tools/fuzz.sh: name, executable, folder of its inputs.
    file(APPEND ${CMAKE_BINARY_DIR}/fuzz_targets.txt "${name} ${CMAKE_CURRENT_BINARY_DIR}/${name} ${F_DIR}\n")
  elseif(MX_NATIVE)
    mx_add_gtest(${name}_replay SOURCES ${F_SOURCE} ${MX_FUZZ_SUPPORT}/replay_test.cpp LIBS ${F_LIBS})
    target_include_directories(${name}_replay PRIVATE ${MX_FUZZ_SUPPORT})
    target_compile_definitions(${name}_replay PRIVATE
      "MX_FUZZ_INPUT_DIRS=\"${F_DIR}/${name}/regressions|${F_DIR}/${name}/seeds\"" MX_FUZZ_SUITE=${name}_replay)
    add_executable(${name}_seeds ${F_SOURCE} ${MX_FUZZ_SUPPORT}/seeds_main.cpp)
    target_include_directories(${name}_seeds PRIVATE ${MX_FUZZ_SUPPORT})
    target_link_libraries(${name}_seeds PRIVATE ${F_LIBS})
    mx_warnings(${name}_seeds)
  endif()
endfunction()

function(mx_hid_export_def file module)
  set(header ${PROJECT_SOURCE_DIR}/hidlib/HIDinterface.h)
  set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${header})
  file(READ ${header} text)
  set(entry_pattern "X\\(([A-Za-z]+), *[A-Za-z]+, *([0-9]+)\\)")
  string(REGEX MATCHALL "${entry_pattern}" entries "${text}")
  list(LENGTH entries count)
  if(NOT count EQUAL 18)
    message(FATAL_ERROR "HID_EXPORT_LIST in ${header}: ${count} exports found, 18 expected")
  endif()
  set(def "LIBRARY ${module}\nEXPORTS\n")
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE "${entry_pattern}" "  \\1 @\\2\n" line "${entry}")
    string(APPEND def "${line}")
  endforeach()
  # Written only when it changes, so a new configure run relinks nothing.
  set(old "")
  if(EXISTS ${file})
    file(READ ${file} old)
  endif()
  if(NOT old STREQUAL def)
    file(WRITE ${file} "${def}")
  endif()
endfunction()

# Called once at the end of the top-level list: in the cross build the Xvfb
# display and Wine server of the build folder are stopped after the last test
# (a build on Windows runs its tests without either).
function(mx_finish_tests)
  if(MX_WINDOWS AND CMAKE_CROSSCOMPILING)
    add_test(NAME mx_wine_stop COMMAND ${PROJECT_SOURCE_DIR}/cmake/wine-stop ${CMAKE_BINARY_DIR})
    set_tests_properties(mx_wine_stop PROPERTIES FIXTURES_CLEANUP mx_env LABELS wine)
  endif()
endfunction()
