# The FLTK toolkit for the window, as the interface target lp_fltk; LP_HAVE_FLTK says
# whether there is one.
#
# Linux: Debian's package. Windows: Debian packages no FLTK for mingw-w64, so release
# 1.3.9 is built from source as part of this build, with the same toolchain and only its
# static library: from the tree named by LP_FLTK_SOURCE_DIR, else from the release
# archive beside the project (LP_FLTK_ARCHIVE, unpacked into the build folder once), else
# (on a machine that can reach the toolkit's repository) fetched with FetchContent, else
# not at all, and the window is left out.

set(LP_FLTK_SOURCE_DIR "" CACHE PATH "FLTK 1.3.9 source tree for the Windows build")
set(LP_FLTK_GIT_REPOSITORY "https://github.com/fltk/fltk.git" CACHE STRING
  "Where the Windows build fetches FLTK from when LP_FLTK_SOURCE_DIR is empty")
set(LP_FLTK_GIT_TAG "release-1.3.9" CACHE STRING "The FLTK release the Windows build uses")
set(LP_FLTK_ARCHIVE "${PROJECT_SOURCE_DIR}/../shared/deps/fltk-${LP_FLTK_GIT_TAG}.tar.gz"
  CACHE FILEPATH "FLTK release archive (git archive of the tag) for the Windows build")

if(NOT WIN32)
  set(FLTK_SKIP_OPENGL ON)
  set(FLTK_SKIP_FORMS ON)
  set(FLTK_SKIP_IMAGES ON)
  find_package(FLTK REQUIRED)
  add_library(lp_fltk INTERFACE)
  target_include_directories(lp_fltk INTERFACE ${FLTK_INCLUDE_DIR})
  target_link_libraries(lp_fltk INTERFACE ${FLTK_LIBRARIES})
  set(LP_HAVE_FLTK ON)
  return()
endif()

set(LP_HAVE_FLTK OFF)
set(lp_fltk_src "")
set(lp_fltk_why "")
if(LP_FLTK_SOURCE_DIR)
  if(EXISTS "${LP_FLTK_SOURCE_DIR}/src/Fl_Window.cxx" AND EXISTS "${LP_FLTK_SOURCE_DIR}/FL/Fl.H")
    set(lp_fltk_src "${LP_FLTK_SOURCE_DIR}")
  else()
    set(lp_fltk_why "LP_FLTK_SOURCE_DIR=${LP_FLTK_SOURCE_DIR} holds no FLTK source tree")
  endif()
elseif(EXISTS "${LP_FLTK_ARCHIVE}")
  # Unpacked again only when the archive changed: a new configuration of the same build
  # folder keeps the tree, and with it the toolkit objects already built from it.
  file(SHA256 "${LP_FLTK_ARCHIVE}" lp_fltk_sum)
  set(lp_fltk_unpacked "${PROJECT_BINARY_DIR}/fltk-source")
  set(lp_fltk_stamp "")
  if(EXISTS "${lp_fltk_unpacked}/archive.sha256")
    file(READ "${lp_fltk_unpacked}/archive.sha256" lp_fltk_stamp)
  endif()
  if(NOT lp_fltk_stamp STREQUAL lp_fltk_sum)
    file(REMOVE_RECURSE "${lp_fltk_unpacked}")
    file(ARCHIVE_EXTRACT INPUT "${LP_FLTK_ARCHIVE}" DESTINATION "${lp_fltk_unpacked}")
    file(WRITE "${lp_fltk_unpacked}/archive.sha256" "${lp_fltk_sum}")
  endif()
  file(GLOB lp_fltk_top LIST_DIRECTORIES true "${lp_fltk_unpacked}/*/FL")
  if(lp_fltk_top)
    list(GET lp_fltk_top 0 lp_fltk_top)
    get_filename_component(lp_fltk_src "${lp_fltk_top}" DIRECTORY)
  else()
    set(lp_fltk_why "${LP_FLTK_ARCHIVE} holds no FLTK source tree")
  endif()
elseif(FETCHCONTENT_FULLY_DISCONNECTED)
  set(lp_fltk_why "no LP_FLTK_SOURCE_DIR, no ${LP_FLTK_ARCHIVE}, and FETCHCONTENT_FULLY_DISCONNECTED is set")
else()
  # Asking the repository for the tag first tells an offline machine in seconds,
  # where FetchContent would stop the configuration with an error.
  find_package(Git QUIET)
  set(lp_fltk_rc 1)
  if(GIT_EXECUTABLE)
    execute_process(
      COMMAND ${GIT_EXECUTABLE} ls-remote --exit-code --tags ${LP_FLTK_GIT_REPOSITORY}
        ${LP_FLTK_GIT_TAG}
      RESULT_VARIABLE lp_fltk_rc OUTPUT_QUIET ERROR_QUIET TIMEOUT 60)
  endif()
  if(lp_fltk_rc EQUAL 0)
    include(FetchContent)
    FetchContent_Declare(lp_fltk_release
      GIT_REPOSITORY ${LP_FLTK_GIT_REPOSITORY}
      GIT_TAG ${LP_FLTK_GIT_TAG}
      GIT_SHALLOW TRUE)
    FetchContent_GetProperties(lp_fltk_release)
    if(NOT lp_fltk_release_POPULATED)
      FetchContent_Populate(lp_fltk_release)
    endif()
    set(lp_fltk_src "${lp_fltk_release_SOURCE_DIR}")
  else()
    set(lp_fltk_why "no LP_FLTK_SOURCE_DIR, no ${LP_FLTK_ARCHIVE}, and ${LP_FLTK_GIT_REPOSITORY} cannot be reached")
  endif()
endif()

if(NOT lp_fltk_src)
  message(STATUS "Windows build leaves out the window (FLTK): ${lp_fltk_why}")
  return()
endif()

# Only the core library: no test or example programs, no shared libraries, no OpenGL,
# image or Cairo parts, no documentation. Cross-compiling, FLTK builds no fluid of its
# own; the project has no .fl files for one to translate.
foreach(opt FLTK_BUILD_TEST FLTK_BUILD_EXAMPLES OPTION_BUILD_SHARED_LIBS OPTION_USE_GL
    OPTION_CAIRO OPTION_CAIROEXT OPTION_BUILD_HTML_DOCUMENTATION
    OPTION_BUILD_PDF_DOCUMENTATION OPTION_USE_SYSTEM_ZLIB OPTION_USE_SYSTEM_LIBJPEG
    OPTION_USE_SYSTEM_LIBPNG)
  set(${opt} OFF CACHE BOOL "Set by the project's Windows build" FORCE)
endforeach()

# The toolkit's own warnings are not ours to fix; they would only bury the project's.
# Nor are its debug records ours to read: without them it builds faster and smaller.
get_directory_property(lp_saved_options COMPILE_OPTIONS)
set_directory_properties(PROPERTIES COMPILE_OPTIONS "-w")
set(lp_saved_c_flags "${CMAKE_C_FLAGS_RELWITHDEBINFO}")
set(lp_saved_cxx_flags "${CMAKE_CXX_FLAGS_RELWITHDEBINFO}")
set(CMAKE_C_FLAGS_RELWITHDEBINFO "-O2 -DNDEBUG")
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "-O2 -DNDEBUG")
add_subdirectory(${lp_fltk_src} ${PROJECT_BINARY_DIR}/fltk EXCLUDE_FROM_ALL)
set(CMAKE_C_FLAGS_RELWITHDEBINFO "${lp_saved_c_flags}")
set(CMAKE_CXX_FLAGS_RELWITHDEBINFO "${lp_saved_cxx_flags}")
set_directory_properties(PROPERTIES COMPILE_OPTIONS "${lp_saved_options}")

# FLTK 1.3's headers pick their Windows parts by WIN32, which a strict -std=c++17
# compiler does not predefine; abi-version.h is generated into the build tree.
add_library(lp_fltk INTERFACE)
target_include_directories(lp_fltk SYSTEM INTERFACE ${lp_fltk_src} ${PROJECT_BINARY_DIR}/fltk)
target_compile_definitions(lp_fltk INTERFACE WIN32)
target_link_libraries(lp_fltk INTERFACE fltk)
set(LP_HAVE_FLTK ON)
message(STATUS "Windows build: FLTK from ${lp_fltk_src}")
