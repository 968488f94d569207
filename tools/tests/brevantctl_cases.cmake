# brevantctl as users see it: run as a process against the default virtual
# bench, checking exit status, standard output and standard error.
#
#   cmake -DCTL=<brevantctl> -DCASE=<name> -DWORK=<empty directory> [-DEMULATOR=<program>]
#         -P brevantctl_cases.cmake
#
# EMULATOR (a cross build's emulator, with its arguments) starts brevantctl.
#
# The state file is BREVANT_BENCH_STATE, which the test sets; it starts absent.
cmake_minimum_required(VERSION 3.25)

include(${CMAKE_CURRENT_LIST_DIR}/cases_common.cmake)

# ctl(<exit status> args...): runs brevantctl with standard input not a
# terminal (so it never asks); OUT and ERR hold its output.
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

# interrupt_when(<glob> args...): starts brevantctl in the background, waits
# until a file matches <glob> (or 1.5 seconds, for an empty glob), sends
# it SIGINT (or INTERRUPT_SIGNAL) and waits for it. INTERRUPTED_STATUS and INTERRUPTED_ERR hold its
# exit status and standard error.
function(interrupt_when glob)
  string(REPLACE ";" " " emulated "${EMULATOR}")
  set(command "${emulated} \"${CTL}\"")
  foreach(arg IN LISTS ARGN)
    string(APPEND command " '${arg}'")
  endforeach()
  if(glob STREQUAL "")
    set(wait "sleep 1.5")
  else()
    set(wait "n=0; until ls ${glob} >/dev/null 2>&1; do n=$((n+1)); [ $n -lt 400 ] || break; sleep 0.05; done")
  endif()
  if(NOT INTERRUPT_SIGNAL)
    set(INTERRUPT_SIGNAL INT)
  endif()
  execute_process(COMMAND sh -c "${command} </dev/null 2>'${WORK}/interrupted.err' >/dev/null & pid=$!; ${wait}; kill -${INTERRUPT_SIGNAL} $pid; wait $pid; echo $?"
                  OUTPUT_VARIABLE status OUTPUT_STRIP_TRAILING_WHITESPACE)
  file(READ "${WORK}/interrupted.err" err)
  string(REGEX REPLACE "brevant virtual bench: [^\n]*\n" "" err "${err}")
  set(INTERRUPTED_STATUS "${status}" PARENT_SCOPE)
  set(INTERRUPTED_ERR "${err}" PARENT_SCOPE)
endfunction()

# A usage error: status 2, nothing on standard output, one line naming the
# problem on standard error.
function(usage_error regex)
  ctl(2 ${ARGN})
  if(NOT OUT STREQUAL "")
    message(FATAL_ERROR "brevantctl ${ARGN}: printed on standard output:\n${OUT}")
  endif()
  expect_one_line("brevantctl ${ARGN}" "${ERR}")
  expect_match("brevantctl ${ARGN}" "${ERR}" "^brevantctl: .*${regex}")
endfunction()

# A board failure: status 1, one line with the reason.
function(board_failure regex)
  ctl(1 ${ARGN})
  string(REGEX REPLACE "brevant virtual bench: [^\n]*\n" "" reason "${ERR}")
  expect_one_line("brevantctl ${ARGN}" "${reason}")
  expect_match("brevantctl ${ARGN}" "${reason}" "${regex}")
endfunction()

if(CASE STREQUAL "usage_errors")
  usage_error("no command")
  usage_error("unknown command 'frobnicate'" frobnicate)
  usage_error("mdio: needs one of: read, write, dump" mdio)
  usage_error("REG must be in 0-65535 \\(0x0000-0xFFFF\\), got '70000'" mdio read 0 70000)
  usage_error("DATA must be in 0-65535" mdio write 0 1 0x10000)
  usage_error("PORT must be in 0-255" port set 256 1)
  usage_error("VALUE must be in 0-255" port set 1 -1)
  usage_error("PORT must be a number" port get 12abc)
  usage_error("ADDR must be in 0-131071 \\(0x00000-0x1FFFF\\)" eeprom read 0x20000)
  # A count that reaches the end of the EEPROM or of the registers says from
  # where, and a one-number range reads as that number.
  usage_error("COUNT from 0x1FFFF must be 1 \\(0x01\\), got '2'" eeprom read 0x1FFFF 2)
  usage_error("COUNT from 0x1FFF0 must be in 1-16 \\(0x01-0x10\\), got '20'" eeprom read 0x1FFF0 20)
  usage_error("COUNT from 0xFFFF must be 1 \\(0x01\\), got '2'" mdio dump 1 0xFFFF 2)
  usage_error("run past the end" eeprom write 0x1FFFF 1 2)
  usage_error("TEXT must be 1 to 8 characters, got 9" sn set 123456789)
  usage_error("--type must be 0 or 1" --type 2 ping)
  usage_error("--index must be in 0-126" --index 65536 ping)
  usage_error("--type must be 0, 1 or any" list --type 3)
  usage_error("--serial selects a board on its own" --serial A --index 0 ping)
  usage_error("too many arguments" vcc 1)
  usage_error("STATE must be on or off" ftdi maybe)
  usage_error("--boot does not apply to ping" ping --boot)
  usage_error("unknown option '--verbatim'" --verbatim list)
  usage_error("--verbose does not apply to ping" --verbose ping)
  # None of them reached a board, so the bench was never set up.
  if(EXISTS "${STATE}")
    message(FATAL_ERROR "a usage error set up the bench")
  endif()

  ctl(0 --help)
  expect_match("--help" "${OUT}" "mdio dump PORT FIRST COUNT")
  ctl(0 mdio write --help)
  expect_match("mdio write --help" "${OUT}" "usage: brevantctl \\[selection\\] mdio write PORT REG DATA")
  ctl(0 help eeprom)
  expect_match("help eeprom" "${OUT}" "eeprom save \\[--offset ADDR\\] \\[--length N\\] \\[--force\\] FILE.*eeprom load .*FILE")

elseif(CASE STREQUAL "board_failures")
  board_failure("vcc: not available: .* type-1 boards only; this is the type-0 board at device index 1" --type 0 vcc)
  board_failure("ftdi: not available" --index 1 ftdi on)
  board_failure("ping: not found: no type-1 board at device index 1" --type 1 --index 1 ping)
  board_failure("ping: not found: no board has serial number 'NOSUCH'" --serial NOSUCH ping)

  # A bench of a board that answers after the read gave up, and one whose
  # replies are cut short.
  file(WRITE "${WORK}/bench" "1 SLOW0001 latency=150  # too slow\n1 SHRT0001 reply-bytes=1\n")
  set(ENV{BREVANT_BENCH} "${WORK}/bench")
  board_failure("vcc: no reply: the type-1 board at device index 0 did not answer" --index 0 vcc)
  board_failure("mdio read: short reply: the type-1 board at device index 1 answered" --index 1 mdio read 0 0)
  board_failure("sn get: no reply" --index 0 sn get)
  # Boards that cannot be read give their reason in every form, and a
  # search by serial number names them instead of saying no board has it;
  # a close serial number that was read is offered.
  ctl(0 list)
  expect_match("list" "${OUT}" "0     1  0x8348   bench:0   \\(unreadable: no reply to the serial number read\\) +simulated\n")
  expect_match("list" "${OUT}" "1     1  0x8348   bench:1   \\(unreadable: short reply to the serial number read\\) +simulated\n$")
  ctl(0 -j list)
  expect_json_equal("${OUT}" "no reply to the serial number read" boards 0 error message)
  expect_json_equal("${OUT}" "" boards 0 serial)
  board_failure("ping: not found: no readable board has serial number 'NOSUCH' \\(could not read the type-1 board at device index 0: no reply to the serial number read, the type-1 board at device index 1: short reply to the serial number read\\)\n$"
                --serial NOSUCH ping)
  file(WRITE "${WORK}/bench" "1 SLOW0001 latency=150\n0 LAB-8\n0 LAB-9\n0 XAB-7\n")
  board_failure("ping: not found: no readable board has serial number 'LAB-7' \\(could not read the type-1 board at device index 0: no reply to the serial number read\\); did you mean 'LAB-8', 'LAB-9' or 'XAB-7'\\?\n$"
                --serial LAB-7 ping)

  # A bench file with an error: one message, a bench without boards.
  file(WRITE "${WORK}/bench" "1 GOOD0001\n2 BAD00001\n")
  ctl(1 list)
  expect_match("bench file message" "${ERR}" "bench file .*, line 2: board type must be 0 or 1")
  expect_match("list" "${ERR}" "brevantctl: list: no boards found\n$")
  board_failure("not found: no board is attached" ping)

elseif(CASE STREQUAL "simulator")
  # Without the switch the library looks for real boards only: the virtual
  # bench stays out of sight and its state file untouched.
  unset(ENV{BREVANT_SIMULATOR})
  ctl(1 list)
  if(OUT MATCHES "VBRD|simulated" OR EXISTS "${STATE}")
    message(FATAL_ERROR "list without the simulator showed the virtual bench:\n${OUT}")
  endif()
  # --simulator asks for it; every simulated board says so.
  ctl(0 --simulator list)
  expect_match("list" "${OUT}" "^INDEX  TYPE  PRODUCT  LOCATION  SERIAL    SOURCE\n    0     1  0x8348   bench:0   VBRD0001  simulated\n    1     0  0x8248   bench:1   VBRD0002  simulated\n$")
  ctl(0 --simulator list -v)
  expect_match("list -v" "${OUT}" "^Board at device index 0\n  Type       1 \\(product 0x8348\\)\n  Serial     VBRD0001\n  Location   line 1 of the virtual bench\n  Identity   VESK CFP2 8348 1.04\n  Source     simulated\n\nBoard at device index 1\n")
  ctl(0 --simulator -j list -v)
  expect_json_equal("${OUT}" "VESK CFP2 8248 1.04" boards 1 identity)
  ctl(0 --simulator list --json)
  expect_json_equal("${OUT}" "ON" simulated)
  expect_json_equal("${OUT}" "ON" boards 1 simulated)
  ctl(0 --simulator --type 1 --json vcc)
  expect_json_equal("${OUT}" "ON" board simulated)
  expect_match("vcc" "${ERR}" "(^|\n)brevant virtual bench: simulated boards \\(--simulator\\)")
  # The words for "off" keep it off, in any case; a word that is neither is
  # named, and off.
  foreach(off 0 false no off OFF False)
    set(ENV{BREVANT_SIMULATOR} ${off})
    ctl(1 list)
    if(OUT MATCHES "VBRD" OR ERR MATCHES "simulated boards|neither")
      message(FATAL_ERROR "BREVANT_SIMULATOR=${off} chose the simulator:\n${OUT}${ERR}")
    endif()
  endforeach()
  set(ENV{BREVANT_SIMULATOR} maybe)
  ctl(1 list)
  expect_match("BREVANT_SIMULATOR=maybe" "${ERR}" "^brevant: BREVANT_SIMULATOR='maybe' is neither on \\(1, true, yes, on\\) nor off \\(0, false, no, off\\); the simulator stays off\n")
  foreach(on 1 true YES On)
    set(ENV{BREVANT_SIMULATOR} ${on})
    ctl(0 --type 1 vcc)
    expect_match("BREVANT_SIMULATOR=${on}" "${ERR}" "(^|\n)brevant virtual bench: simulated boards \\(BREVANT_SIMULATOR is set\\)")
  endforeach()
  # The notice comes first and once, before the progress bar of a command
  # that draws one on a terminal.
  find_program(SCRIPT script)
  if(SCRIPT)
    string(REPLACE ";" " " emulated "${EMULATOR}")
    execute_process(COMMAND "${SCRIPT}" -qec "${emulated} ${CTL} module info" /dev/null
                    INPUT_FILE /dev/null RESULT_VARIABLE status OUTPUT_VARIABLE out)
    string(REGEX MATCHALL "simulated boards" notices "${out}")
    list(LENGTH notices count)
    if(NOT status EQUAL 0 OR NOT count EQUAL 1 OR NOT out MATCHES "brevant virtual bench: simulated boards[^\n]*\n[^\n]*module info \\[")
      message(FATAL_ERROR "module info on a terminal: status ${status}\n${out}")
    endif()
  endif()

elseif(CASE STREQUAL "json")
  ctl(0 list --json)
  expect_one_line("list --json" "${OUT}")
  string(JSON count LENGTH "${OUT}" boards)
  if(NOT count EQUAL 2)
    message(FATAL_ERROR "list --json: expected 2 boards in ${OUT}")
  endif()
  expect_json_equal("${OUT}" 1 boards 0 type)
  expect_json_equal("${OUT}" 0 boards 0 index)
  expect_json_equal("${OUT}" VBRD0001 boards 0 serial)
  expect_json_equal("${OUT}" 0 boards 1 type)
  expect_json_equal("${OUT}" VBRD0002 boards 1 serial)

  ctl(0 --json mdio write 1 0x8000 0x1234)
  ctl(0 --json mdio read 1 0x8000)
  expect_json_equal("${OUT}" 1 board type)
  expect_json_equal("${OUT}" 32768 register)
  expect_json_equal("${OUT}" 4660 value)
  ctl(0 --json mdio dump 1 0x7FFF 2)
  expect_json_equal("${OUT}" 4660 registers 1 value)
  ctl(0 --json vcc)
  expect_json_equal("${OUT}" 3.3125 volts)
  ctl(0 --json ping)
  expect_match("ping --json" "${OUT}" "\"reply\":\"5645534b[0-9a-f]*\"")
  string(JSON reply GET "${OUT}" reply)
  string(LENGTH "${reply}" length)
  if(NOT length EQUAL 40)
    message(FATAL_ERROR "ping --json: expected a 20-byte reply as 40 hex digits in ${OUT}")
  endif()
  expect_match("ping --json" "${OUT}" "\"text\":\"VESK CFP2 8348")
  # The board member names the serial number the board holds when the
  # command is done: the one it read for a warning, the one it wrote.
  file(WRITE "${WORK}/serial.bin" "JSONSER1")
  ctl(0 --json -y -i 1 eeprom load --length 8 "${WORK}/serial.bin")
  expect_json_equal("${OUT}" JSONSER1 board serial)
  ctl(0 --json -y -s JSONSER1 sn set JSONSER2)
  expect_json_equal("${OUT}" JSONSER2 board serial)
  ctl(0 --json -y -s JSONSER2 eeprom write 7 0x33)
  expect_json_equal("${OUT}" JSONSER3 board serial)
  ctl(0 --json -y -i 1 sn set VBRD0002)
  expect_json_equal("${OUT}" VBRD0002 board serial)

  ctl(0 --json --index 1 eeprom read 0 3)
  expect_json_equal("${OUT}" 0 board type)
  expect_json_equal("${OUT}" 564252 data)  # "VBR"

  # Board bytes that are not plain text still give valid JSON, and a text
  # column that stays one word.
  ctl(0 --index 1 --yes eeprom write 0 0x51 0x22 0x5C 0x09 0x20 0x20 0x20 0x20)
  ctl(0 list --json)
  expect_json_equal("${OUT}" "Q\"\\\t" boards 1 serial)
  ctl(0 list)
  expect_match("list" "${OUT}" "0x8248   bench:1   Q\"\\\\x5C\\\\x09 +simulated\n")

  # list carries the product id; the board object the serial number; byte
  # strings are hex strings.
  ctl(0 list -j)
  expect_json_equal("${OUT}" 0x8348 boards 0 productId)
  expect_json_equal("${OUT}" 0x8248 boards 1 productId)
  ctl(0 -j -t 1 vcc)
  expect_json_equal("${OUT}" VBRD0001 board serial)
  ctl(0 -j -s VBRD0001 monitor)
  expect_json_equal("${OUT}" VBRD0001 board serial)

  # Failures print the error object on standard output too, with the exit
  # status as its code.
  ctl(1 --json --type 0 vcc)
  expect_json_equal("${OUT}" 1 error code)
  expect_json_equal("${OUT}" "not available: the supply-voltage monitor exists on type-1 boards only; this is the type-0 board at device index 1" error message)
  ctl(2 --json mdio read 0 70000)
  expect_one_line("json usage error" "${OUT}")
  expect_json_equal("${OUT}" 2 error code)
  expect_match("json usage error" "${OUT}" "REG must be in 0-65535")

elseif(CASE STREQUAL "bench_file")
  file(WRITE "${WORK}/bench" "# a lab bench\n1 LAB00001 vcc=5.0 temp0=-3.5 temp1=41.25\n0 LAB00002\n")
  set(ENV{BREVANT_BENCH} "${WORK}/bench")
  ctl(0 --json vcc)
  expect_json_equal("${OUT}" 5 volts)
  ctl(0 --json temp 0)
  expect_json_equal("${OUT}" -3.5 celsius)
  ctl(0 temp 1)
  expect_match("temp 1" "${OUT}" "^41.25 C\n$")
  ctl(0 --serial LAB00001 mdio write 0 1 0x0A0A)
  ctl(0 --serial LAB00002 mdio write 0 1 0x0B0B)
  # Replace the second board: the first keeps its state, the new one starts
  # fresh.
  file(WRITE "${WORK}/bench" "1 LAB00001 vcc=5.0\n0 NEW00003\n")
  ctl(0 --type 1 mdio read 0 1)
  expect_match("kept board" "${OUT}" "^0x0A0A\n$")
  ctl(0 --type 0 mdio read 0 1)
  expect_match("new board" "${OUT}" "^0x0000\n$")
  ctl(0 --type 0 sn get)
  expect_match("new board" "${OUT}" "^NEW00003\n$")

elseif(CASE STREQUAL "serial_selection")
  ctl(0 --serial VBRD0002 ping)
  expect_match("ping by serial" "${OUT}" "VESK CFP2 8248")
  ctl(0 --serial VBRD0001 --json sn get)
  expect_json_equal("${OUT}" 0 board index)
  # A serial number two boards share is ambiguous.
  ctl(0 --index 1 --yes sn set VBRD0001)
  usage_error("several boards have serial number 'VBRD0001'" --serial VBRD0001 ping)

elseif(CASE STREQUAL "persistence")
  ctl(0 --type 0 -y sn set LAB-7)
  expect_match("first run" "${ERR}" "starting fresh boards; their state is kept in ${STATE}")
  ctl(0 --type 1 mdio write 1 0x10 0xBEEF)
  ctl(0 --type 1 port set 3 0x12)
  ctl(0 --type 1 ftdi on)
  ctl(0 --type 1 eeprom write --yes 0x1FFFF 0x5A)
  # Every later run finds what the earlier ones left, and says only that the
  # boards are simulated ones.
  ctl(0 --type 0 sn get)
  expect_match("sn get" "${OUT}" "^LAB-7\n$")
  if(NOT ERR STREQUAL "brevant virtual bench: simulated boards (BREVANT_SIMULATOR is set); no real board is reached\n")
    message(FATAL_ERROR "a run with a good state file printed:\n${ERR}")
  endif()
  ctl(0 --serial LAB-7 ping)
  expect_match("ping by the new serial" "${OUT}" "VESK CFP2 8248")
  ctl(0 --type 1 mdio read 1 0x10)
  expect_match("mdio read" "${OUT}" "^0xBEEF\n$")
  ctl(0 --type 1 port get 3)
  expect_match("port 3 after ftdi on" "${OUT}" "^0x92\n$")
  ctl(0 --type 1 eeprom read 0x1FFFF)
  expect_match("last EEPROM byte" "${OUT}" "^0x1FFFF  5A ")

  # Two programs at once: a long EEPROM load on board 1 (1 ms a report) and,
  # while it runs, a serial number and an EEPROM write on board 0. Each
  # writes only its own board when it ends, so both changes stay.
  file(WRITE "${WORK}/bench" "1 VBRD0001 pace=1\n0 VBRD0002\n")
  set(ENV{BREVANT_BENCH} "${WORK}/bench")
  file(WRITE "${WORK}/part.bin" "")
  foreach(i RANGE 49)
    file(APPEND "${WORK}/part.bin" "0123456789")
  endforeach()
  string(REPLACE ";" " " emulated "${EMULATOR}")
  execute_process(COMMAND sh -c "${emulated} '${CTL}' -i 0 -y eeprom load --offset 0x300 '${WORK}/part.bin' >/dev/null 2>&1 & pid=$!
                                 sleep 0.2
                                 ${emulated} '${CTL}' -i 1 -y sn set TWOPROC >/dev/null && ${emulated} '${CTL}' -i 1 -y eeprom write 0x400 0x42 >/dev/null || exit 9
                                 wait $pid"
                  RESULT_VARIABLE status ERROR_VARIABLE err)
  file(WRITE "${WORK}/bench" "1 VBRD0001\n0 VBRD0002\n")
  ctl(0 -i 1 sn get)
  expect_match("serial set during another program's load" "${OUT}" "^TWOPROC\n$")
  ctl(0 -i 1 -j eeprom read 0x400)
  expect_json_equal("${OUT}" 42 data)
  ctl(0 -i 0 -j eeprom read 0x300 10)
  expect_json_equal("${OUT}" 30313233343536373839 data)
  ctl(0 -i 0 -j eeprom read 0x4F2 2)
  expect_json_equal("${OUT}" 3839 data)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "the two programs: status ${status}\n${err}")
  endif()
  unset(ENV{BREVANT_BENCH})
  # A run that changes nothing writes nothing (a missing file is created
  # once, with the boards as they are).
  file(TIMESTAMP "${STATE}" stamp "%s")
  execute_process(COMMAND sleep 1.1)
  ctl(0 list)
  ctl(0 -i 1 watch --count 1 --interval 0)
  file(TIMESTAMP "${STATE}" after "%s")
  if(NOT stamp STREQUAL after)
    message(FATAL_ERROR "list and watch wrote the state file")
  endif()
  file(REMOVE "${STATE}")
  ctl(0 list)
  expect_match("list, no state file" "${ERR}" "starting fresh boards")
  ctl(0 list)
  if(ERR MATCHES "starting fresh")
    message(FATAL_ERROR "the first run did not create the state file")
  endif()

elseif(CASE STREQUAL "damaged_state")
  file(WRITE "${STATE}" "this is not a state file\n")
  ctl(0 list)
  expect_match("list" "${OUT}" "VBRD0001.*VBRD0002")
  expect_one_line("damaged state message" "${ERR}")
  expect_match("damaged state message" "${ERR}" "state file ${STATE} is damaged.*starting fresh boards; the damaged file is kept as ${STATE}.bad")
  file(READ "${STATE}.bad" bad)
  if(NOT bad STREQUAL "this is not a state file\n")
    message(FATAL_ERROR "the damaged file was not kept: '${bad}'")
  endif()
  # The file was replaced at exit: the next run finds it good.
  ctl(0 -i 0 sn set KEPT --yes)
  ctl(0 -i 1 sn set KEPT1 --yes)
  ctl(0 sn get)
  expect_match("sn get" "${OUT}" "^KEPT\n$")
  file(READ "${STATE}" good)

  # One bad line costs only the board whose lines it is among.
  string(REGEX REPLACE "(board 1 0 VBRD0002\n)" "\\1port zz 12\n" text "${good}")
  file(WRITE "${STATE}" "${text}")
  ctl(0 -i 0 sn get)
  expect_match("sn get, board 0" "${OUT}" "^KEPT\n$")
  # Besides the note that the boards are simulated, one message.
  string(REPLACE "brevant virtual bench: simulated boards (BREVANT_SIMULATOR is set); no real board is reached\n" ""
         message "${ERR}")
  expect_one_line("bad line message" "${message}")
  expect_match("bad line message" "${ERR}" "is damaged \\(line [0-9]+: .*\\); boards with sound lines keep their state, the others start fresh; the damaged file is kept as")
  ctl(0 -i 1 sn get)
  expect_match("sn get, board 1" "${OUT}" "^VBRD0002\n$")

  # A state file cut short loses its last board only.
  ctl(0 -i 1 sn set KEPT1 --yes)
  file(READ "${STATE}" text)
  string(REPLACE "end\n" "" text "${text}")
  file(WRITE "${STATE}" "${text}")
  ctl(0 -i 0 sn get)
  expect_match("sn get" "${OUT}" "^KEPT\n$")
  expect_match("cut state message" "${ERR}" "is damaged \\(the file ends early\\)")
  ctl(0 -i 1 sn get)
  expect_match("sn get" "${OUT}" "^VBRD0002\n$")

  # Only the default folder is made: a state file named in a folder that does
  # not exist is an error, and nothing is written there.
  set(ENV{BREVANT_BENCH_STATE} "${WORK}/no/such/folder/state")
  ctl(0 -i 0 sn get)
  expect_match("missing folder" "${ERR}" "the folder of the state file ${WORK}/no/such/folder/state \\(BREVANT_BENCH_STATE\\) does not exist")
  if(EXISTS "${WORK}/no")
    message(FATAL_ERROR "the folder of BREVANT_BENCH_STATE was created")
  endif()

elseif(CASE STREQUAL "eeprom_image")
  # Copy the type-1 board's whole EEPROM to the type-0 board. Off a terminal
  # nothing but the result line is printed.
  ctl(0 --type 1 -y eeprom write 0x10000 1 2 3)
  ctl(0 --type 1 eeprom save "${WORK}/image.bin")
  expect_match("eeprom save" "${OUT}" "^saved 131072 bytes to ")
  expect_one_line("eeprom save" "${OUT}")
  string(REGEX REPLACE "brevant virtual bench: [^\n]*\n" "" rest "${ERR}")
  if(NOT rest STREQUAL "")
    message(FATAL_ERROR "eeprom save printed on standard error off a terminal:\n${rest}")
  endif()
  file(SIZE "${WORK}/image.bin" size)
  if(NOT size EQUAL 131072)
    message(FATAL_ERROR "the image has ${size} bytes")
  endif()
  ctl(0 --type 0 --yes eeprom load "${WORK}/image.bin")
  expect_match("eeprom load" "${ERR}" "warning: the image's serial number 'VBRD0001' differs from the type-0 board at device index 1's 'VBRD0002'")
  ctl(0 --type 0 sn get)
  expect_match("sn get after load" "${OUT}" "^VBRD0001\n$")
  ctl(0 --type 0 eeprom read 0x10000 3)
  expect_match("loaded bytes" "${OUT}" "^0x10000  01 02 03 ")
  file(WRITE "${WORK}/short.bin" "too short")
  board_failure("eeprom load: '.*short.bin' is not a whole EEPROM image: it has 9 bytes, an image has 131072"
                --type 0 --yes eeprom load "${WORK}/short.bin")

elseif(CASE STREQUAL "files_and_codes")
  # Files that cannot be read or written: exit 1, one plain message naming the
  # file, never a library's internal text.
  board_failure("eeprom load: cannot read '.*missing.bin': No such file or directory"
                --yes eeprom load "${WORK}/missing.bin")
  board_failure("eeprom load: cannot read '${WORK}': Is a directory" --yes eeprom load "${WORK}")
  board_failure("eeprom save: cannot write '${WORK}': it is a directory" eeprom save "${WORK}")
  board_failure("eeprom save: cannot write '${WORK}/no/such/dir/x.bin': cannot create a file in its folder"
                eeprom save "${WORK}/no/such/dir/x.bin")
  # None of those reached a board.
  if(EXISTS "${STATE}")
    message(FATAL_ERROR "a file error set up the bench")
  endif()

  # Output that cannot be written is a failure, not a success.
  execute_process(COMMAND ${EMULATOR} "${CTL}" eeprom read 0 64 INPUT_FILE /dev/null OUTPUT_FILE /dev/full
                  RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL 1 OR NOT err MATCHES "eeprom read: cannot write standard output: No space left on device")
    message(FATAL_ERROR "eeprom read > /dev/full: status ${status}, stderr:\n${err}")
  endif()

  # No board found: list fails, as lsusb -d does.
  file(WRITE "${WORK}/empty-bench" "# no boards\n")
  set(ENV{BREVANT_BENCH} "${WORK}/empty-bench")
  ctl(1 list)
  expect_match("empty list" "${ERR}" "^brevantctl: list: no boards found\n$")
  ctl(1 list --json)
  string(JSON count LENGTH "${OUT}" boards)
  if(NOT count EQUAL 0)
    message(FATAL_ERROR "list --json of an empty bench: ${OUT}")
  endif()
  expect_json_equal("${OUT}" 1 error code)
  # A bench "file" that is a directory says so instead of giving an empty
  # bench in silence.
  set(ENV{BREVANT_BENCH} "${WORK}")
  ctl(1 list)
  expect_match("bench directory" "${ERR}" "cannot read the bench file ${WORK} \\(BREVANT_BENCH\\): Is a directory")

elseif(CASE STREQUAL "eeprom_safety")
  # A save that fails keeps the file that was there and leaves nothing beside.
  file(WRITE "${WORK}/bench" "1 SLOW0001 latency=150\n")
  set(ENV{BREVANT_BENCH} "${WORK}/bench")
  file(MAKE_DIRECTORY "${WORK}/images")
  file(WRITE "${WORK}/images/old.bin" "OLD")
  board_failure("eeprom save: no reply: the type-1 board at device index 0 did not answer the EEPROM read at 0x00000"
                eeprom save "${WORK}/images/old.bin")
  file(READ "${WORK}/images/old.bin" kept)
  file(GLOB left RELATIVE "${WORK}/images" "${WORK}/images/*")
  if(NOT kept STREQUAL "OLD" OR NOT left STREQUAL "old.bin")
    message(FATAL_ERROR "a failed save changed the folder: '${kept}', files ${left}")
  endif()
  unset(ENV{BREVANT_BENCH})

  # Ctrl-C in the middle of a save, once its temporary file is there: the
  # save says so, exits 130 and leaves nothing behind. A board whose reports
  # take 1 ms each makes the save last long enough to interrupt.
  file(WRITE "${WORK}/bench" "1 SLOW0001 pace=1\n0 SLOW0002 pace=1\n")
  set(ENV{BREVANT_BENCH} "${WORK}/bench")
  interrupt_when("${WORK}/images/*.part*" eeprom save "${WORK}/images/new.bin")
  file(GLOB left RELATIVE "${WORK}/images" "${WORK}/images/*")
  if(NOT INTERRUPTED_STATUS EQUAL 130 OR NOT left STREQUAL "old.bin"
     OR NOT INTERRUPTED_ERR MATCHES "eeprom save: interrupted after reading [0-9]+ of 131072 bytes from 0x00000; '[^']*new.bin' was left as it was\n$")
    message(FATAL_ERROR "interrupted save: status ${INTERRUPTED_STATUS}, left ${left}\n${INTERRUPTED_ERR}")
  endif()
  # An interrupted load (here by SIGTERM) finishes the byte in flight and
  # says which bytes are new and which still old.
  set(INTERRUPT_SIGNAL TERM)
  file(WRITE "${WORK}/zeros.bin" "")
  foreach(i RANGE 255)
    file(APPEND "${WORK}/zeros.bin" "0123456789abcdef")
  endforeach()
  interrupt_when("" -i 1 -y eeprom load --offset 0x1000 "${WORK}/zeros.bin")
  unset(INTERRUPT_SIGNAL)
  if(NOT INTERRUPTED_STATUS EQUAL 130 OR NOT INTERRUPTED_ERR MATCHES
     "eeprom load: interrupted: wrote ([0-9]+) of 4096 bytes, 0x01000-0x0[0-9A-F]+; 0x0[0-9A-F]+-0x01FFF still hold their old bytes\n$")
    message(FATAL_ERROR "interrupted load: status ${INTERRUPTED_STATUS}\n${INTERRUPTED_ERR}")
  endif()
  # The last byte it names holds the image's byte, the next one is still
  # the blank EEPROM's 0xFF.
  set(written "${CMAKE_MATCH_1}")
  math(EXPR last "0x1000 + ${written} - 1")
  math(EXPR digit "(${written} - 1) % 16")
  string(SUBSTRING "0123456789abcdef" ${digit} 1 char)
  string(HEX "${char}" byte)
  file(WRITE "${WORK}/bench" "1 SLOW0001\n0 SLOW0002\n")
  ctl(0 -i 1 -j eeprom read ${last} 2)
  expect_json_equal("${OUT}" "${byte}ff" data)
  unset(ENV{BREVANT_BENCH})

  # A write-protected file is refused, as cp does, unless --force.
  file(WRITE "${WORK}/images/locked.bin" "OLD")
  file(CHMOD "${WORK}/images/locked.bin" PERMISSIONS OWNER_READ GROUP_READ WORLD_READ)
  board_failure("eeprom save: cannot write '[^']*locked.bin': it is write-protected \\(--force replaces it\\)"
                eeprom save --length 4 "${WORK}/images/locked.bin")
  file(READ "${WORK}/images/locked.bin" kept)
  ctl(0 eeprom save --force --length 4 "${WORK}/images/locked.bin")
  file(READ "${WORK}/images/locked.bin" replaced)
  if(NOT kept STREQUAL "OLD" OR NOT replaced STREQUAL "VBRD")
    message(FATAL_ERROR "write-protected file: kept '${kept}', then '${replaced}'")
  endif()
  file(REMOVE "${WORK}/images/locked.bin")

  # EEPROM writes that do not stick: --verify names the first address that
  # differs, and sn set reads the serial number back.
  file(WRITE "${WORK}/bench" "1 WORN0001 stuck-eeprom=0x502,0x3-0x4\n")
  set(ENV{BREVANT_BENCH} "${WORK}/bench")
  file(WRITE "${WORK}/four.bin" "wxyz")
  ctl(0 -y eeprom load --offset 0x500 "${WORK}/four.bin")
  board_failure("eeprom load: verify failed: the type-1 board at device index 0 holds 0xFF at 0x00502 where 0x79 was written"
                -y eeprom load --offset 0x500 --verify "${WORK}/four.bin")
  board_failure("sn set: not kept: the type-1 board at device index 0 holds 'LABN0' after 'LAB-7' was written"
                -y sn set LAB-7)
  unset(ENV{BREVANT_BENCH})

  # A save to a symbolic link writes the file it points to; the link stays.
  file(MAKE_DIRECTORY "${WORK}/kept")
  file(WRITE "${WORK}/kept/board.bin" "OLD")
  file(CREATE_LINK "../kept/board.bin" "${WORK}/images/link.bin" SYMBOLIC)
  ctl(0 eeprom save --length 4 "${WORK}/images/link.bin")
  file(READ "${WORK}/kept/board.bin" through)
  if(NOT IS_SYMLINK "${WORK}/images/link.bin" OR NOT through STREQUAL "VBRD")
    message(FATAL_ERROR "save through a link: the target holds '${through}'")
  endif()
  file(GLOB left RELATIVE "${WORK}/kept" "${WORK}/kept/*")
  if(NOT left STREQUAL "board.bin")
    message(FATAL_ERROR "save through a link left ${left}")
  endif()
  file(REMOVE "${WORK}/images/link.bin")

  # Ranges and standard output.
  ctl(0 -y eeprom write 0x100 0x41 0x42 0x43 0x44)
  ctl(0 eeprom save --offset 0x101 --length 2 "${WORK}/images/old.bin")
  expect_match("partial save" "${OUT}" "^saved 2 bytes from 0x00101 to ")
  file(READ "${WORK}/images/old.bin" part)
  if(NOT part STREQUAL "BC")
    message(FATAL_ERROR "partial save wrote '${part}'")
  endif()
  execute_process(COMMAND ${EMULATOR} "${CTL}" eeprom save --length 8 - INPUT_FILE /dev/null OUTPUT_FILE "${WORK}/stdout.bin"
                  RESULT_VARIABLE status)
  file(READ "${WORK}/stdout.bin" head)
  if(NOT status EQUAL 0 OR NOT head STREQUAL "VBRD0001")
    message(FATAL_ERROR "eeprom save - : status ${status}, '${head}'")
  endif()
  usage_error("--length from 0x1FFFE must be in 1-2 " eeprom save --offset 0x1FFFE --length 3 x.bin)

  # A part of an image goes where --offset says, from a file or from standard
  # input, and --verify reads it back.
  file(WRITE "${WORK}/part.bin" "wxyz")
  ctl(0 -y eeprom load --offset 0x200 --verify "${WORK}/part.bin")
  expect_match("load part" "${OUT}" "^loaded 4 bytes from .*part.bin at 0x00200, verified\n$")
  ctl(0 -y eeprom load --offset 0x300 --length 2 "${WORK}/part.bin")
  execute_process(COMMAND ${EMULATOR} "${CTL}" -y eeprom load --offset 0x302 - INPUT_FILE "${WORK}/part.bin"
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status EQUAL 0)
    message(FATAL_ERROR "eeprom load - : ${status} ${err}")
  endif()
  ctl(0 eeprom read 0x200 4)
  expect_match("loaded part" "${OUT}" "^0x00200  77 78 79 7A ")
  ctl(0 --json eeprom read 0x300 6)
  expect_json_equal("${OUT}" 77787778797a data)
  # From standard input there is no one to ask.
  execute_process(COMMAND ${EMULATOR} "${CTL}" eeprom load --offset 0x400 - INPUT_FILE "${WORK}/part.bin"
                  RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL 2 OR NOT err MATCHES "standard input carries the data")
    message(FATAL_ERROR "eeprom load - without --yes: ${status} ${err}")
  endif()
  board_failure("has 4 bytes, fewer than --length 5" -y eeprom load --offset 0 --length 5 "${WORK}/part.bin")
  board_failure("more than fit from 0x1FFFE" -y eeprom load --offset 0x1FFFE "${WORK}/part.bin")

  # On a terminal a progress bar shows the bytes done, the rate and the time
  # left, and is cleared at the end.
  find_program(SCRIPT script)
  if(SCRIPT)
    string(REPLACE ";" " " emulated "${EMULATOR}")
    execute_process(COMMAND "${SCRIPT}" -qec "${emulated} ${CTL} eeprom save ${WORK}/images/tty.bin" /dev/null
                    INPUT_FILE /dev/null RESULT_VARIABLE status OUTPUT_VARIABLE out)
    if(NOT status EQUAL 0 OR NOT out MATCHES "eeprom save \\[#+\\] 100% 131072/131072  [0-9.]+ [kM]?B/s  0 s left"
       OR NOT out MATCHES "saved 131072 bytes to ")
      message(FATAL_ERROR "progress bar on a terminal: status ${status}\n${out}")
    endif()
  endif()

  # Repeated rows collapse to "*" as in hexdump -C; the end address follows.
  ctl(0 eeprom read 0x1000 64)
  if(NOT OUT MATCHES "^0x01000  FF FF[^\n]*\n\\*\n0x01040\n$")
    message(FATAL_ERROR "squeezed dump:\n${OUT}")
  endif()

elseif(CASE STREQUAL "confirmations")
  # Without a terminal and without --yes, changes are refused before the
  # board is touched.
  usage_error("not a terminal to confirm on; add --yes" eeprom write 0 0x41)
  usage_error("add --yes" sn set NEW1)
  usage_error("add --yes" sn clear)
  usage_error("add --yes" reset --boot)
  file(WRITE "${WORK}/image.bin" "")
  if(EXISTS "${STATE}")
    message(FATAL_ERROR "a refused change set up the bench")
  endif()
  ctl(0 reset)  # a plain reset asks nothing

  # On a terminal the question names the board; only yes goes ahead.
  find_program(SCRIPT script)
  string(REPLACE ";" " " emulated "${EMULATOR}")
  if(SCRIPT)
    foreach(answer n y)
      file(WRITE "${WORK}/answer" "${answer}\n")
      execute_process(COMMAND "${SCRIPT}" -qec "${emulated} ${CTL} -t 0 sn set ASKED1" /dev/null
                      INPUT_FILE "${WORK}/answer" RESULT_VARIABLE status OUTPUT_VARIABLE out)
      expect_match("question" "${out}" "Change the serial number of the type-0 board VBRD0002 at device index 1 from 'VBRD0002' to 'ASKED1'\\? \\[y/N\\]")
      ctl(0 -t 0 sn get)
      if(answer STREQUAL "n")
        if(NOT status EQUAL 1 OR NOT out MATCHES "not confirmed: nothing was changed" OR NOT OUT STREQUAL "VBRD0002\n")
          message(FATAL_ERROR "answer no: status ${status}, serial ${OUT}\n${out}")
        endif()
      elseif(NOT status EQUAL 0 OR NOT OUT STREQUAL "ASKED1\n")
        message(FATAL_ERROR "answer yes: status ${status}, serial ${OUT}\n${out}")
      endif()
    endforeach()
    # End of input at the question (Ctrl-D) refuses, and the message
    # starts its own line rather than running on after the question.
    file(WRITE "${WORK}/answer" "")
    execute_process(COMMAND "${SCRIPT}" -qec "${emulated} ${CTL} -t 0 reset --boot" /dev/null
                    INPUT_FILE "${WORK}/answer" RESULT_VARIABLE status OUTPUT_VARIABLE out)
    if(NOT status EQUAL 1 OR NOT out MATCHES "\\[y/N\\] [^\n]*\n+brevantctl: reset: not confirmed")
      message(FATAL_ERROR "end of input at the question: status ${status}\n${out}")
    endif()
  endif()

elseif(CASE STREQUAL "serial_rules")
  execute_process(COMMAND ${EMULATOR} "${CTL}" -y sn set "" INPUT_FILE /dev/null RESULT_VARIABLE status ERROR_VARIABLE err)
  if(NOT status EQUAL 2 OR NOT err MATCHES "TEXT must not be empty \\(sn clear blanks")
    message(FATAL_ERROR "sn set '': ${status} ${err}")
  endif()
  usage_error("TEXT must be printable ASCII characters without spaces, got 'A\\\\x20B'" -y sn set "A B")
  usage_error("without spaces, got 'A\\\\x09B'" -y sn set "A\tB")
  usage_error("without spaces, got '\\\\xC3\\\\xA9'" -y sn set "é")
  usage_error("TEXT must be 1 to 8 characters, got 9" -y sn set "ABCDEFGHI")
  usage_error("--serial must be 1 to 8 characters" --serial ABCDEFGHI ping)
  usage_error("--index must be in 0-126" --index 127 ping)
  ctl(0 -y -t 0 sn set "~!#%&*+=")
  ctl(0 -t 0 sn get)
  expect_match("8 symbols" "${OUT}" "^~!#%&\\*\\+=\n$")
  ctl(0 -y -t 0 sn clear)
  ctl(0 list)
  expect_match("blank serial" "${OUT}" "0x8248   bench:1   \\(blank\\) +simulated\n")
  ctl(0 -t 0 --json sn get)
  expect_json_equal("${OUT}" "" serial)

elseif(CASE STREQUAL "monitoring")
  ctl(0 -t 1 status --sensors 0,1)
  expect_match("status" "${OUT}" "board +type-1 board VBRD0001 at device index 0 \\(product 0x8348\\)\n")
  expect_match("status" "${OUT}" "supply voltage +3.3125 V\ntemperature 0 +25.25 C\ntemperature 1 +[-0-9.]+ C\n")
  expect_match("status" "${OUT}" "current monitor +0x0123 \\(291\\)\nport 3 +0x00\nFTDI supply +off\n$")
  ctl(0 -t 1 -y ftdi on)
  ctl(0 -t 1 -j status)
  expect_json_equal("${OUT}" 3.3125 readings vcc value)
  expect_json_equal("${OUT}" V readings vcc unit)
  expect_json_equal("${OUT}" 128 readings port3 value)
  expect_json_equal("${OUT}" ON readings ftdi_supply value)
  # A type-0 board has no supply or temperature monitor: shown, not failed.
  ctl(0 -t 0 status)
  expect_match("type-0 status" "${OUT}" "supply voltage +not available \\(type-1 boards only\\)")
  ctl(0 -t 0 -j status)
  expect_json_equal("${OUT}" unavailable readings temp0 status)
  usage_error("--sensors item must be in 0-255" status --sensors 0,256)

  ctl(0 -t 1 watch --csv --count 3 --interval 0 --sensors 0,1)
  string(REGEX MATCHALL "[^\n]+" rows "${OUT}")
  list(LENGTH rows count)
  list(GET rows 0 header)
  list(GET rows 1 first)
  if(NOT count EQUAL 4 OR NOT header STREQUAL "time,vcc_V,temp0_C,temp1_C,current_monitor,port3,ftdi_supply"
     OR NOT first MATCHES "^[0-9][0-9][0-9][0-9]-[0-9][0-9]-[0-9][0-9]T[0-9][0-9]:[0-9][0-9]:[0-9][0-9]\\.[0-9][0-9][0-9]Z,3.3125,25.25,[-0-9.]+,291,128,1$")
    message(FATAL_ERROR "watch --csv:\n${OUT}")
  endif()
  ctl(0 -t 0 watch --count 1 --interval 0)
  expect_match("type-0 watch" "${OUT}" "^date and time \\(UTC\\) +current_monitor +port3\n20[0-9][0-9]-[0-9][0-9]-[0-9][0-9] [0-9:.]+ +0x0123 \\(291\\) +0x00\n$")
  # --all: every board, one row each with its index and serial number; the
  # columns of both types.
  ctl(0 watch --all --csv --count 2 --interval 0)
  expect_match("watch --all" "${OUT}" "^time,index,serial,vcc_V,temp0_C,current_monitor,port3,ftdi_supply\n[^,]+,0,VBRD0001,3.3125,25.25,291,128,1\n[^,]+,1,VBRD0002,,,291,0,\n[^,]+,0,VBRD0001,[^\n]+\n[^,]+,1,VBRD0002,[^\n]+\n$")
  usage_error("--all watches every board; drop --index" watch --all --index 1)
  # --summary: min, max and mean of each column at the end, beneath the
  # table, or on standard error beside CSV, or as a last JSON line.
  ctl(0 -t 1 watch --count 3 --interval 0 --summary)
  expect_match("watch --summary" "${OUT}" "\n\nsummary of 3 samples\ncolumn +min +max +mean +samples\nvcc_V +3.3125 +3.3125 +3.31250 +3\ntemp0_C +25.25 +25.25 +25.250 +3\ncurrent_monitor +291 +291 +291 +3\n")
  ctl(0 -t 1 watch --csv --count 2 --interval 0 --summary)
  expect_match("watch --csv --summary" "${ERR}" "summary of 2 samples\n")
  expect_lines("watch --csv --summary" "${OUT}" 3)
  ctl(0 -j watch --all --count 2 --interval 0 --summary)
  string(REGEX MATCH "[^\n]+\n$" last "${OUT}")
  expect_json_equal("${last}" 2 summary rounds)
  expect_json_equal("${last}" VBRD0002 summary boards 1 board serial)
  expect_json_equal("${last}" 291 summary boards 1 columns current_monitor max)
  ctl(0 -t 1 -j watch -n 2 --interval 0)
  string(REGEX MATCHALL "[^\n]+" rows "${OUT}")
  list(GET rows 1 second)
  expect_json_equal("${second}" 291 readings current_monitor value)
  ctl(2 -j watch --csv)
  expect_json_equal("${OUT}" "--csv and --json are two output formats; choose one" error message)
  usage_error("--interval must be 0 to 86400 seconds" watch --interval 1s)
  usage_error("--count must be in 1-" watch --count 0)

  # Ctrl-C ends a watch that has no count, with status 0.
  find_program(TIMEOUT timeout)
  if(TIMEOUT)
    execute_process(COMMAND "${TIMEOUT}" --preserve-status -s INT 2 ${EMULATOR} "${CTL}" watch --interval 0.2 --summary
                    RESULT_VARIABLE status OUTPUT_VARIABLE out)
    if(NOT status EQUAL 0 OR NOT out MATCHES "^date and time[^\n]*\n[^\n]+\n.*\nsummary of [0-9]+ samples\n")
      message(FATAL_ERROR "watch after Ctrl-C: status ${status}\n${out}")
    endif()
  endif()

  # Readings that come back short leave empty cells; the watch goes on.
  file(WRITE "${WORK}/bench" "1 SHRT0001 reply-bytes=1\n")
  set(ENV{BREVANT_BENCH} "${WORK}/bench")
  # When no sample was taken whole, the watch fails.
  ctl(1 watch --csv --count 2 --interval 0)
  expect_match("watch without a whole sample" "${ERR}" "watch: no sample of the type-1 board at device index 0 was taken whole: every one of the 2 had a failed reading\n$")
  if(NOT OUT MATCHES "^time,vcc_V,temp0_C,current_monitor,port3,ftdi_supply\n[^,\n]+,,,,,\n[^,\n]+,,,,,\n$")
    message(FATAL_ERROR "watch of a board with short replies:\n${OUT}")
  endif()
  expect_match("watch failures" "${ERR}" "brevantctl: watch: [^ ]+ supply voltage: short reply")
  # status shows every reading and fails with the count.
  ctl(1 status)
  expect_match("failed status" "${OUT}" "supply voltage +failed: short reply\n")
  expect_match("failed status" "${ERR}" "status: 5 readings of the type-1 board at device index 0 failed \\(supply voltage: short reply, ...\\)")
  ctl(1 -j status)
  expect_json_equal("${OUT}" failed readings vcc status)
  expect_json_equal("${OUT}" 1 error code)
  # A board whose every reply comes late: every reading fails (none takes
  # another query's late reply as its own), and the watch goes on.
  file(WRITE "${WORK}/bench" "1 SLOW0001 latency=150\n")
  ctl(1 watch --csv --count 3 --interval 0)
  if(NOT OUT MATCHES "^time,vcc_V,temp0_C,current_monitor,port3,ftdi_supply\n[^,\n]+,,,,,\n[^,\n]+,,,,,\n[^,\n]+,,,,,\n$")
    message(FATAL_ERROR "watch of a slow board:\n${OUT}")
  endif()
  expect_match("watch of a slow board" "${ERR}" "watch: [^ ]+ supply voltage: no reply; 4 more failed\n.*watch: [^ ]+ supply voltage: no reply; 4 more failed\n")

elseif(CASE STREQUAL "conveniences")
  ctl(0 --version)
  expect_match("--version" "${OUT}" "^brevantctl [0-9]+\\.[0-9]+\\.[0-9]+\nlibrary [0-9]+\\.[0-9]+\\.[0-9]+ \\(.*libbrevant")
  ctl(0 -jt1 vcc)
  expect_json_equal("${OUT}" 3.3125 volts)
  ctl(0 -i 1 -j sn get)
  expect_json_equal("${OUT}" 0 board type)
  usage_error("unknown command 'stauts'; did you mean 'status'\\?" stauts)
  usage_error("mdio: unknown command 'reed'; mdio has read, write, dump; did you mean 'mdio read'\\?" mdio reed 1 2)
  usage_error("unknown option '--jsno'; did you mean '--json'\\?" --jsno list)
  # Two letters swapped is one slip, also in short words.
  usage_error("unknown command 'pnig'; did you mean 'ping'\\?" pnig)
  usage_error("unknown command 'lsit'; did you mean 'list'\\?" lsit)
  usage_error("--verify does not apply to eeprom save" eeprom save --verify x.bin)
  # In the command list the summaries stay in one column, also after a
  # synopsis too long for it.
  ctl(0 --help)
  expect_match("--help" "${OUT}" "\n  watch [^\n]*--csv\\][^\n]*\n                                 the readings")
  expect_match("--help" "${OUT}" "\n  eeprom load [^\n]*FILE\n                                 writes an EEPROM image")
  expect_match("--help" "${OUT}" "\n  vcc                            reads the supply voltage")
  ctl(0 list --help)
  foreach(column INDEX TYPE PRODUCT SERIAL)
    expect_match("list --help" "${OUT}" "${column} ")
  endforeach()

  # The man page and the completion script come from the command table.
  ctl(0 --generate-man)
  expect_match("man page" "${OUT}" "^\\.TH BREVANTCTL 1")
  foreach(section "ENVIRONMENT\n.*BREVANT_SIMULATOR.*BREVANT_LIBRARY.*BREVANT_BENCH.*BREVANT_BENCH_STATE"
                  "EXIT STATUS\n.*\n130\n" "FILES\n.*bench-state.*60-brevant.rules" "SEE ALSO\n")
    expect_match("man page" "${OUT}" "\\.SH ${section}")
  endforeach()
  foreach(command "eeprom load" status watch "sn clear" "mdio dump")
    string(REPLACE " " ".*" pattern "${command}")
    expect_match("man page" "${OUT}" "\\.TP\n\\\\fB${pattern}\\\\fR")
  endforeach()
  ctl(0 --generate-bash-completion)
  file(WRITE "${WORK}/completion.bash" "${OUT}")
  find_program(BASH bash)
  if(BASH)
    # Completes the words typed so far and prints what it offers.
    file(WRITE "${WORK}/complete.sh" [=[
source "$1"; shift
args=("$@"); [[ ${args[-1]} == EMPTY ]] && args[-1]=""
COMP_WORDS=(brevantctl "${args[@]}"); COMP_CWORD=$(( ${#COMP_WORDS[@]} - 1 ))
_brevantctl; echo "${COMPREPLY[*]}"
]=])
    foreach(probe "sta|status" "eeprom l|load" "-t 1 mdio r|read" "eeprom load --veri|--verify" "list --type a|any"
                  "--type |0 1" "ping --type |0 1" "-t a|" "list -t |0 1 any"
                  "watch --c|--count --csv")
      string(REPLACE "|" ";" parts "${probe}")
      list(GET parts 0 typed)
      list(GET parts 1 expected)
      separate_arguments(words UNIX_COMMAND "${typed}")
      if(typed MATCHES " $")
        list(APPEND words EMPTY)  # completing an empty word
      endif()
      execute_process(COMMAND "${BASH}" "${WORK}/complete.sh" "${WORK}/completion.bash" ${words}
                      OUTPUT_VARIABLE offered RESULT_VARIABLE status)
      if(NOT status EQUAL 0 OR NOT offered STREQUAL "${expected}\n")
        message(FATAL_ERROR "completion of '${typed}': offered '${offered}', expected '${expected}'")
      endif()
    endforeach()
  endif()

else()
  message(FATAL_ERROR "unknown case '${CASE}'")
endif()
