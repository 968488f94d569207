# In a standard-call build every export pops its own arguments: each of its
# returns is `ret $N`, N the bytes of arguments in the decorated name the
# 32-bit DLL exports it under (_name@N, from the DLL's module definition file).
#
#   cmake -DLIBRARY=<libbrevant.so> -DDEF=<brevant-x86.def> -DOBJDUMP=<objdump> -P stdcall_exports.cmake
cmake_minimum_required(VERSION 3.25)

file(STRINGS "${DEF}" entries REGEX "^[ \t]+veskcfp2_[A-Za-z0-9_]+@[0-9]+[ \t]")
list(LENGTH entries count)
if(NOT count EQUAL 24)
  message(FATAL_ERROR "${DEF}: expected 24 exports, found ${count}")
endif()

set(failures "")
foreach(entry IN LISTS entries)
  string(REGEX MATCH "veskcfp2_[A-Za-z0-9_]+@[0-9]+" decorated "${entry}")
  string(REGEX REPLACE "@.*" "" name "${decorated}")
  string(REGEX REPLACE ".*@" "" bytes "${decorated}")
  math(EXPR expected "${bytes}" OUTPUT_FORMAT HEXADECIMAL)

  execute_process(COMMAND "${OBJDUMP}" -d --no-show-raw-insn "--disassemble=${name}" "${LIBRARY}"
                  OUTPUT_VARIABLE code RESULT_VARIABLE status)
  if(NOT status EQUAL 0 OR NOT code MATCHES "<${name}>:")
    string(APPEND failures "${name}: not found in ${LIBRARY}\n")
    continue()
  endif()
  string(REGEX MATCHALL "\tret[^\n]*" returns "${code}")
  if(returns STREQUAL "")
    string(APPEND failures "${name}: no return instruction\n")
  endif()
  foreach(ret IN LISTS returns)
    string(STRIP "${ret}" ret)
    if(NOT ret MATCHES "^ret +\\$${expected}$")
      string(APPEND failures "${name}: '${ret}', expected 'ret $${expected}' (${decorated})\n")
    endif()
  endforeach()
endforeach()

if(failures)
  message(FATAL_ERROR "exports that do not pop their arguments as the 32-bit DLL's do:\n${failures}")
endif()
message(STATUS "${count} exports pop their arguments as their decorated names say")
