# A recorded board replayed: a wire log recorded from brevantctl doctor and
# status on one board (the simulator's, until a real board's log is added
# beside it) is the bench (replay=FILE), and the same commands must give the
# same reports as the recorded run. A program that asks something the
# recorded run did not is named where it changed.
#
#   cmake -DCTL=<brevantctl> -DDATA=<this folder> -DWORK=<empty directory> [-DEMULATOR=...]
#         [-DMODE=record] -P replay_cases.cmake
#
# MODE=record records the board anew into DATA (vbrd0001-*.wirelog and the
# expected outputs), from the simulator's board VBRD0001 with its default
# readings; check them in with the change that made them differ.
cmake_minimum_required(VERSION 3.25)

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}")
set(ENV{BREVANT_SIMULATOR} 1)
set(ENV{BREVANT_BENCH_STATE} "${WORK}/state")

function(ctl expected log)
  if(log STREQUAL "-")
    unset(ENV{BREVANT_WIRE_LOG})
  else()
    set(ENV{BREVANT_WIRE_LOG} "${log}")
  endif()
  execute_process(COMMAND ${EMULATOR} "${CTL}" ${ARGN} INPUT_FILE /dev/null
                  RESULT_VARIABLE status OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT status STREQUAL "${expected}")
    message(FATAL_ERROR "brevantctl ${ARGN}: exit status ${status}, expected ${expected}\nstdout:\n${out}\nstderr:\n${err}")
  endif()
  # Times differ from run to run: the doctor's are in brackets at line ends.
  string(REGEX REPLACE " \\[[^]\n]*\\]\n" "\n" out "${out}")
  set(OUT "${out}" PARENT_SCOPE)
  set(ERR "${err}" PARENT_SCOPE)
endfunction()

set(commands doctor status)
if(MODE STREQUAL "record")
  file(WRITE "${WORK}/bench" "1 VBRD0001\n")
  set(ENV{BREVANT_BENCH} "${WORK}/bench")
  foreach(command IN LISTS commands)
    file(REMOVE "${DATA}/vbrd0001-${command}.wirelog")
    ctl(0 "${DATA}/vbrd0001-${command}.wirelog" ${command})
    file(WRITE "${DATA}/vbrd0001-${command}.expected" "${OUT}")
  endforeach()
  return()
endif()

foreach(command IN LISTS commands)
  file(WRITE "${WORK}/bench" "1 VBRD0001 replay=${DATA}/vbrd0001-${command}.wirelog\n")
  set(ENV{BREVANT_BENCH} "${WORK}/bench")
  ctl(0 - ${command})
  file(READ "${DATA}/vbrd0001-${command}.expected" expected)
  if(NOT OUT STREQUAL expected)
    file(WRITE "${WORK}/${command}.out" "${OUT}")
    message(FATAL_ERROR "${command} on the replayed board differs from the recorded run: diff "
                        "${DATA}/vbrd0001-${command}.expected ${WORK}/${command}.out")
  endif()
  if(ERR MATCHES "replay of")
    message(FATAL_ERROR "${command} on the replayed board sent what the recorded run did not:\n${ERR}")
  endif()
endforeach()

# One query more than the recorded status run (temperature sensor 1): the
# replay names the report and gives it no reply, and status says the reading
# failed.
file(WRITE "${WORK}/bench" "1 VBRD0001 replay=${DATA}/vbrd0001-status.wirelog\n")
ctl(1 - status --sensors 0,1)
if(NOT ERR MATCHES "replay of [^\n]*vbrd0001-status.wirelog: report F6010004010000[0-9A-F]* \\(time 1\\): the recorded run never sent it; no reply\n")
  message(FATAL_ERROR "the extra query was not named:\n${ERR}")
endif()
if(NOT OUT MATCHES "temperature 1 +failed")
  message(FATAL_ERROR "status did not fail the extra reading:\n${OUT}")
endif()
