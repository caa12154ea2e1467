# Windows deliverables: a static runtime so that they import only system DLLs, exports named by
# a .def file, a version resource from the project's version, a manifest on every program,
# stripped release images, and a test that reads the built binary back.

if(OVTM_WINDOWS)
  enable_language(RC)
endif()
set(OVTM_CMAKE_DIR ${CMAKE_CURRENT_LIST_DIR} CACHE INTERNAL "")
# A package for 64-bit Windows also carries the 32-bit binaries. A win-x64 tree cannot build
# i686 images, so the Wine tests that install a whole package take them from the win-x86 build
# beside it (tools/run-tests.sh builds win-x86 first).
if(OVTM_WINDOWS_ARCH STREQUAL "x86_64")
  set(OVTM_WIN_X86_BUILD ${PROJECT_SOURCE_DIR}/build/win-x86 CACHE PATH
      "The win-x86 build tree whose binaries the win-x64 Wine tests' packages take")
endif()
# The version's four parts, for the resource's numeric fields ("1,0,0,0").
string(REPLACE "." "," OVTM_VERSION_COMMAS "${PROJECT_VERSION}")

# ovtm_version_resource(target KIND program|dll|driver [MANIFEST file] [DESCRIPTION text]):
# generates the target's version resource (and, for a program, its manifest resource).
function(ovtm_version_resource target)
  cmake_parse_arguments(ARG "" "KIND;MANIFEST;DESCRIPTION" "" ${ARGN})
  get_target_property(suffix ${target} SUFFIX)
  if(NOT suffix)
    if(ARG_KIND STREQUAL "program")
      set(suffix ".exe")
    else()
      set(suffix ".dll")
    endif()
  endif()
  get_target_property(stem ${target} OUTPUT_NAME)
  if(NOT stem)
    set(stem ${target})
  endif()
  set(OVTM_FILE_STEM ${stem})
  set(OVTM_FILE_NAME ${stem}${suffix})
  set(OVTM_FILE_DESCRIPTION "${ARG_DESCRIPTION}")
  if(NOT ARG_DESCRIPTION)
    set(OVTM_FILE_DESCRIPTION "Orvane Tessaro Melodix ${stem}")
  endif()
  set(OVTM_MANIFEST_LINE "")
  if(ARG_KIND STREQUAL "program")
    set(OVTM_FILE_TYPE VFT_APP)
    set(OVTM_FILE_SUBTYPE 0)
    set(manifest ${OVTM_CMAKE_DIR}/program.manifest)
    if(ARG_MANIFEST)
      set(manifest ${ARG_MANIFEST})
    endif()
    # Resource 1 of type 24: the manifest the loader reads for a program.
    set(OVTM_MANIFEST_LINE "1 24 \"${manifest}\"")
  elseif(ARG_KIND STREQUAL "driver")
    set(OVTM_FILE_TYPE VFT_DRV)
    set(OVTM_FILE_SUBTYPE VFT2_DRV_SYSTEM)
  else()
    set(OVTM_FILE_TYPE VFT_DLL)
    set(OVTM_FILE_SUBTYPE 0)
  endif()
  set(rc ${CMAKE_CURRENT_BINARY_DIR}/${target}_version.rc)
  configure_file(${OVTM_CMAKE_DIR}/version.rc.in ${rc} @ONLY)
  target_sources(${target} PRIVATE ${rc})
  if(ARG_MANIFEST OR ARG_KIND STREQUAL "program")
    set_property(SOURCE ${rc} APPEND PROPERTY OBJECT_DEPENDS ${manifest})
  endif()
endfunction()

# ovtm_windows_binary(target [DEF file] [DEF_I686 file] [MANIFEST file] [DESCRIPTION text]):
# links the C and C++ runtimes in and, for a DLL, names its exports through DEF (x86_64) or
# DEF_I686 (i686, where the alias lines strip the stdcall decoration), without the "lib" prefix
# mingw would otherwise give it. A program gets MANIFEST (by default one that runs it as its
# caller). Release images carry no symbols.
function(ovtm_windows_binary target)
  cmake_parse_arguments(ARG "" "DEF;DEF_I686;MANIFEST;DESCRIPTION" "" ${ARGN})
  target_link_options(${target} PRIVATE -static -static-libgcc -static-libstdc++
    $<$<CONFIG:Release>:-s>)
  set_target_properties(${target} PROPERTIES PREFIX "")
  set(def ${ARG_DEF})
  if(OVTM_WINDOWS_ARCH STREQUAL "i686" AND ARG_DEF_I686)
    set(def ${ARG_DEF_I686})
  endif()
  if(def)
    target_sources(${target} PRIVATE ${def})
  endif()
  get_target_property(type ${target} TYPE)
  set(kind dll)
  if(type STREQUAL "EXECUTABLE")
    set(kind program)
  endif()
  set(extra)
  if(ARG_MANIFEST)
    list(APPEND extra MANIFEST ${ARG_MANIFEST})
  endif()
  if(ARG_DESCRIPTION)
    list(APPEND extra DESCRIPTION "${ARG_DESCRIPTION}")
  endif()
  ovtm_version_resource(${target} KIND ${kind} ${extra})
endfunction()

# ovtm_kernel_image(target): the self-contained kernel driver image. Its objects are compiled
# without unwind tables (the kernel never reads .eh_frame; on x64 the .pdata the kernel's
# exception dispatch needs stays), the image is stripped in release builds, carries a version
# resource and gets the PE checksum the kernel's loader checks for drivers.
function(ovtm_kernel_image target)
  get_target_property(sources ${target} SOURCES)
  foreach(source IN LISTS sources)
    if(source MATCHES "^\\$<TARGET_OBJECTS:([^>]+)>$")
      target_compile_options(${CMAKE_MATCH_1} PRIVATE
        -fno-asynchronous-unwind-tables -fno-unwind-tables)
    endif()
  endforeach()
  target_compile_options(${target} PRIVATE -fno-asynchronous-unwind-tables -fno-unwind-tables)
  target_link_options(${target} PRIVATE $<$<CONFIG:Release>:-s>)
  ovtm_version_resource(${target} KIND driver DESCRIPTION "Orvane Tessaro Melodix filter driver")
  add_custom_command(TARGET ${target} POST_BUILD
    COMMAND /usr/bin/python3 ${OVTM_CMAKE_DIR}/pe-checksum.py $<TARGET_FILE:${target}>
    VERBATIM)
endfunction()

# ovtm_export_test(target EXPORTS name... [SUBSYSTEM console|gui|native]
#                  [EXECUTION_LEVEL asInvoker|requireAdministrator]): the binary exports exactly
# these undecorated names, imports only what its kind of image may import (system DLLs for
# user mode, the kernel and its drivers for a .sys), has no section both writable and
# executable, its version resource carries the project's version, a program carries its
# manifest, a driver its checksum and no unwind tables, and a release image no symbols.
function(ovtm_export_test target)
  cmake_parse_arguments(ARG "" "SUBSYSTEM;EXECUTION_LEVEL" "EXPORTS" ${ARGN})
  get_target_property(type ${target} TYPE)
  get_target_property(suffix ${target} SUFFIX)
  if(suffix STREQUAL ".sys")
    set(kind driver)
    set(subsystem native)
  elseif(type STREQUAL "EXECUTABLE")
    set(kind program)
    get_target_property(gui ${target} WIN32_EXECUTABLE)
    if(gui)
      set(subsystem gui)
    else()
      set(subsystem console)
    endif()
  else()
    set(kind dll)
    set(subsystem any)
  endif()
  if(ARG_SUBSYSTEM)
    set(subsystem ${ARG_SUBSYSTEM})
  endif()
  set(level asInvoker)
  if(ARG_EXECUTION_LEVEL)
    set(level ${ARG_EXECUTION_LEVEL})
  endif()
  add_test(NAME ${target}_exports
    COMMAND /usr/bin/python3 ${OVTM_CMAKE_DIR}/check-binary.py
            --kind ${kind} --subsystem ${subsystem} --version ${PROJECT_VERSION}
            --execution-level ${level} --release $<IF:$<CONFIG:Release>,yes,no>
            $<TARGET_FILE:${target}> ${ARG_EXPORTS})
endfunction()
