# Makes the live view's page one document for the binary: view/page.html with
# its style sheet (view/page.css) and script (view/page.js) put in place of
# the lines that name them, written as view/page.h in the build folder. The
# bytes are written as an array, not a string literal: a literal of the
# page's size is past what some Windows compilers take.
#   cmake -DSOURCE_DIR=<tree> -DOUTPUT=<header> -P embed_page.cmake
file(READ ${SOURCE_DIR}/view/page.html html)
file(READ ${SOURCE_DIR}/view/page.css css)
file(READ ${SOURCE_DIR}/view/page.js js)
foreach(marker "/* page.css */\n" "// page.js\n")
  string(FIND "${html}" "${marker}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "view/page.html lacks the line '${marker}'")
  endif()
endforeach()
string(REPLACE "/* page.css */\n" "${css}" html "${html}")
string(REPLACE "// page.js\n" "${js}" html "${html}")
file(WRITE ${OUTPUT}.part "${html}")
file(READ ${OUTPUT}.part hex HEX)
file(REMOVE ${OUTPUT}.part)
string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
string(REGEX REPLACE "((0x..,){24})" "\\1\n" bytes "${bytes}")
file(WRITE ${OUTPUT}.new
  "// Made by cmake/embed_page.cmake from view/page.html, page.css and page.js.\n"
  "#pragma once\n\n"
  "inline constexpr char PAGE[] = {\n${bytes}0};\n")
# Written only when it changed, so that a build after an unrelated edit does
# not compile the view again.
file(COPY_FILE ${OUTPUT}.new ${OUTPUT} ONLY_IF_DIFFERENT)
file(REMOVE ${OUTPUT}.new)
