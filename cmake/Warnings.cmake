# Common warning flags; PACKRIG_WERROR turns them into errors (CI sets it).
function(packrig_warnings target)
  target_compile_options(${target} PRIVATE -Wall -Wextra -Wpedantic -Wshadow -Wconversion
    -Wno-sign-conversion)
  if(PACKRIG_WERROR)
    target_compile_options(${target} PRIVATE -Werror)
  endif()
endfunction()
