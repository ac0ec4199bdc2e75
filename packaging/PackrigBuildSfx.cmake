# Run by packrig_add_sfx at build time (cmake -P): builds one SFX file with the headless builder,
# then writes a depfile that names every file and folder of the tree, so that the build runs this
# again when a file changes or when a folder gains or loses an entry.
foreach(required PACKRIG SOURCE_DIR EXECUTABLE OUTPUT DEPFILE)
  if(NOT DEFINED ${required})
    message(FATAL_ERROR "PackrigBuildSfx.cmake: -D${required}=... is missing")
  endif()
endforeach()
if(NOT DEFINED ENV{SOURCE_DATE_EPOCH} AND NOT SOURCE_DATE_EPOCH STREQUAL "")
  set(ENV{SOURCE_DATE_EPOCH} "${SOURCE_DATE_EPOCH}")
endif()

set(switches -h -o -c ${SWITCHES})
if(COMPRESS)
  list(APPEND switches -z)
endif()
execute_process(COMMAND ${PACKRIG} ${switches} ${SOURCE_DIR} ${EXECUTABLE} ${OUTPUT}
  RESULT_VARIABLE result)
if(NOT result EQUAL 0)
  message(FATAL_ERROR "packrig could not build ${OUTPUT} (exit code ${result})")
endif()

# Make's and Ninja's depfile syntax: blanks and "#" are escaped with "\", "$" is doubled.
function(depfile_escape path out)
  string(REPLACE " " "\\ " path "${path}")
  string(REPLACE "#" "\\#" path "${path}")
  string(REPLACE "$" "$$" path "${path}")
  set(${out} "${path}" PARENT_SCOPE)
endfunction()

file(GLOB_RECURSE entries LIST_DIRECTORIES true "${SOURCE_DIR}/*")
depfile_escape("${OUTPUT}" target)
set(text "${target}:")
foreach(entry IN LISTS SOURCE_DIR entries)
  # The target file inside the tree is not part of the payload; a dangling link never exists.
  if(entry STREQUAL OUTPUT OR NOT EXISTS "${entry}")
    continue()
  endif()
  depfile_escape("${entry}" escaped)
  string(APPEND text " \\\n  ${escaped}")
endforeach()
file(WRITE "${DEPFILE}" "${text}\n")
