# Checks a built brevant.dll against the list of exports it must have.
#
#   cmake -DDLL=brevant.dll -DOBJDUMP=<objdump> -DDEF=brevant-x86.def
#         -DHEADER=brevant.h -DARCH=x64|x86 -DSTAMP=<file> -P check_dll.cmake
#
# With -DCALLER=<program.exe> instead of -DDLL, it checks that the program
# imports exactly those names from brevant.dll (a caller linked against an
# import library).
#
# The expected exports come from brevant-x86.def (name and stack bytes), which
# must list exactly the functions the header declares. The x64 DLL must
# export the 24 plain names and nothing else, the x86 DLL the 24 decorated
# names _name@N and nothing else. The DLL may import only system DLLs, so
# that it runs on a machine without any MinGW runtime.
cmake_minimum_required(VERSION 3.25)

if(DEFINED CALLER)
  set(DLL "${CALLER}")
endif()
foreach(var DLL OBJDUMP DEF HEADER ARCH)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "check_dll.cmake: ${var} not given")
  endif()
endforeach()

set(failures "")
macro(fail text)
  string(APPEND failures "  ${text}\n")
endmacro()

# Functions the header declares.
file(READ "${HEADER}" header)
string(REGEX MATCHALL "VESKCFP2_CALL[ \t\r\n]+veskcfp2_[A-Za-z0-9_]+[ \t\r\n]*\\(" decls "${header}")
set(declared "")
foreach(d IN LISTS decls)
  string(REGEX REPLACE ".*(veskcfp2_[A-Za-z0-9_]+).*" "\\1" n "${d}")
  list(APPEND declared "${n}")
endforeach()

# Exports the module definition file lists: "name@N == _name@N".
file(STRINGS "${DEF}" lines REGEX "^[ \t]*veskcfp2_")
set(listed "")
set(decorated "")
foreach(line IN LISTS lines)
  if(line MATCHES "^[ \t]*(veskcfp2_[A-Za-z0-9_]+)@([0-9]+)[ \t]*==[ \t]*_([A-Za-z0-9_]+)@([0-9]+)[ \t]*$")
    if(NOT CMAKE_MATCH_1 STREQUAL CMAKE_MATCH_3 OR NOT CMAKE_MATCH_2 STREQUAL CMAKE_MATCH_4)
      fail("${DEF}: the two sides differ: ${line}")
    endif()
    list(APPEND listed "${CMAKE_MATCH_1}")
    list(APPEND decorated "_${CMAKE_MATCH_1}@${CMAKE_MATCH_2}")
  else()
    fail("${DEF}: unexpected line: ${line}")
  endif()
endforeach()

list(LENGTH declared declaredCount)
if(NOT declaredCount EQUAL 24)
  fail("${HEADER} declares ${declaredCount} exports, not 24")
endif()
set(sortedDeclared ${declared})
set(sortedListed ${listed})
list(SORT sortedDeclared)
list(SORT sortedListed)
if(NOT sortedDeclared STREQUAL sortedListed)
  fail("the header declares [${sortedDeclared}] but ${DEF} lists [${sortedListed}]")
endif()

if(ARCH STREQUAL "x86")
  set(expected ${decorated})
else()
  set(expected ${listed})
endif()
list(SORT expected)

execute_process(COMMAND "${OBJDUMP}" -p "${DLL}" OUTPUT_VARIABLE dump RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "${OBJDUMP} -p ${DLL} failed")
endif()
string(REPLACE "\r" "" dump "${dump}")
string(REPLACE ";" "\\;" dump "${dump}")
string(REPLACE "\n" ";" dumpLines "${dump}")

# The export name table follows "[Ordinal/Name Pointer] Table"; the import
# directory names each imported DLL on a "DLL Name:" line, followed by one
# "<address> <hint> <name>" line per imported function.
set(exported "")
set(imported "")
set(fromBrevant "")
set(inNameTable FALSE)
set(inBrevantImports FALSE)
foreach(line IN LISTS dumpLines)
  if(inBrevantImports AND line MATCHES "^[ \t]*[0-9a-fA-F]+[ \t]+[0-9]+[ \t]+([^ \t]+)$")
    list(APPEND fromBrevant "${CMAKE_MATCH_1}")
  elseif(line MATCHES "^[ \t]*$")
    set(inBrevantImports FALSE)
  endif()
  if(line MATCHES "^[ \t]*DLL Name: +brevant\\.dll$")
    set(inBrevantImports TRUE)
  endif()
  if(line MATCHES "\\[Ordinal/Name Pointer\\] Table")
    set(inNameTable TRUE)
  elseif(inNameTable AND line MATCHES "^[ \t]*\\[ *[0-9]+\\] +([^ ]+)")
    list(APPEND exported "${CMAKE_MATCH_1}")
  elseif(inNameTable)
    set(inNameTable FALSE)
  endif()
  if(line MATCHES "^[ \t]*DLL Name: +(.+)$")
    list(APPEND imported "${CMAKE_MATCH_1}")
  endif()
endforeach()
list(SORT exported)

if(DEFINED CALLER)
  list(SORT fromBrevant)
  if(NOT fromBrevant STREQUAL expected)
    message(FATAL_ERROR "${CALLER} imports [${fromBrevant}] from brevant.dll; expected [${expected}]")
  endif()
  list(LENGTH fromBrevant importCount)
  message(STATUS "${CALLER}: imports the ${importCount} exports from brevant.dll by their ${ARCH} names")
  return()
endif()

if(NOT exported STREQUAL expected)
  set(missing ${expected})
  set(extra ${exported})
  if(exported)
    list(REMOVE_ITEM missing ${exported})
  endif()
  if(expected)
    list(REMOVE_ITEM extra ${expected})
  endif()
  fail("export table differs: missing [${missing}], unexpected [${extra}]")
endif()

set(required KERNEL32.DLL SETUPAPI.DLL ADVAPI32.DLL USER32.DLL)
foreach(dll IN LISTS imported)
  string(TOUPPER "${dll}" upper)
  list(REMOVE_ITEM required "${upper}")
  if(NOT upper MATCHES "^(KERNEL32|SETUPAPI|ADVAPI32|USER32|MSVCRT|UCRTBASE)\\.DLL$"
     AND NOT upper MATCHES "^API-MS-WIN-CRT-[A-Z0-9-]+\\.DLL$")
    fail("imports ${dll}, which is not a system DLL")
  endif()
endforeach()
if(required)
  fail("does not import [${required}]")
endif()

if(failures)
  message(FATAL_ERROR "${DLL} (${ARCH}):\n${failures}")
endif()
list(LENGTH exported exportCount)
string(REPLACE ";" ", " importText "${imported}")
message(STATUS "${DLL}: ${exportCount} exports as expected; imports ${importText}")
if(DEFINED STAMP)
  file(WRITE "${STAMP}" "ok\n")
endif()
