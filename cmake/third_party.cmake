# The third-party headers, all header only and all from Debian packages:
# CLI11 (libcli11-dev, /usr/include/CLI), which reads the command lines of
# the server and of zolt-client, Boost (libboost-dev, /usr/include/boost),
# whose HTTP and networking headers serve the live view (view/http_view.cc),
# and JSON for Modern C++ (nlohmann-json3-dev, /usr/include/nlohmann), which
# reads a recording's line back when a match resumes (record/save.cc).
#
# Each folder is linked into the build tree, in third_party/include, and only
# that folder goes on the include path, for the native and the Windows cross
# compiler alike: the cross compiler sees these folders and never the
# host's /usr/include. A link follows the package when it is upgraded.
#   zolt_third_party   the interface library that carries the include path
set(ZOLT_CLI11_SOURCE_DIR /usr/include/CLI CACHE PATH "Folder of the CLI11 headers (CLI.hpp)")
set(ZOLT_BOOST_SOURCE_DIR /usr/include/boost CACHE PATH "Folder of the Boost headers (beast.hpp)")
set(ZOLT_JSON_SOURCE_DIR /usr/include/nlohmann CACHE PATH "Folder of the JSON headers (json.hpp)")

set(ZOLT_THIRD_PARTY_INCLUDE_DIR ${CMAKE_BINARY_DIR}/third_party/include)
# A build tree of an older layout holds copies here: they make way for the
# links. A link itself is never followed.
file(REMOVE_RECURSE ${CMAKE_BINARY_DIR}/third_party/boost-include)
file(MAKE_DIRECTORY ${ZOLT_THIRD_PARTY_INCLUDE_DIR})
foreach(entry "CLI;CLI.hpp;libcli11-dev;CLI11" "boost;beast.hpp;libboost-dev;BOOST"
    "nlohmann;json.hpp;nlohmann-json3-dev;JSON")
  list(GET entry 0 name)
  list(GET entry 1 marker)
  list(GET entry 2 package)
  list(GET entry 3 variable)
  set(source ${ZOLT_${variable}_SOURCE_DIR})
  if(NOT EXISTS ${source}/${marker})
    message(FATAL_ERROR "${source}/${marker} is missing. Install the Debian package ${package} "
      "(tools/install-deps.sh does), or set ZOLT_${variable}_SOURCE_DIR to the folder holding "
      "${marker}.")
  endif()
  set(link ${ZOLT_THIRD_PARTY_INCLUDE_DIR}/${name})
  if(IS_DIRECTORY ${link} AND NOT IS_SYMLINK ${link})
    file(REMOVE_RECURSE ${link})
  endif()
  file(CREATE_LINK ${source} ${link} SYMBOLIC)
endforeach()

add_library(zolt_third_party INTERFACE)
target_include_directories(zolt_third_party SYSTEM INTERFACE ${ZOLT_THIRD_PARTY_INCLUDE_DIR})
