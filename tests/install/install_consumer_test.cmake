# Installs a built tree into a scratch prefix, then builds the C program of
# examples/ against that prefix as an outside project would, once through
# find_package (shared and static library) and once through pkg-config, and
# runs each build on two files.
#
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=...
#         -DC_COMPILER=... -DC_FLAGS=... -DLINKER_FLAGS=... -DBUILD_TYPE=...
#         -P install_consumer_test.cmake

function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE out)
  if(NOT status EQUAL 0)
    string(REPLACE ";" " " command "${ARGN}")
    message(FATAL_ERROR "failed (${status}): ${command}\n${out}")
  endif()
  set(output "${out}" PARENT_SCOPE)
endfunction()

set(prefix ${WORK_DIR}/prefix)
file(REMOVE_RECURSE ${WORK_DIR})
run(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix} --config ${BUILD_TYPE})

# What a consumer finds in the prefix, and what stays private.
file(GLOB_RECURSE installed RELATIVE ${prefix} ${prefix}/*)
foreach(expected
    include/ostrel_core/buf.h include/ostrel_core/delta_apply.h include/ostrel_core/ostrel_api.h
    libostrel_core.a libostrel_core.so cmake/ostrel_core/ostrel_core-config.cmake
    pkgconfig/ostrel_core.pc)
  set(found FALSE)
  foreach(path IN LISTS installed)
    if(path MATCHES "(^|/)${expected}$")
      set(found TRUE)
    endif()
  endforeach()
  if(NOT found)
    message(FATAL_ERROR "not installed: ${expected}\ninstalled: ${installed}")
  endif()
endforeach()
if(installed MATCHES "_internal\\.h")
  message(FATAL_ERROR "an internal header was installed: ${installed}")
endif()

# The static library needs libdivsufsort beside it: the CMake package and
# the pkg-config file name it.
file(GLOB_RECURSE targets_file ${prefix}/*/ostrel_core-targets.cmake)
file(READ ${targets_file} targets)
if(NOT targets MATCHES "INTERFACE_LINK_LIBRARIES \"m;divsufsort")
  message(FATAL_ERROR "the static library's link dependencies are not named: ${targets}")
endif()
file(GLOB_RECURSE pc_file ${prefix}/*/ostrel_core.pc)
file(STRINGS ${pc_file} pc_private REGEX "^Libs.private:")
if(NOT pc_private MATCHES " -ldivsufsort( |$)")
  message(FATAL_ERROR "the pkg-config file does not name libdivsufsort: ${pc_private}")
endif()

# Two versions of a text with a few edits, and an identical pair.
string(REPEAT "line of the old file, the same in both versions\n" 200 common)
file(WRITE ${WORK_DIR}/old.txt "${common}header\n${common}")
file(WRITE ${WORK_DIR}/new.txt "${common}changed header, longer\n${common}tail\n")

# Our headers must stay clean C for consumers that are strict.
set(strict "${C_FLAGS} -Wall -Wextra -Wpedantic -Werror")

run(${CMAKE_COMMAND} -S ${SOURCE_DIR}/examples -B ${WORK_DIR}/build -G ${GENERATOR}
    -DCMAKE_BUILD_TYPE=${BUILD_TYPE} -DCMAKE_PREFIX_PATH=${prefix}
    -DCMAKE_C_COMPILER=${C_COMPILER} -DCMAKE_C_FLAGS=${strict}
    -DCMAKE_EXE_LINKER_FLAGS=${LINKER_FLAGS})
run(${CMAKE_COMMAND} --build ${WORK_DIR}/build --config ${BUILD_TYPE})

set(programs ${WORK_DIR}/build/delta_files ${WORK_DIR}/build/delta_files_static)

find_program(PKG_CONFIG NAMES pkg-config pkgconf)
if(PKG_CONFIG)
  get_filename_component(pc_dir ${pc_file} DIRECTORY)
  set(ENV{PKG_CONFIG_PATH} ${pc_dir})
  run(${PKG_CONFIG} --cflags --libs ostrel_core)
  separate_arguments(pc_flags UNIX_COMMAND "${output}")
  run(${PKG_CONFIG} --variable=libdir ostrel_core)
  string(STRIP "${output}" libdir)
  separate_arguments(compile UNIX_COMMAND "${strict} ${LINKER_FLAGS}")
  run(${C_COMPILER} ${compile} ${SOURCE_DIR}/examples/delta_files.c ${pc_flags}
      -Wl,-rpath,${libdir} -o ${WORK_DIR}/delta_files_pkg_config)
  list(APPEND programs ${WORK_DIR}/delta_files_pkg_config)
else()
  message(WARNING "pkg-config not found: the pkg-config build was not tried")
endif()

foreach(program IN LISTS programs)
  run(${program} ${WORK_DIR}/old.txt ${WORK_DIR}/new.txt)
  if(NOT output MATCHES "the patched old file matches the new file\n.*rebuilt the new file, verified\n"
     OR NOT output MATCHES "applied to the new file: the old value is not the one the delta was made from")
    message(FATAL_ERROR "${program}: unexpected output\n${output}")
  endif()
  run(${program} ${WORK_DIR}/new.txt ${WORK_DIR}/new.txt)
  if(NOT output MATCHES "delta +1 bytes\n.*matches.*verified.*accepted")
    message(FATAL_ERROR "${program}: identical files should give the no-change delta\n${output}")
  endif()
  message(STATUS "${program}: ok")
endforeach()
