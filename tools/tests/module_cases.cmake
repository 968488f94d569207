# brevantctl module info / monitor / dump as users see them, run as a process
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
  expect_lines("module info" "${OUT}" 9)
  if(NOT ERR STREQUAL "")
    message(FATAL_ERROR "module info off a terminal printed on standard error:\n${ERR}")
  endif()

  ctl(0 --json module info)
  expect_json_equal("${OUT}" CFP2 identifier name)
  expect_json_equal("${OUT}" 4 laneCount)
  expect_match("module info --json" "${OUT}" "\"managementRevision\":2.2}")

  ctl(0 module monitor)
  expect_match("module monitor" "${OUT}" "^Module temperature +: 4[01]\\.[0-9][0-9] C\nSupply voltage +: 3\\.29[0-9][0-9] V\n")
  expect_match("module monitor" "${OUT}"
               "\n   3  7\\.[0-9][0-9][0-9] mA +0\\.[0-9]+ mW \\(-[0-9.]+ dBm\\) +0\\.[0-9]+ mW \\(-[0-9.]+ dBm\\)\n$")
  expect_lines("module monitor" "${OUT}" 7)
  ctl(0 --json --type 0 module monitor)
  string(JSON lanes LENGTH "${OUT}" lanes)
  if(NOT lanes EQUAL 4)
    message(FATAL_ERROR "module monitor --json: expected 4 lanes in ${OUT}")
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
  expect_match("watch --module" "${OUT}" "^time,vcc_V,.*,module_temperature_C,module_supplyVoltage_V,module_lane0_laserBias_mA,")
  expect_match("watch --module" "${OUT}" ",module_lane3_rxPower_mW,module_lane3_rxPower_dBm\n[^\n]+,41\.[0-9]+,3\.29[0-9]*,6\.8[0-9]*,[^\n]+\n[^\n]+\n$")

  # status shows a power in mW and dBm on one line; the text watch puts the
  # lanes on rows of their own, and CSV rounds every cell to its unit's
  # decimals.
  ctl(0 --type 1 status --module)
  expect_match("status --module" "${OUT}" "\nlane 0 Tx power +0\\.8[0-9][0-9][0-9] mW \\(-0\\.[0-9][0-9] dBm\\)\n")
  ctl(0 --type 1 watch --module --count 1 --interval 0)
  expect_match("watch --module" "${OUT}" "^date and time \\(UTC\\) [^\n]*module_supplyVoltage_V\n +lane  laserBias_mA  txPower_mW  txPower_dBm  rxPower_mW  rxPower_dBm\n[^\n]+\n +0  6\\.[0-9][0-9][0-9] +0\\.[0-9][0-9][0-9][0-9] +-0\\.[0-9][0-9] +")
  expect_lines("watch --module" "${OUT}" 7)
  ctl(0 --type 1 watch --module --csv --count 1 --interval 0)
  expect_match("watch --module --csv" "${OUT}" "\n[^,]+,3\\.3125,25\\.25,291,[0-9]+,[01],41\\.[0-9][0-9],3\\.[0-9][0-9][0-9][0-9],6\\.[0-9][0-9][0-9],0\\.[0-9][0-9][0-9][0-9],-0\\.[0-9][0-9],")

  # With the module's power off its monitors read 0, which are no readings:
  # it says the module is not powered and shows none of them.
  ctl(0 --type 1 -y power 0)
  ctl(0 --type 1 watch --module --csv --count 1 --interval 0)
  expect_match("watch --module, power off" "${OUT}" "module_lane3_rxPower_dBm\n[^\n]+,3\\.3125,[^\n]*,0,0,,,,,,,,,,,,,,,,,,,,,,\n$")
  ctl(0 --type 1 -j status --module)
  expect_json_equal("${OUT}" unavailable readings module_temperature_C status)
  expect_json_equal("${OUT}" "module not powered: supply voltage reads 0 V" readings module_lane0_rxPower_mW reason)
  ctl(1 module monitor)
  expect_match("monitor, power off" "${OUT}" "^Module power +: off \\(supply voltage reads 0 V\\)\nModule temperature +: not available\n$")
  expect_match("monitor, power off" "${ERR}" "module monitor: not powered: the module on MDIO port 1 reads a supply voltage of 0 V")
  ctl(1 --json module monitor)
  expect_json_equal("${OUT}" OFF powered)
  ctl(0 --type 1 -y power 1)

  # Registers written to the module are kept from run to run; an unknown
  # application code leaves the lane count to --lanes; an identifier that is
  # no CFP code is no module.
  ctl(0 mdio write 1 0x8003 0x0042)
  ctl(0 module info)
  expect_match("unknown application" "${OUT}" "\nApplication +: 0x42 \\(unknown\\)\nLanes +: unknown")
  ctl(0 module monitor)
  expect_match("unknown application" "${OUT}" "\nLanes +: not shown: application code 0x42 is unknown; name the lane count with --lanes N\n$")
  ctl(0 module monitor --lanes 6)
  expect_lines("monitor --lanes 6" "${OUT}" 9)
  expect_match("monitor --lanes 6" "${OUT}" "\n   5  0\\.000 mA +0\\.0000 mW \\(no light\\)")
  ctl(0 mdio write 1 0x8000 0x0003)
  module_failure("no CFP module on MDIO port 1: the module identifier \\(register 0x8000\\) reads 0x0003, not a CFP code"
                 module info)
  module_failure("no CFP module on MDIO port 1" module monitor)

  usage_error("--lanes must be in 1-16" module monitor --lanes 0)
  usage_error("--lanes does not apply to module info" module info --lanes 4)
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
  module_failure("no reply: the type-1 board at device index 2 did not answer the MDIO read of register 0x802A \\(vendor name\\) on port 1"
                 --index 2 module info)
  module_failure("short reply: the type-1 board at device index 3 answered the MDIO read of register 0x8000 \\(identifier\\) on port 1"
                 --index 3 module info)

  file(WRITE "${WORK}/bench" "1 BAD00001 module=qsfp\n")
  ctl(1 list)
  expect_match("bench file error" "${BENCH_NOTES}" "line 1: module must be cfp2-sr4 or none, got 'qsfp'")
else()
  message(FATAL_ERROR "unknown case '${CASE}'")
endif()
