# The Windows installer (NSIS): `cmake --build <dir> --target installer` writes
# qumex-linkprobe-<version>-setup.exe into the build folder. Not part of the default
# build: it needs makensis (Debian's nsis) and every program built.
find_program(LP_MAKENSIS makensis)
find_program(LP_GROFF groff)
if(NOT LP_MAKENSIS OR NOT LP_GROFF)
  message(STATUS "Windows build: no installer target (needs makensis and groff)")
  return()
endif()

set(lp_pkg ${PROJECT_BINARY_DIR}/packaging)
set(LP_NSIS_OUTFILE ${PROJECT_BINARY_DIR}/qumex-linkprobe-${PROJECT_VERSION}-setup.exe)
set(LP_NSIS_VI_VERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}.${PROJECT_VERSION_PATCH}.0")

# Windows has no man: the pages go as plain text.
set(lp_docs)
foreach(page linkprobe.1 linkprobe-responder.1 qcomm-harness.1 zrcdump.1 qcomm.3)
  string(REGEX REPLACE "\\.[0-9]$" ".txt" txt ${page})
  add_custom_command(OUTPUT ${lp_pkg}/doc/${txt}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${lp_pkg}/doc
    COMMAND ${PROJECT_SOURCE_DIR}/packaging/windows/man2txt.sh
      ${PROJECT_SOURCE_DIR}/packaging/man/${page} ${lp_pkg}/doc/${txt}
    DEPENDS ${PROJECT_SOURCE_DIR}/packaging/man/${page}
    VERBATIM)
  list(APPEND lp_docs ${lp_pkg}/doc/${txt})
endforeach()

# What goes where under the program's folder: "<file>|<subfolder>|<name>", the file
# and name as generator expressions where a target makes them.
set(lp_programs qcomm-harness linkprobe-responder zrcdump)
if(TARGET linkprobe)
  list(PREPEND lp_programs linkprobe)
endif()
set(lp_entries "$<TARGET_FILE:qcomm>||$<TARGET_FILE_NAME:qcomm>")
foreach(t IN LISTS lp_programs)
  list(APPEND lp_entries "$<TARGET_FILE:${t}>||$<TARGET_FILE_NAME:${t}>")
endforeach()
list(APPEND lp_entries
  "${PROJECT_SOURCE_DIR}/commlib/qcomm.h|\\SDK\\include|qcomm.h"
  "$<TARGET_LINKER_FILE:qcomm>|\\SDK\\lib|$<TARGET_LINKER_FILE_NAME:qcomm>"
  "${PROJECT_SOURCE_DIR}/commlib/examples/loopback.c|\\SDK\\examples|loopback.c")
foreach(doc IN LISTS lp_docs)
  get_filename_component(name ${doc} NAME)
  list(APPEND lp_entries "${doc}|\\DOC|${name}")
endforeach()

set(LP_NSIS_INSTALL "")
set(LP_NSIS_UNINSTALL "")
set(lp_subdirs "")
foreach(e IN LISTS lp_entries)
  string(REPLACE "|" ";" parts "${e}")
  list(GET parts 0 file)
  list(GET parts 1 sub)
  list(GET parts 2 name)
  string(APPEND LP_NSIS_INSTALL "  SetOutPath \"$INSTDIR${sub}\"\n  File \"${file}\"\n")
  string(APPEND LP_NSIS_UNINSTALL "  Delete \"$INSTDIR${sub}\\${name}\"\n")
  if(sub)
    list(APPEND lp_subdirs "${sub}")
  endif()
endforeach()
# Deepest folders first, so each is empty when its turn comes.
list(REMOVE_DUPLICATES lp_subdirs)
list(APPEND lp_subdirs "\\SDK")
list(SORT lp_subdirs ORDER DESCENDING)
foreach(sub IN LISTS lp_subdirs)
  string(APPEND LP_NSIS_UNINSTALL "  RMDir \"$INSTDIR${sub}\"\n")
endforeach()

configure_file(${PROJECT_SOURCE_DIR}/packaging/windows/linkprobe.nsi.in
  ${lp_pkg}/linkprobe.nsi.in @ONLY)
file(GENERATE OUTPUT ${lp_pkg}/linkprobe.nsi INPUT ${lp_pkg}/linkprobe.nsi.in)

add_custom_command(OUTPUT ${LP_NSIS_OUTFILE}
  COMMAND ${LP_MAKENSIS} -V2 -NOCD ${lp_pkg}/linkprobe.nsi
  DEPENDS ${lp_pkg}/linkprobe.nsi ${lp_docs} qcomm ${lp_programs}
    ${PROJECT_SOURCE_DIR}/commlib/qcomm.h ${PROJECT_SOURCE_DIR}/commlib/examples/loopback.c
  WORKING_DIRECTORY ${lp_pkg}
  VERBATIM)
add_custom_target(installer DEPENDS ${LP_NSIS_OUTFILE})
