# brevantctl doctor on a bench of boards with faults, as an engineer bringing
# up hardware runs it: each board's fault is named by the right check, and
# the exit status says whether anything failed.
#
#   cmake -DCTL=<brevantctl> -DCASE=<name> -DWORK=<empty directory> [-DEMULATOR=<program>]
#         -P doctor_cases.cmake
cmake_minimum_required(VERSION 3.25)

include(${CMAKE_CURRENT_LIST_DIR}/cases_common.cmake)

function(ctl expected)
  execute_process(COMMAND ${EMULATOR} "${CTL}" ${ARGN} INPUT_FILE /dev/null
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status STREQUAL "${expected}")
    message(FATAL_ERROR "brevantctl ${ARGN}: exit status ${status}, expected ${expected}\n"
                        "stdout:\n${out}\nstderr:\n${err}")
  endif()
  set(OUT "${out}" PARENT_SCOPE)
  set(ERR "${err}" PARENT_SCOPE)
endfunction()

# expect_check(<output> <check> <status> <reason regex>): the summary line of a check.
function(expect_check text check status reason)
  expect_match("${check}" "${text}" "\n  ${check} +${status} +${reason}")
endfunction()

if(CASE STREQUAL "doctor_faults")
  # The default bench: a type-1 and a type-0 board, both healthy.
  ctl(0 doctor)
  expect_match("healthy bench" "${OUT}" "summary: [0-9]+ ok, 0 warnings, 0 failed, 3 skipped\n$")
  expect_check("${OUT}" "ping" "ok" "20 bytes: \"VESK CFP2 8348 1.04\"\n +56 45 53 4B 20 43 46 50 32 20 38 33 34 38")
  expect_check("${OUT}" "queries" "ok" "each of the 7 query families")
  expect_match("raw reply bytes" "${OUT}" "\n +current monitor: F0 23 01\n")
  expect_check("${OUT}" "EEPROM head" "ok" "serial number VBRD0002")
  expect_check("${OUT}" "supply and temperatures" "skipped" "type-0 boards have no")

  # One board per fault; each is named by the check that finds it.
  file(WRITE "${WORK}/bench" "1 SLOW0001 latency=150\n1 SHRT0001 reply-bytes=1\n1 MUTE0001 hang-after=0\n1 PADS0001 pad=64\n")
  set(ENV{BREVANT_BENCH} "${WORK}/bench")
  ctl(1 doctor --index 0)
  expect_check("${OUT}" "ping" "failed" "no reply within the library's 100 ms read wait")
  expect_check("${OUT}" "late replies" "failed" "the ping's reply came after the library's 100 ms read wait had given up")
  expect_match("late board" "${ERR}" "doctor: [0-9]+ checks failed \\(the type-1 board at device index 0: ping: no reply")

  ctl(1 doctor --index 1)
  expect_check("${OUT}" "ping" "failed" "short reply: 1 of 20 bytes")
  expect_check("${OUT}" "queries" "failed" "7 of 7 failed: port 3 \\(short reply: 1 of 2 bytes\\)")
  expect_check("${OUT}" "reply framing" "failed" "replies shorter than the library asks for")

  ctl(1 doctor --index 2)
  expect_check("${OUT}" "ping" "failed" "no reply within")
  expect_check("${OUT}" "late replies" "failed" "no reply to the ping within 1100 ms")
  expect_check("${OUT}" "EEPROM head" "failed" "could not read the serial number")

  # Padded replies work on this transport, which is a warning, not a failure.
  ctl(0 --json doctor --index 3)
  string(JSON framing GET "${OUT}" boards 0 checks 4)
  expect_json_equal("${framing}" "reply framing" check)
  expect_json_equal("${framing}" "warning" status)
  expect_match("padded" "${framing}" "the board pads its replies to 64 bytes; on this system the library gets only the bytes it asks for")
  expect_json_equal("${framing}" 64 facts reads 0 received)
  expect_json_equal("${OUT}" 0 summary failed)

elseif(CASE STREQUAL "doctor_writes_and_report")
  # Nothing is written without --writes; with it, port 3 is named before it
  # is written back with its own value.
  ctl(0 --type 1 port set 3 0x92 --yes)
  ctl(0 doctor --type 1)
  expect_check("${OUT}" "writes" "skipped" "nothing written")
  ctl(0 doctor --type 1 --writes --report "${WORK}/report.txt")
  expect_match("named write" "${ERR}" "brevantctl: doctor: writing port 3 of the type-1 board at device index 0 back with 0x92, the value it holds\n")
  expect_check("${OUT}" "writes" "ok" "port 3 written back with 0x92 and read again the same")
  ctl(0 --type 1 port get 3)
  expect_match("port kept" "${OUT}" "^0x92\n$")
  # The report holds the summary, the JSON report and the run's wire log.
  file(READ "${WORK}/report.txt" report)
  expect_match("report" "${report}" "^brevantctl doctor report\n.*\n  writes +ok .*\n== report \\(JSON\\) ==\n\\{.*\n== wire log of the run ==\n# .* brevant wire log: a program opened this log\n")
  # The write back, as it went on the wire.
  expect_match("report's log" "${report}" "\n[-0-9T:.]+Z report at=[^ ]+ sn=VBRD0001 asked=64 got=64 wait=- took=[0-9]+ ok bytes=F000000392")

  ctl(2 doctor --mdio-port 256)
  expect_match("usage" "${ERR}" "--mdio-port must be in 0-255")
  ctl(2 doctor --report)
  ctl(1 doctor --index 5)
  expect_match("missing board" "${ERR}" "not found: no board at device index 5")
endif()
