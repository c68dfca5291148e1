# CLI11, the command-line parser of server/options.cc: header only, from
# Debian's libcli11-dev (/usr/include/CLI). Its headers are copied into the
# build tree and only that copy goes on the include path, so that the Windows
# cross compiler never sees the host's /usr/include.
#   ZOLT_CLI11_INCLUDE_DIR   the folder holding CLI/CLI.hpp
set(ZOLT_CLI11_SOURCE_DIR /usr/include/CLI CACHE PATH
  "Folder of the CLI11 headers (CLI.hpp), copied into the build tree")
if(NOT EXISTS ${ZOLT_CLI11_SOURCE_DIR}/CLI.hpp)
  message(FATAL_ERROR "CLI11 headers not found: ${ZOLT_CLI11_SOURCE_DIR}/CLI.hpp is missing. "
    "Install the Debian package libcli11-dev (tools/install-deps.sh does), or set "
    "ZOLT_CLI11_SOURCE_DIR to the folder holding CLI.hpp.")
endif()
set(ZOLT_CLI11_INCLUDE_DIR ${CMAKE_BINARY_DIR}/third_party/include)
# A fresh copy at each configuration, so that an upgraded package is taken.
file(REMOVE_RECURSE ${ZOLT_CLI11_INCLUDE_DIR}/CLI)
file(COPY ${ZOLT_CLI11_SOURCE_DIR}/ DESTINATION ${ZOLT_CLI11_INCLUDE_DIR}/CLI
  FILES_MATCHING PATTERN "*.hpp")
# Reconfigures when the package changes the headers.
set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
  ${ZOLT_CLI11_SOURCE_DIR}/Version.hpp)
