# Firmware update: included by app/CMakeLists.txt.
#
#   app_update          portable static library: update file reader and write loop
#   vnxu_writer         the project's own .vnxu generator (tests and demos only),
#                       and the command-line tool vnxu_gen
#   MX_UPDATE_EXE_SOURCES / MX_UPDATE_EXE_LIBS
#                       what the program's executable adds for the update dialog's
#                       behaviour (Windows only); or call app_update_attach(<exe>)
#   native tests of the reader and the loop, the reader fuzz test; in the cross
#   build the Wine UI test of a whole update (once the program and the virtual
#   device exist in the build).

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

set(MX_UPDATE_EXE_SOURCES ${MX_UPDATE_DIR}/uu_update.cpp)
set(MX_UPDATE_EXE_LIBS app_update)

function(app_update_attach exe)
  target_sources(${exe} PRIVATE ${MX_UPDATE_EXE_SOURCES})
  target_link_libraries(${exe} PRIVATE ${MX_UPDATE_EXE_LIBS})
endfunction()

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

# Wine UI test of the dialog against the virtual device. Deferred to the end of
# the folder, so that the program, the virtual library and the UI driver are
# all known by then.
function(app_update_ui_test)
  if(NOT (MX_WINDOWS AND TARGET MX_540KTR AND TARGET HID_Lib_virtual AND EXISTS ${MX_UPDATE_DIR}/tests/uidriver.cpp))
    return()
  endif()
  if(TARGET uidriver)
    set(driver uidriver)
    set(driver_sources "")
  else()
    set(driver "")
    set(driver_sources ${MX_UPDATE_DIR}/tests/uidriver.cpp)
  endif()
  mx_add_gtest(ui_update_test
    SOURCES ${MX_UPDATE_DIR}/tests/ui_update_test.cpp ${driver_sources}
    LIBS vnxu_writer ${driver} comctl32 gdi32 user32
    LABELS ui
    TIMEOUT 300)
  target_include_directories(ui_update_test PRIVATE ${MX_UPDATE_DIR}/tests)
  target_link_options(ui_update_test PRIVATE -static)
  add_dependencies(ui_update_test MX_540KTR HID_Lib_virtual)
endfunction()
cmake_language(DEFER CALL app_update_ui_test)
