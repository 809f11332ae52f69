# SPDX-License-Identifier: Apache-2.0
# run(COMMAND ARGS...): runs a command in a CPack script and stops the
# packaging, naming the command, if it fails.
function(run)
  execute_process(COMMAND ${ARGV} RESULT_VARIABLE failed)
  if(failed)
    string(REPLACE ";" " " command "${ARGV}")
    message(FATAL_ERROR "failed: ${command}")
  endif()
endfunction()
