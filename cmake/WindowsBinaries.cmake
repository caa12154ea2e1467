# Windows deliverables: a static runtime so that they import only system DLLs, exports named by
# a .def file, and a test that reads the built binary's export and import tables.

# ovtm_windows_binary(target [DEF file] [DEF_I686 file]): links the C and C++ runtimes in and,
# for a DLL, names its exports through DEF (x86_64) or DEF_I686 (i686, where the alias lines
# strip the stdcall decoration), without the "lib" prefix mingw would otherwise give it.
function(ovtm_windows_binary target)
  cmake_parse_arguments(ARG "" "DEF;DEF_I686" "" ${ARGN})
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++)
  set_target_properties(${target} PROPERTIES PREFIX "")
  set(def ${ARG_DEF})
  if(OVTM_WINDOWS_ARCH STREQUAL "i686" AND ARG_DEF_I686)
    set(def ${ARG_DEF_I686})
  endif()
  if(def)
    target_sources(${target} PRIVATE ${def})
  endif()
endfunction()

# ovtm_export_test(target EXPORTS name...): the binary exports exactly these undecorated names
# and imports nothing but Windows system DLLs.
function(ovtm_export_test target)
  cmake_parse_arguments(ARG "" "" "EXPORTS" ${ARGN})
  add_test(NAME ${target}_exports
    COMMAND bash ${OVTM_CMAKE_DIR}/check-binary-tables.sh ${OVTM_OBJDUMP} $<TARGET_FILE:${target}>
            ${ARG_EXPORTS})
endfunction()

set(OVTM_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR} CACHE INTERNAL "")
