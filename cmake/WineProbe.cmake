# Chooses the Windows programs that the tests, the demo and the benchmarks run under wine. "auto"
# runs a 32-bit program under wine32 in a scratch prefix: when it starts and returns the exit code
# it was given, the shipped i686 programs are run (win32); otherwise their x86_64 twins under
# wine64 (win64). The result is kept in the cache with its reason, so the probe runs once a tree.
function(packrig_choose_wine_arch)
  if(NOT PACKRIG_WINE_ARCH STREQUAL "auto")
    set(PACKRIG_WINE_MODE ${PACKRIG_WINE_ARCH} PARENT_SCOPE)
    set(PACKRIG_WINE_REASON "forced by PACKRIG_WINE_ARCH=${PACKRIG_WINE_ARCH}" PARENT_SCOPE)
    return()
  endif()
  if(NOT DEFINED PACKRIG_WINE_PROBED OR NOT PACKRIG_WINE_PROBED_WITH STREQUAL PACKRIG_WINE32)
    set(prefix ${CMAKE_BINARY_DIR}/wineprefix-probe)
    file(REMOVE_RECURSE ${prefix})
    execute_process(
      COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${prefix} WINEARCH=win32 WINEDEBUG=-all
        WINEDLLOVERRIDES=mscoree,mshtml= DISPLAY= ${PACKRIG_WINE32} cmd /c exit 37
      RESULT_VARIABLE code OUTPUT_QUIET ERROR_VARIABLE errors TIMEOUT 120)
    execute_process(COMMAND ${CMAKE_COMMAND} -E env WINEPREFIX=${prefix} wineserver -k
      OUTPUT_QUIET ERROR_QUIET TIMEOUT 30)
    file(REMOVE_RECURSE ${prefix})
    if(code STREQUAL "37")
      set(probed win32)
      set(reason "a 32-bit program ran under ${PACKRIG_WINE32}")
    else()
      string(REGEX REPLACE "\n.*" "" first_error "${errors}")
      set(probed win64)
      set(reason "no 32-bit program runs under ${PACKRIG_WINE32} (${code} ${first_error})")
    endif()
    set(PACKRIG_WINE_PROBED ${probed} CACHE INTERNAL "")
    set(PACKRIG_WINE_PROBED_WITH ${PACKRIG_WINE32} CACHE INTERNAL "")
    set(PACKRIG_WINE_PROBE_REASON "${reason}" CACHE INTERNAL "")
  endif()
  set(PACKRIG_WINE_MODE ${PACKRIG_WINE_PROBED} PARENT_SCOPE)
  set(PACKRIG_WINE_REASON "auto: ${PACKRIG_WINE_PROBE_REASON}" PARENT_SCOPE)
endfunction()
