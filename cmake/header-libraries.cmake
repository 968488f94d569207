# The header-only libraries of the tools: nlohmann::json (JSON) and Boost
# (Beast over Asio, HTTP), from Debian's nlohmann-json3-dev and libboost-dev
# in /usr/include. A cross build must not put the host's whole /usr/include
# on its path, so each library's folder is linked into a folder of the build
# tree, and that folder is what the targets include, on every platform.
#
#   brevant::json   nlohmann::json
#   brevant::http   Boost.Beast and Boost.Asio, with the system libraries
#                   their sockets need
if(TARGET brevant_json)
  return()
endif()

find_path(BREVANT_NLOHMANN_JSON_DIR nlohmann/json.hpp PATHS /usr/include
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
find_path(BREVANT_BOOST_DIR boost/beast.hpp PATHS /usr/include
          NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
if(NOT BREVANT_NLOHMANN_JSON_DIR)
  message(FATAL_ERROR "nlohmann/json.hpp not found: install nlohmann-json3-dev")
endif()
if(NOT BREVANT_BOOST_DIR)
  message(FATAL_ERROR "boost/beast.hpp not found: install libboost-dev")
endif()

set(_headers ${CMAKE_BINARY_DIR}/header-libraries)
file(MAKE_DIRECTORY ${_headers})
file(CREATE_LINK ${BREVANT_NLOHMANN_JSON_DIR}/nlohmann ${_headers}/nlohmann SYMBOLIC)
file(CREATE_LINK ${BREVANT_BOOST_DIR}/boost ${_headers}/boost SYMBOLIC)

add_library(brevant_json INTERFACE)
target_include_directories(brevant_json SYSTEM INTERFACE ${_headers})
add_library(brevant::json ALIAS brevant_json)

find_package(Threads REQUIRED)
add_library(brevant_http INTERFACE)
target_include_directories(brevant_http SYSTEM INTERFACE ${_headers})
# Header-only Boost: no Boost library is linked, and Asio's error categories
# need no Boost.System library either.
target_compile_definitions(brevant_http INTERFACE BOOST_ERROR_CODE_HEADER_ONLY BOOST_SYSTEM_NO_DEPRECATED)
target_link_libraries(brevant_http INTERFACE Threads::Threads)
if(WIN32)
  target_compile_definitions(brevant_http INTERFACE _WIN32_WINNT=0x0601 WIN32_LEAN_AND_MEAN)
  target_link_libraries(brevant_http INTERFACE ws2_32 mswsock)
endif()
add_library(brevant::http ALIAS brevant_http)
