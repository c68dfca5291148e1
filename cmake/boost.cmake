# Boost's HTTP and networking headers for the live view (view/http_view.cc):
# header only, from Debian's libboost-dev (/usr/include/boost). The native
# compiler finds them where the package puts them. For the Windows cross
# compiler they are copied into the build tree, and only that copy goes on
# its include path, so that it never sees the host's /usr/include. The
# headers include one another across the whole tree, so the tree is copied
# whole, once.
#   ZOLT_BOOST_INCLUDE_DIR   the folder holding boost/ (empty: the compiler's own)
set(ZOLT_BOOST_SOURCE_DIR /usr/include/boost CACHE PATH
  "Folder of the Boost headers (version.hpp), copied into the build tree for cross builds")
if(NOT EXISTS ${ZOLT_BOOST_SOURCE_DIR}/beast.hpp)
  message(FATAL_ERROR "Boost headers not found: ${ZOLT_BOOST_SOURCE_DIR}/beast.hpp is missing. "
    "Install the Debian package libboost-dev (tools/install-deps.sh does), or set "
    "ZOLT_BOOST_SOURCE_DIR to the folder holding beast.hpp.")
endif()
set(ZOLT_BOOST_INCLUDE_DIR "")
if(CMAKE_CROSSCOMPILING)
  set(ZOLT_BOOST_INCLUDE_DIR ${CMAKE_BINARY_DIR}/third_party/boost-include)
  if(NOT EXISTS ${ZOLT_BOOST_INCLUDE_DIR}/boost/beast.hpp)
    message(STATUS "Copying the Boost headers into ${ZOLT_BOOST_INCLUDE_DIR}")
    file(COPY ${ZOLT_BOOST_SOURCE_DIR}/ DESTINATION ${ZOLT_BOOST_INCLUDE_DIR}/boost)
  endif()
endif()
