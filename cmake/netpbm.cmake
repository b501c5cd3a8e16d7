# libnetpbm, as the interface target netpbm, with what the build learnt of it
# as compile definitions for src/common/libnetpbm.h:
#
#   PIXTALLY_NETPBM_FLAT        the headers lie straight in the include folder
#                               (the 10.0 series), not under netpbm/
#   PIXTALLY_HAVE_PM_PROGNAME   the library has pm_progname
#
# and NETPBM_HAS_SETJMPBUF, whether the library can hand a rejection back to
# its caller (the fuzz harness needs that).
#
# pkg-config finds the library where the system ships netpbm.pc (Debian 12
# and later, Homebrew, MacPorts); elsewhere (the 10.0 series, FreeBSD's
# port) its header and library are looked for directly.
include(CheckCXXSourceCompiles)

find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(NETPBM QUIET IMPORTED_TARGET netpbm)
endif()
add_library(netpbm INTERFACE)
if(TARGET PkgConfig::NETPBM)
  target_link_libraries(netpbm INTERFACE PkgConfig::NETPBM)
  set(netpbm_dirs ${NETPBM_INCLUDE_DIRS})
else()
  # The folder that holds ppm.h, under each prefix in turn: <prefix>/include
  # for the 10.0 series, <prefix>/include/netpbm for the current library.
  find_path(NETPBM_INCLUDE_DIR ppm.h PATH_SUFFIXES netpbm)
  find_library(NETPBM_LIBRARY netpbm)
  if(NOT NETPBM_INCLUDE_DIR OR NOT NETPBM_LIBRARY)
    message(FATAL_ERROR
      "libnetpbm not found. Install its development files (scripts/setup names the "
      "package for this system), or name them with -DNETPBM_INCLUDE_DIR=<folder holding "
      "ppm.h or netpbm/ppm.h> -DNETPBM_LIBRARY=<library file>.")
  endif()
  target_link_libraries(netpbm INTERFACE ${NETPBM_LIBRARY})
  set(netpbm_dirs ${NETPBM_INCLUDE_DIR})
endif()

# The current library's headers include one another as <netpbm/pm.h>, so a
# folder named netpbm (as Debian's netpbm.pc gives it) brings its parent.
set(include_dirs)
foreach(dir IN LISTS netpbm_dirs)
  string(REGEX REPLACE "/+$" "" dir "${dir}")
  list(APPEND include_dirs "${dir}")
  if(dir MATCHES "/netpbm$")
    get_filename_component(parent "${dir}" DIRECTORY)
    list(APPEND include_dirs "${parent}")
  endif()
endforeach()
target_include_directories(netpbm INTERFACE ${include_dirs})

# The layout: netpbm/ppm.h under one of those folders, else a flat ppm.h in
# one; where they are the compiler's own folders (pkg-config leaves those
# out), the same under the compiler's folders.
function(netpbm_layout result)
  foreach(dirs IN ITEMS include_dirs CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
    foreach(header IN ITEMS netpbm/ppm.h ppm.h)
      foreach(dir IN LISTS ${dirs})
        if(EXISTS "${dir}/${header}")
          set(${result} ${header} PARENT_SCOPE)
          return()
        endif()
      endforeach()
    endforeach()
  endforeach()
  set(${result} netpbm/ppm.h PARENT_SCOPE)
endfunction()
netpbm_layout(netpbm_header)
set(flat FALSE)
if(netpbm_header STREQUAL "ppm.h")
  set(flat TRUE)
endif()

# Compiled only, never linked: a cross build may have nothing to link with.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
set(CMAKE_REQUIRED_INCLUDES ${include_dirs} ${PROJECT_SOURCE_DIR}/src/common)
set(CMAKE_REQUIRED_DEFINITIONS)
if(flat)
  set(CMAKE_REQUIRED_DEFINITIONS -DPIXTALLY_NETPBM_FLAT)
  target_compile_definitions(netpbm INTERFACE PIXTALLY_NETPBM_FLAT)
endif()
set(CMAKE_REQUIRED_QUIET ON)
check_cxx_source_compiles("#include \"libnetpbm.h\"
void name() { pm_progname = \"x\"; }" PIXTALLY_HAVE_PM_PROGNAME)
if(PIXTALLY_HAVE_PM_PROGNAME)
  target_compile_definitions(netpbm INTERFACE PIXTALLY_HAVE_PM_PROGNAME)
endif()
check_cxx_source_compiles("#include \"libnetpbm.h\"
void recover(jmp_buf *where) { pm_setjmpbuf(where); }" NETPBM_HAS_SETJMPBUF)
unset(CMAKE_TRY_COMPILE_TARGET_TYPE)
unset(CMAKE_REQUIRED_INCLUDES)
unset(CMAKE_REQUIRED_DEFINITIONS)
unset(CMAKE_REQUIRED_QUIET)
if(flat)
  message(STATUS "libnetpbm: flat headers (the 10.0 series) in ${include_dirs}")
else()
  message(STATUS "libnetpbm: headers under netpbm/")
endif()
