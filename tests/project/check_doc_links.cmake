# Fails when a guide links to a file that is not there: relative Markdown
# links in README.md and docs/*.md (resolved beside the page), and
# "docs/<page>.md" mentioned anywhere in the guides or the public headers
# (resolved from the source root).
# Variables: SOURCE_DIR
cmake_minimum_required(VERSION 3.23)
file(GLOB pages "${SOURCE_DIR}/docs/*.md")
list(APPEND pages "${SOURCE_DIR}/README.md")
file(GLOB_RECURSE headers "${SOURCE_DIR}/Orvalis/*.h")
set(failures "")
set(checked 0)

foreach(page IN LISTS pages)
  file(READ "${page}" text)
  get_filename_component(dir "${page}" DIRECTORY)
  file(RELATIVE_PATH rel_page "${SOURCE_DIR}" "${page}")
  # Square brackets would keep CMake from splitting the list of matches.
  string(REPLACE "](" "@LINK@(" text "${text}")
  string(REPLACE "[" "" text "${text}")
  string(REPLACE "]" "" text "${text}")
  string(REGEX MATCHALL "@LINK@\\([^)( ]+\\)" links "${text}")
  foreach(link IN LISTS links)
    string(REGEX REPLACE "^@LINK@\\(([^)]*)\\)$" "\\1" target "${link}")
    # Web links and anchors within the page are not files.
    if(target MATCHES "^[a-zA-Z][a-zA-Z0-9+.-]*:" OR target MATCHES "^#")
      continue()
    endif()
    string(REGEX REPLACE "#.*$" "" target "${target}")
    math(EXPR checked "${checked} + 1")
    if(NOT EXISTS "${dir}/${target}")
      string(APPEND failures "${rel_page} links to ${target}, which does not exist\n")
    endif()
  endforeach()
endforeach()

foreach(file IN LISTS pages headers)
  file(READ "${file}" text)
  file(RELATIVE_PATH rel_file "${SOURCE_DIR}" "${file}")
  string(REGEX MATCHALL "docs/[A-Za-z0-9_.-]+\\.md" mentions "${text}")
  foreach(target IN LISTS mentions)
    math(EXPR checked "${checked} + 1")
    if(NOT EXISTS "${SOURCE_DIR}/${target}")
      string(APPEND failures "${rel_file} refers to ${target}, which does not exist\n")
    endif()
  endforeach()
endforeach()

if(failures)
  message(FATAL_ERROR "${failures}")
endif()
if(checked EQUAL 0)
  message(FATAL_ERROR "no link found under ${SOURCE_DIR}: wrong source directory?")
endif()
message(STATUS "${checked} links to guides resolve")
