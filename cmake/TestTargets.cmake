# The tests are no part of a plain build: their folders are added EXCLUDE_FROM_ALL, and one target
# builds them all, which tools/test.sh builds before it runs ctest.

# The targets defined in `dir` and in every folder below it, into `out`.
function(packrig_targets_below dir out)
  get_property(targets DIRECTORY ${dir} PROPERTY BUILDSYSTEM_TARGETS)
  get_property(subdirs DIRECTORY ${dir} PROPERTY SUBDIRECTORIES)
  foreach(sub IN LISTS subdirs)
    packrig_targets_below(${sub} below)
    list(APPEND targets ${below})
  endforeach()
  set(${out} ${targets} PARENT_SCOPE)
endfunction()

# Adds the test folder `dir` outside the plain build, and the target `name` that builds every
# target in it and the further targets `ARGN`.
function(packrig_add_tests name dir)
  add_subdirectory(${dir} EXCLUDE_FROM_ALL)
  packrig_targets_below(${CMAKE_CURRENT_SOURCE_DIR}/${dir} targets)
  add_custom_target(${name})
  if(targets OR ARGN)
    add_dependencies(${name} ${targets} ${ARGN})
  endif()
endfunction()
