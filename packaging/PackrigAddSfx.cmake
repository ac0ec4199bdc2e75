# packrig_add_sfx(<name> SOURCE_DIR <dir> EXECUTABLE <relative path> OUTPUT <file>
#                 [CODEPAGE <number>] [COMPRESS] [DEPENDS ...])
#
# Adds the target <name>, built by default, that packs the tree SOURCE_DIR into the SFX file
# OUTPUT with the headless builder; EXECUTABLE is the program of the tree that the SFX file
# starts, relative to SOURCE_DIR. A relative SOURCE_DIR is taken from the current source folder,
# a relative OUTPUT from the current build folder. The SFX file is built again when a file of the
# tree changes, when a file is added or removed, and when DEPENDS (targets or files, such as the
# program that a target of this project puts into the tree) change. SOURCE_DATE_EPOCH in the
# build's environment is handed to the builder; a value set when configuring (as a CMake variable
# or in the environment) is used when the build's environment has none. The SFX file is packed
# again when that value changes: a step run at every build keeps it in a stamp file, rewritten
# only when it changes, on which the pack step depends. CODEPAGE names the Windows ANSI code page
# of the systems that the SFX file is for (the builder's --codepage; 1252 when not given), or
# utf-8 for names stored in UTF-8.
# COMPRESS writes a compressed SFX file (packrig -z).
if(CMAKE_VERSION VERSION_LESS 3.20)
  message(FATAL_ERROR "packrig_add_sfx needs CMake 3.20 or later (DEPFILE for every generator)")
endif()

cmake_policy(PUSH)
cmake_policy(VERSION 3.20...3.25)

function(packrig_add_sfx name)
  cmake_parse_arguments(PARSE_ARGV 1 arg "COMPRESS" "SOURCE_DIR;EXECUTABLE;OUTPUT;CODEPAGE"
    "DEPENDS")
  foreach(required SOURCE_DIR EXECUTABLE OUTPUT)
    if(NOT arg_${required})
      message(FATAL_ERROR "packrig_add_sfx(${name}): ${required} is missing")
    endif()
  endforeach()
  if(arg_UNPARSED_ARGUMENTS)
    message(FATAL_ERROR "packrig_add_sfx(${name}): unknown arguments ${arg_UNPARSED_ARGUMENTS}")
  endif()
  cmake_path(ABSOLUTE_PATH arg_SOURCE_DIR BASE_DIRECTORY ${CMAKE_CURRENT_SOURCE_DIR} NORMALIZE
    OUTPUT_VARIABLE source_dir)
  cmake_path(ABSOLUTE_PATH arg_OUTPUT BASE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR} NORMALIZE
    OUTPUT_VARIABLE output)
  set(epoch "")
  if(DEFINED SOURCE_DATE_EPOCH)
    set(epoch "${SOURCE_DATE_EPOCH}")
  elseif(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(epoch "$ENV{SOURCE_DATE_EPOCH}")
  endif()
  set(switches "")
  if(DEFINED arg_CODEPAGE)
    set(switches "--codepage=${arg_CODEPAGE}")
  endif()
  set(script ${_PACKRIG_ADD_SFX_DIR}/PackrigBuildSfx.cmake)
  set(stamp_script ${_PACKRIG_ADD_SFX_DIR}/PackrigEpochStamp.cmake)
  set(depfile ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${name}.sfx.d)
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/CMakeFiles/${name}.epoch)
  # Runs at every build; as the stamp is a byproduct, Ninja looks at its time again afterwards
  # (restat) and packs only when the stamp was rewritten.
  add_custom_target(${name}_epoch
    COMMAND ${CMAKE_COMMAND} -DSTAMP=${stamp} -DSOURCE_DATE_EPOCH=${epoch} -P ${stamp_script}
    BYPRODUCTS ${stamp}
    VERBATIM)
  add_custom_command(OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DPACKRIG=$<TARGET_FILE:Packrig::packrig> -DSOURCE_DIR=${source_dir}
      -DEXECUTABLE=${arg_EXECUTABLE} -DOUTPUT=${output} -DDEPFILE=${depfile}
      -DSOURCE_DATE_EPOCH=${epoch} -DSWITCHES=${switches} -DCOMPRESS=${arg_COMPRESS} -P ${script}
    DEPENDS $<TARGET_FILE:Packrig::packrig> ${script} ${stamp} ${arg_DEPENDS}
    DEPFILE ${depfile}
    COMMENT "Building the SFX file ${output}"
    VERBATIM)
  add_custom_target(${name} ALL DEPENDS ${output})
  add_dependencies(${name} ${name}_epoch)
endfunction()

set(_PACKRIG_ADD_SFX_DIR ${CMAKE_CURRENT_LIST_DIR})
cmake_policy(POP)
