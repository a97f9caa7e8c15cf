# Writes the git revision the build is made from into OUT (a header), at every build, but
# touches the file only when the revision changed: run with -DSOURCE=... -DOUT=....
execute_process(COMMAND git -C "${SOURCE}" describe --always --dirty --abbrev=12
                OUTPUT_VARIABLE revision OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
if(failed OR revision STREQUAL "")
  set(revision "unknown")
endif()
set(text "// Generated at build time: the git revision of the sources.\n#pragma once\n#define SB_GIT_REVISION \"${revision}\"\n")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()
