# Run by the install (and so by cpack), never by a build: the compressed
# changelog and the man pages of the .deb, written into ZOLT_PACKAGE_STAGE.
# The install rule that includes this sets ZOLT_GZIP, ZOLT_HELP2MAN,
# ZOLT_VERSION, ZOLT_PACKAGING_DIR, ZOLT_PACKAGE_STAGE and ZOLT_PROGRAMS, the
# programs that get a man page as a list of name=path (empty without
# help2man).
file(MAKE_DIRECTORY ${ZOLT_PACKAGE_STAGE})

# Runs a command; a failure ends the install, naming it.
function(zolt_run)
  cmake_parse_arguments(PARSE_ARGV 0 arg "" "OUTPUT_FILE" "COMMAND")
  if(arg_OUTPUT_FILE)
    execute_process(COMMAND ${arg_COMMAND} OUTPUT_FILE ${arg_OUTPUT_FILE} RESULT_VARIABLE result)
  else()
    execute_process(COMMAND ${arg_COMMAND} RESULT_VARIABLE result)
  endif()
  if(NOT result EQUAL 0)
    string(REPLACE ";" " " command "${arg_COMMAND}")
    message(FATAL_ERROR "failed (${result}): ${command}")
  endif()
endfunction()

# -n: no name and no time stamp in the header, so the same text gives the
# same bytes.
zolt_run(COMMAND ${ZOLT_GZIP} -9nc ${ZOLT_PACKAGING_DIR}/changelog
  OUTPUT_FILE ${ZOLT_PACKAGE_STAGE}/changelog.gz)
foreach(program ${ZOLT_PROGRAMS})
  string(REPLACE "=" ";" program ${program})
  list(GET program 0 name)
  list(GET program 1 path)
  set(page ${ZOLT_PACKAGE_STAGE}/${name}.6)
  zolt_run(COMMAND ${ZOLT_HELP2MAN} --no-info --section=6 --version-string=${ZOLT_VERSION}
    --include=${ZOLT_PACKAGING_DIR}/${name}.h2m --output=${page} ${path})
  zolt_run(COMMAND ${ZOLT_GZIP} -9nf ${page})
endforeach()
