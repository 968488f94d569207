# brevantctl module info / monitor / status / dump as users see them, run as a process
# against the default virtual bench (whose boards carry a made-up
# 100GBASE-SR4 CFP2 module on MDIO port 1) and against bench files.
#
#   cmake -DCTL=<brevantctl> -DCASE=<name> -DWORK=<empty directory> [-DEMULATOR=<program>] -P module_cases.cmake
#
# EMULATOR (a cross build's emulator, with its arguments) starts brevantctl.
cmake_minimum_required(VERSION 3.25)

include(${CMAKE_CURRENT_LIST_DIR}/cases_common.cmake)

# ctl(<exit status> args...): runs brevantctl; OUT and ERR hold its output,
# ERR without the bench's own notes (BENCH_NOTES has them).
function(ctl expected)
  execute_process(COMMAND ${EMULATOR} "${CTL}" ${ARGN} RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status STREQUAL "${expected}")
    message(FATAL_ERROR "brevantctl ${ARGN}: exit status ${status}, expected ${expected}\n"
                        "stdout:\n${out}\nstderr:\n${err}")
  endif()
  set(BENCH_NOTES "${err}" PARENT_SCOPE)
  string(REGEX REPLACE "brevant virtual bench: [^\n]*\n" "" err "${err}")
  set(OUT "${out}" PARENT_SCOPE)
  set(ERR "${err}" PARENT_SCOPE)
endfunction()

# A failure (exit 1) with one line naming it on standard error and, under
# --json, the error object on standard output.
function(module_failure regex)
  ctl(1 ${ARGN})
  expect_lines("brevantctl ${ARGN}" "${ERR}" 1)
  expect_match("brevantctl ${ARGN}" "${ERR}" "^brevantctl: module [a-z]+: ${regex}")
  ctl(1 --json ${ARGN})
  expect_json_equal("${OUT}" 1 error code)
  string(JSON message GET "${OUT}" error message)
  expect_match("brevantctl --json ${ARGN}" "${message}" "^${regex}")
endfunction()

# The JSON member is null (string(JSON GET) reads null and "" alike).
function(expect_json_null json)
  string(JSON type ERROR_VARIABLE error TYPE "${json}" ${ARGN})
  if(error OR NOT type STREQUAL "NULL")
    message(FATAL_ERROR "JSON ${ARGN}: expected null, got ${type} ${error} in:\n${json}")
  endif()
endfunction()

function(usage_error regex)
  ctl(2 ${ARGN})
  expect_match("brevantctl ${ARGN}" "${ERR}" "^brevantctl: .*${regex}")
  set(BENCH_NOTES "${BENCH_NOTES}" PARENT_SCOPE)
endfunction()

if(CASE STREQUAL "module_default_bench")
  ctl(0 module info)
  expect_match("module info" "${OUT}" "^Identifier +: 0x11 \\(CFP2\\)\nConnector +: 0x09 \\(MPO\\)\n")
  expect_match("module info" "${OUT}" "\nApplication +: 0x04 \\(100GBASE-SR4\\)\nLanes +: 4\n")
  expect_match("module info" "${OUT}" "\nVendor name +: VIRTUAL OPTICS\n.*\nHardware revision +: 1.0\n")
  expect_match("module info" "${OUT}" "\nSONET/SDH application code +: 0x00 \\(undefined\\)\nOTN application code +: 0x00 \\(undefined\\)\n"
                                     "Lane counts +: 4 network, 4 host\nMaximum network lane rate +: 25.8 Gb/s\n")
  expect_match("module info" "${OUT}" "\nVendor OUI +: 02-56-4F\n.*\nDate code +: 20241203\n")
  expect_match("module info" "${OUT}" "\nModule hardware version +: 1.2\nModule firmware version +: 3.7\n$")
  expect_lines("module info" "${OUT}" 18)
  if(NOT ERR STREQUAL "")
    message(FATAL_ERROR "module info off a terminal printed on standard error:\n${ERR}")
  endif()

  ctl(0 --json module info)
  expect_json_equal("${OUT}" CFP2 identifier name)
  expect_json_equal("${OUT}" 4 laneCount)
  expect_match("module info --json" "${OUT}" "\"managementRevision\":2.2,")
  expect_json_equal("${OUT}" 4 laneCounts network)
  expect_json_null("${OUT}" sonetApplicationCode)
  expect_match("module info --json" "${OUT}" "\"maxNetworkLaneRate\":25.8,\"maxHostLaneRate\":25.8,")
  expect_json_equal("${OUT}" 02-56-4F vendorOui)
  expect_json_equal("${OUT}" 3.7 firmwareVersion)

  ctl(0 module monitor)
  expect_match("module monitor" "${OUT}" "^Module state +: 0x0020 \\(Ready\\)\nModule temperature +: 4[01]\\.[0-9][0-9] C\nSupply voltage +: 3\\.29[0-9][0-9] V\n")
  expect_match("module monitor" "${OUT}"
               "\n   3  7\\.[0-9][0-9][0-9] mA +0\\.[0-9]+ mW \\(-[0-9.]+ dBm\\) +0\\.[0-9]+ mW \\(-[0-9.]+ dBm\\)\n$")
  expect_lines("module monitor" "${OUT}" 8)
  ctl(0 --json --type 0 module monitor)
  string(JSON lanes LENGTH "${OUT}" lanes)
  if(NOT lanes EQUAL 4)
    message(FATAL_ERROR "module monitor --json: expected 4 lanes in ${OUT}")
  endif()
  expect_json_equal("${OUT}" Ready state name)

  # The module state and the alarm and status registers of its four lanes,
  # raw: a Ready module without alarms.
  ctl(0 module status)
  expect_match("module status" "${OUT}" "^Module state +: 0x0020 \\(Ready\\)\nRegister +Name +Word \\(bits not decoded\\)\n"
                                       "0xA018 +global alarm summary +0x0000\n")
  expect_match("module status" "${OUT}" "\n0xA213 +lane 3 fault and status +0x0000\nall 13 registers read 0\n$")
  expect_lines("module status" "${OUT}" 16)
  ctl(0 --json module status --lanes 1)
  expect_json_equal("${OUT}" 32 state code)
  expect_json_equal("${OUT}" ON state answered)
  expect_json_equal("${OUT}" 0 nonZero)
  expect_json_equal("${OUT}" "lane 0 fault and status" registers 6 name)
  expect_json_equal("${OUT}" 0 registers 6 lane)
  string(JSON count LENGTH "${OUT}" registers)
  if(NOT count EQUAL 7)
    message(FATAL_ERROR "module status --lanes 1: expected 7 registers in ${OUT}")
  endif()

  # The raw ID table, eight words a row, and a range of it.
  ctl(0 module dump)
  expect_lines("module dump" "${OUT}" 16)
  expect_match("module dump" "${OUT}" "^0x8000  0011 0000 0009 0004 0000 0000 0000 0000  \\.\\.\\.\\.\\.\\.\\.\\.\n")
  expect_match("module dump" "${OUT}" "\n0x8020  0000 0056 0049 0052 0054 0055 0041 004C  \\.VIRTUAL\n")
  ctl(0 --json module dump 0x8002 0x8003)
  expect_json_equal("${OUT}" 4 words 1)

  # watch --module logs the monitors as columns, one row per sample.
  ctl(0 --type 1 watch --module --csv --count 2 --interval 0)
  expect_match("watch --module" "${OUT}" "^time,vcc_V,.*,module_state,module_temperature_C,module_supplyVoltage_V,module_lane0_laserBias_mA,")
  expect_match("watch --module" "${OUT}" ",module_lane3_rxPower_mW,module_lane3_rxPower_dBm\n[^\n]+,Ready,41\.[0-9]+,3\.29[0-9]*,6\.8[0-9]*,[^\n]+\n[^\n]+\n$")
  ctl(0 --type 1 --json status --module)
  expect_json_equal("${OUT}" Ready readings module_state value)

  # status shows a power in mW and dBm on one line; the text watch puts the
  # lanes on rows of their own, and CSV rounds every cell to its unit's
  # decimals.
  ctl(0 --type 1 status --module)
  expect_match("status --module" "${OUT}" "\nlane 0 Tx power +0\\.8[0-9][0-9][0-9] mW \\(-0\\.[0-9][0-9] dBm\\)\n")
  ctl(0 --type 1 watch --module --count 1 --interval 0)
  expect_match("watch --module" "${OUT}" "^date and time \\(UTC\\) [^\n]*module_supplyVoltage_V\n +lane  laserBias_mA  txPower_mW  txPower_dBm  rxPower_mW  rxPower_dBm\n[^\n]+\n +0  6\\.[0-9][0-9][0-9] +0\\.[0-9][0-9][0-9][0-9] +-0\\.[0-9][0-9] +")
  expect_lines("watch --module" "${OUT}" 7)
  ctl(0 --type 1 watch --module --csv --count 1 --interval 0)
  expect_match("watch --module --csv" "${OUT}" "\n[^,]+,3\\.3125,25\\.25,291,[0-9]+,[01],Ready,41\\.[0-9][0-9],3\\.[0-9][0-9][0-9][0-9],6\\.[0-9][0-9][0-9],0\\.[0-9][0-9][0-9][0-9],-0\\.[0-9][0-9],")

  # With the module's power off its monitors read 0, which are no readings:
  # it says the module is not powered and shows none of them. Its state
  # register does not answer either: that is its state, not a failure.
  ctl(0 --type 1 -y power 0)
  ctl(0 --type 1 watch --module --csv --count 1 --interval 0)
  expect_match("watch --module, power off" "${OUT}" "module_lane3_rxPower_dBm\n[^\n]+,3\\.3125,[^\n]*,0,0,no answer,,,,,,,,,,,,,,,,,,,,,,\n$")
  ctl(0 --type 1 -j status --module)
  expect_json_equal("${OUT}" unavailable readings module_temperature_C status)
  expect_json_equal("${OUT}" "module not powered: supply voltage reads 0 V" readings module_lane0_rxPower_mW reason)
  expect_json_equal("${OUT}" "no answer" readings module_state value)
  ctl(1 module monitor)
  expect_match("monitor, power off" "${OUT}" "^Module state +: 0x0000 \\(no answer\\)\nModule power +: off \\(supply voltage reads 0 V\\)\nModule temperature +: not available\n$")
  expect_match("monitor, power off" "${ERR}" "module monitor: not powered: the module on MDIO port 1 reads a supply voltage of 0 V")
  ctl(1 --json module monitor)
  expect_json_equal("${OUT}" OFF powered)
  expect_json_equal("${OUT}" OFF state answered)
  ctl(0 module status)
  expect_match("status, power off" "${OUT}" "^Module state +: 0x0000 \\(no answer\\)\nAlarm and status registers +: not read: the module does not answer its state register")
  expect_lines("status, power off" "${OUT}" 2)
  ctl(0 --json module status)
  expect_json_equal("${OUT}" OFF state answered)
  expect_json_null("${OUT}" registers)
  ctl(0 --type 1 -y power 1)

  # Registers written to the module are kept from run to run; an unknown
  # application code leaves the lane count to --lanes; an identifier that is
  # no CFP code is no module.
  ctl(0 mdio write 1 0x8003 0x0042)
  ctl(0 module info)
  expect_match("unknown application" "${OUT}" "\nApplication +: 0x42 \\(unknown\\)\nLanes +: unknown")
  ctl(0 module monitor)
  expect_match("unknown application" "${OUT}" "\nLanes +: not shown: application code 0x42 is unknown; name the lane count with --lanes N\n$")
  ctl(0 module status)
  expect_match("unknown application" "${OUT}" "\n0xA020 +module alarms and warnings 2 +0x0000\nLanes +: not shown: application code 0x42 is unknown")
  ctl(0 module status --lanes 2)
  expect_match("status --lanes 2" "${OUT}" "\n0xA211 +lane 1 fault and status +0x0000\nall 9 registers read 0\n$")
  # The module's own lane count, where it differs from the application
  # code's, shows beside it.
  ctl(0 mdio write 1 0x8003 0x0004)
  ctl(0 mdio write 1 0x8009 0x00A4)
  ctl(0 module info)
  expect_match("lane counts differ" "${OUT}" "\nLanes +: 4 by the application code, 10 by the module's lane counts\n.*\nLane counts +: 10 network, 4 host\n")
  ctl(0 mdio write 1 0x8003 0x0042)
  ctl(0 module monitor --lanes 6)
  expect_lines("monitor --lanes 6" "${OUT}" 10)
  expect_match("monitor --lanes 6" "${OUT}" "\n   5  0\\.000 mA +0\\.0000 mW \\(no light\\)")
  ctl(0 mdio write 1 0x8000 0x0003)
  module_failure("no CFP module on MDIO port 1: the module identifier \\(register 0x8000\\) reads 0x0003, not a CFP code"
                 module info)
  module_failure("no CFP module on MDIO port 1" module monitor)
  module_failure("no CFP module on MDIO port 1" module status)

  usage_error("--lanes must be in 1-16" module monitor --lanes 0)
  usage_error("--lanes does not apply to module info" module info --lanes 4)
  usage_error("--lanes must be in 1-16" module status --lanes 17)
  usage_error("--mdio-port does not apply to mdio read" --mdio-port 1 mdio read 1 0)
  usage_error("give both FIRST and LAST" module dump 0x8000)
  # status and watch read the module only with --module: --mdio-port alone,
  # whatever its value, is a mistake to point out, not to ignore.
  usage_error("--mdio-port chooses the port of the module's readings: add --module" status --mdio-port 3)
  if(BENCH_NOTES MATCHES "simulated boards")
    message(FATAL_ERROR "status --mdio-port without --module touched a board before its usage error:\n${BENCH_NOTES}")
  endif()
  usage_error("--mdio-port chooses the port of the module's readings" --type 1 watch --mdio-port 3x --count 1)
  usage_error("--mdio-port must be in 0-255" status --module --mdio-port 300)

elseif(CASE STREQUAL "module_bench_file")
  # An empty cage; a module on another MDIO port; a board that hangs in the
  # middle of the ID table; one whose replies come short.
  file(WRITE "${WORK}/bench" "1 EMPTY001 module=none\n0 PORT0003 module-port=3\n1 HANG0001 hang-after=12\n"
                             "1 SHRT0001 reply-bytes=2\n")
  set(ENV{BREVANT_BENCH} "${WORK}/bench")
  module_failure("no module answers on MDIO port 1: every register read 0x0000 \\(empty cage\\?\\)" --index 0 module info)
  module_failure("no module answers on MDIO port 1" --index 0 module monitor)
  ctl(0 --index 0 status --module)
  expect_match("status --module, empty cage" "${OUT}" "\nmodule +not available \\(no module answers on MDIO port 1")
  module_failure("no module answers on MDIO port 1" --index 1 module info)
  ctl(0 --index 1 module info --mdio-port 3)
  expect_match("module on port 3" "${OUT}" "Vendor name +: VIRTUAL OPTICS\n")
  ctl(0 --index 1 module dump 0x8000 0x8000 --mdio-port=3)
  expect_match("dump on port 3" "${OUT}" "^0x8000  0011 +\\.\n$")
  module_failure("no reply: the type-1 board at device index 2 did not answer the MDIO read of register 0x8025 \\(vendor name\\) on port 1"
                 --index 2 module info)
  module_failure("short reply: the type-1 board at device index 3 answered the MDIO read of register 0x8000 \\(identifier\\) on port 1"
                 --index 3 module info)

  file(WRITE "${WORK}/bench" "1 BAD00001 module=qsfp\n")
  ctl(1 list)
  expect_match("bench file error" "${BENCH_NOTES}" "line 1: module must be cfp2-sr4 or none, got 'qsfp'")
  file(WRITE "${WORK}/bench" "1 BAD00002 module-alarm=A019:0001\n")
  ctl(1 list)
  expect_match("bench file error" "${BENCH_NOTES}" "line 1: module-alarm must be REGISTER:WORD in hex")

elseif(CASE STREQUAL "module_state_bench_file")
  # Modules in Fault with alarms raised, in Low-Power, held in reset, and in
  # a state that is not listed.
  file(WRITE "${WORK}/bench" "1 FAULT001 module-state=fault module-alarm=A01E:0040 module-alarm=A212:8001\n"
                             "1 LOWP0001 module-state=low-power\n1 RESET001 module-state=reset\n"
                             "1 ODD00001 module-state=0x0003\n")
  set(ENV{BREVANT_BENCH} "${WORK}/bench")
  ctl(0 --index 0 module status)
  expect_match("fault" "${OUT}" "^Module state +: 0x0040 \\(Fault\\)\n")
  expect_match("fault" "${OUT}" "\n0xA01E +module fault status +0x0040 \\(non-zero\\)\n")
  expect_match("fault" "${OUT}" "\n0xA212 +lane 2 fault and status +0x8001 \\(non-zero\\)\n")
  expect_match("fault" "${OUT}" "\n2 of 13 registers non-zero: module fault status, lane 2 fault and status\n$")
  ctl(0 --json --index 0 module status)
  expect_json_equal("${OUT}" Fault state name)
  expect_json_equal("${OUT}" 2 nonZero)
  expect_json_equal("${OUT}" 64 registers 2 word)
  expect_json_equal("${OUT}" ON registers 2 nonZero)
  expect_json_equal("${OUT}" OFF registers 3 nonZero)
  ctl(0 --index 0 status --module)
  expect_match("status --module, fault" "${OUT}" "\nmodule state +Fault\nmodule temperature ")
  ctl(0 --index 1 module monitor)
  expect_match("low power" "${OUT}" "^Module state +: 0x0002 \\(Low-Power\\)\n")
  ctl(0 --index 1 --json module status)
  expect_json_equal("${OUT}" Low-Power state name)
  # Held in reset, the module answers its ID table but not its state: that
  # is reported, and is no failure of the command or of status and watch.
  ctl(0 --index 2 module status)
  expect_match("reset" "${OUT}" "^Module state +: 0xFFFF \\(no answer\\)\nAlarm and status registers +: not read")
  ctl(0 --index 2 status --module)
  expect_match("status --module, reset" "${OUT}" "\nmodule state +no answer\n")
  ctl(0 --index 2 watch --module --csv --count 1 --interval 0)
  expect_match("watch --module, reset" "${OUT}" ",module_state,.*\n[^\n]+,no answer,")
  ctl(0 --index 3 module status)
  expect_match("unlisted state" "${OUT}" "^Module state +: 0x0003 \\(unknown\\)\n")
  ctl(0 --index 3 --json status --module)
  expect_json_equal("${OUT}" 0x0003 readings module_state value)
else()
  message(FATAL_ERROR "unknown case '${CASE}'")
endif()
