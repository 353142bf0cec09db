# Firmware update: included by app/CMakeLists.txt.
#
#   app_update          portable static library: update file reader and write loop
#   vnxu_writer         the project's own .vnxu generator (tests and demos only),
#                       and the command-line tool vnxu_gen
#   tests of the reader and the loop, the reader fuzz test.
#
# The dialog's behaviour (uu_update.cpp) is part of MX_540KTR and its UI test
# sits next to the main window's, both in app/CMakeLists.txt.

set(MX_UPDATE_DIR ${CMAKE_CURRENT_LIST_DIR})

add_library(app_update STATIC ${MX_UPDATE_DIR}/UpdateFile.cpp ${MX_UPDATE_DIR}/UpdateLoop.cpp)
target_include_directories(app_update PUBLIC ${MX_UPDATE_DIR})
mx_warnings(app_update)

add_library(vnxu_writer STATIC ${MX_UPDATE_DIR}/tools/vnxu.cpp)
target_include_directories(vnxu_writer PUBLIC ${MX_UPDATE_DIR}/tools)
mx_warnings(vnxu_writer)

add_executable(vnxu_gen ${MX_UPDATE_DIR}/tools/vnxu_gen.cpp)
target_link_libraries(vnxu_gen PRIVATE vnxu_writer)
if(MX_WINDOWS)
  target_link_options(vnxu_gen PRIVATE -static)
endif()
mx_warnings(vnxu_gen)

mx_add_gtest(update_file_test
  SOURCES ${MX_UPDATE_DIR}/tests/update_file_test.cpp
  LIBS app_update vnxu_writer)
mx_add_gtest(update_loop_test
  SOURCES ${MX_UPDATE_DIR}/tests/update_loop_test.cpp
  LIBS app_update vnxu_writer)
mx_add_gtest(update_fuzz_test
  SOURCES ${MX_UPDATE_DIR}/tests/update_fuzz_test.cpp
  LIBS app_update vnxu_writer
  TIMEOUT 300)

# Benchmark of a whole update through the real link into the virtual device
# (native only; run by hand: update_bench [report_us] [erase_us] [runs]).
if(MX_NATIVE AND TARGET mx540_virtual_model AND TARGET link)
  add_executable(update_bench ${MX_UPDATE_DIR}/tests/update_bench.cpp)
  target_link_libraries(update_bench PRIVATE app_update link mx540_virtual_model)
  mx_warnings(update_bench)
endif()

# Coverage-guided fuzzing of the update file reader (tests/fuzz/).
mx_add_fuzz(update_file_fuzz SOURCE ${MX_UPDATE_DIR}/tests/fuzz/update_file_fuzz.cpp
  DIR ${MX_UPDATE_DIR}/tests/fuzz LIBS app_update vnxu_writer)
