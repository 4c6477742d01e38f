# Runs COMMAND (a list) and fails unless it writes exactly the greeting to
# standard output, nothing to standard error, and exits with status 0.
#
#   cmake -DCOMMAND=program;arg... -DWORK=dir -P expect_greeting.cmake
#
# The streams go to files, read as bytes: execute_process would drop the CR
# of a CRLF from an output variable.
foreach(var COMMAND WORK)
  if(NOT ${var})
    message(FATAL_ERROR "expect_greeting.cmake needs -D${var}=...")
  endif()
endforeach()
file(MAKE_DIRECTORY ${WORK})
execute_process(COMMAND ${COMMAND} RESULT_VARIABLE status TIMEOUT 300
                OUTPUT_FILE ${WORK}/stdout ERROR_FILE ${WORK}/stderr)
file(READ ${WORK}/stdout out HEX)
file(READ ${WORK}/stderr err)
set(greeting 48656c6c6f20776f726c64210d0a)  # "Hello world!\r\n"
set(failed "")
if(NOT status STREQUAL "0")
  string(APPEND failed "exit status ${status}, expected 0\n")
endif()
if(NOT out STREQUAL greeting)
  string(APPEND failed "standard output, in hex, ${out}, expected ${greeting} (Hello world!\\r\\n)\n")
endif()
if(NOT err STREQUAL "")
  string(APPEND failed "standard error [${err}], expected nothing\n")
endif()
if(failed)
  message(FATAL_ERROR "${COMMAND}:\n${failed}")
endif()
message(STATUS "${COMMAND}: Hello world!\\r\\n and status 0")
