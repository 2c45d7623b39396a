# `orvalis_docs` target (`make docs`): the API reference of the public headers (those installed with
# the library) and the user guides in docs/, written to <build>/docs/html.
find_package(Doxygen QUIET)
if(NOT DOXYGEN_FOUND)
  add_custom_target(orvalis_docs
    COMMAND ${CMAKE_COMMAND} -E echo "doxygen not found: run scripts/install-deps.sh docs, then configure again"
    COMMAND ${CMAKE_COMMAND} -E false)
  return()
endif()

get_target_property(orvalis_public_headers orvalis HEADER_SET)
file(GLOB orvalis_guides "${PROJECT_SOURCE_DIR}/docs/*.md")
list(SORT orvalis_guides)
set(ORVALIS_DOCS_OUTPUT "${PROJECT_BINARY_DIR}/docs")
list(JOIN orvalis_public_headers " \\\n    " headers_text)
list(JOIN orvalis_guides " \\\n    " guides_text)
set(ORVALIS_DOCS_INPUT "${PROJECT_SOURCE_DIR}/README.md \\\n    ${guides_text} \\\n    ${headers_text}")
configure_file("${PROJECT_SOURCE_DIR}/docs/Doxyfile.in" "${PROJECT_BINARY_DIR}/Doxyfile" @ONLY)

add_custom_target(orvalis_docs
  COMMAND ${CMAKE_COMMAND} -E make_directory "${ORVALIS_DOCS_OUTPUT}"
  COMMAND Doxygen::doxygen "${PROJECT_BINARY_DIR}/Doxyfile"
  COMMAND ${CMAKE_COMMAND} -E echo "API reference: ${ORVALIS_DOCS_OUTPUT}/html/index.html (warnings in ${ORVALIS_DOCS_OUTPUT}/warnings.log)"
  WORKING_DIRECTORY "${PROJECT_SOURCE_DIR}"
  COMMENT "Generating the API reference"
  VERBATIM)
