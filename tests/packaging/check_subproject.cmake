# Orvalis added with add_subdirectory to a parent that has a `docs` target of
# its own and sets no build type: it configures, leaves the parent's cache
# alone, and brings nothing but the library.
# Variables: SOURCE_DIR WORK_DIR CXX
cmake_minimum_required(VERSION 3.23)
file(REMOVE_RECURSE "${WORK_DIR}")
file(WRITE "${WORK_DIR}/parent/CMakeLists.txt" "cmake_minimum_required(VERSION 3.23)
project(parent LANGUAGES CXX)
add_custom_target(docs)
add_subdirectory(\"${SOURCE_DIR}\" orvalis)
add_executable(app main.cpp)
target_link_libraries(app PRIVATE Orvalis::Orvalis)
")
file(WRITE "${WORK_DIR}/parent/main.cpp" "#include <Orvalis/ServiceInfrastructure/Orvalis.h>\nint main() { return ORVALIS_VERSION_MAJOR - 1; }\n")
execute_process(COMMAND "${CMAKE_COMMAND}" -S "${WORK_DIR}/parent" -B "${WORK_DIR}/b" "-DCMAKE_CXX_COMPILER=${CXX}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 240)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the parent project does not configure:\n${out}\n${err}")
endif()
file(STRINGS "${WORK_DIR}/b/CMakeCache.txt" build_type REGEX "^CMAKE_BUILD_TYPE:")
if(NOT build_type MATCHES "^CMAKE_BUILD_TYPE:[A-Z]*=$")
  message(FATAL_ERROR "the parent's build type was written: ${build_type}")
endif()
execute_process(COMMAND "${CMAKE_COMMAND}" --build "${WORK_DIR}/b" --target help OUTPUT_VARIABLE targets TIMEOUT 60)
string(REGEX MATCHALL "\\.\\.\\. [^\n]+" targets "${targets}")
list(TRANSFORM targets REPLACE "^\\.\\.\\. ([^ ]+).*" "\\1")
list(REMOVE_ITEM targets all clean depend edit_cache rebuild_cache list_install_components install install/local
     install/strip help app docs orvalis orvalis_docs)
list(FILTER targets EXCLUDE REGEX "\\.(o|i|s)$|^(Continuous|Experimental|Nightly)|^orvalis_internal$")
if(targets)
  message(FATAL_ERROR "a subproject defines more than the library: ${targets}")
endif()
file(REMOVE_RECURSE "${WORK_DIR}")
