# Header-only libraries taken from the build machine's /usr/include, without
# pointing any compiler at /usr/include as a whole: each library's folder is
# linked into <build>/staging/include, and an INTERFACE target adds only that
# folder. The cross build would otherwise pick up the host's C and C++ headers.
#
#   mx_staged_headers(<target> <folder>...)
#       <folder> is a folder under the host's include directory (nlohmann, CLI);
#       <target> is an INTERFACE library whose include path is the staging folder.

include_guard(GLOBAL)

function(mx_staged_headers target)
  # Set here, not beside the include guard: later folders that include this file
  # do not see variables set in the first one's scope.
  set(MX_STAGING_INCLUDE ${CMAKE_BINARY_DIR}/staging/include)
  file(MAKE_DIRECTORY ${MX_STAGING_INCLUDE})
  foreach(folder IN LISTS ARGN)
    # The host's headers, also in the cross build (whose find root is the MinGW sysroot).
    find_path(MX_HOST_${folder} NAMES ${folder} PATHS /usr/include /usr/local/include
              NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
    if(NOT MX_HOST_${folder})
      message(FATAL_ERROR "${folder} headers not found (tools/install-deps.sh installs them)")
    endif()
    if(NOT EXISTS ${MX_STAGING_INCLUDE}/${folder})
      file(CREATE_LINK ${MX_HOST_${folder}}/${folder} ${MX_STAGING_INCLUDE}/${folder} SYMBOLIC COPY_ON_ERROR)
    endif()
  endforeach()
  add_library(${target} INTERFACE)
  target_include_directories(${target} SYSTEM INTERFACE ${MX_STAGING_INCLUDE})
endfunction()
