# cases_common.cmake - what the process tests of brevantctl share: a fresh
# work directory holding the state file, and the checks on its output.
# Included by brevantctl_cases.cmake and module_cases.cmake, which define
# their own ctl() to run brevantctl.

set(STATE "$ENV{BREVANT_BENCH_STATE}")
if(STATE STREQUAL "" OR NOT STATE MATCHES "^${WORK}/")
  message(FATAL_ERROR "BREVANT_BENCH_STATE must name a file under ${WORK}, not '${STATE}'")
endif()
file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")

function(expect_match what text regex)
  if(NOT text MATCHES "${regex}")
    message(FATAL_ERROR "${what}: expected a match for '${regex}' in:\n${text}")
  endif()
endfunction()

# The text has exactly `count` lines.
function(expect_lines what text count)
  string(REGEX MATCHALL "\n" newlines "${text}")
  list(LENGTH newlines n)
  if(NOT n EQUAL count)
    message(FATAL_ERROR "${what}: expected ${count} lines, got ${n}:\n${text}")
  endif()
endfunction()

function(expect_one_line what text)
  expect_lines("${what}" "${text}" 1)
endfunction()

function(expect_json_equal json expected)
  string(JSON value ERROR_VARIABLE error GET "${json}" ${ARGN})
  if(error OR NOT value STREQUAL "${expected}")
    message(FATAL_ERROR "JSON ${ARGN}: expected '${expected}', got '${value}' ${error} in:\n${json}")
  endif()
endfunction()
