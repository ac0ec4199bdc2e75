# Run by packrig_add_sfx at every build (cmake -P): writes the SOURCE_DATE_EPOCH that the pack
# step would hand to the builder into the stamp file STAMP, but only when it differs from what
# the stamp holds, so that the SFX file is packed again exactly when that value changes. The
# build's environment comes first; SOURCE_DATE_EPOCH given here (from configuring) serves when
# it has none.
if(NOT DEFINED STAMP)
  message(FATAL_ERROR "PackrigEpochStamp.cmake: -DSTAMP=... is missing")
endif()
if(DEFINED ENV{SOURCE_DATE_EPOCH})
  set(text "SOURCE_DATE_EPOCH=$ENV{SOURCE_DATE_EPOCH}\n")
elseif(NOT SOURCE_DATE_EPOCH STREQUAL "")
  set(text "SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH}\n")
else()
  set(text "no SOURCE_DATE_EPOCH\n")
endif()
set(old "")
if(EXISTS "${STAMP}")
  file(READ "${STAMP}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${STAMP}" "${text}")
endif()
