# Checks the Debian packages of a shared build: what each holds and depends
# on, then unpacks them and builds examples/host-app against the unpacked
# development package only, and runs the unpacked tools.
# Variables: PACKAGE_DIR SOURCE_DIR WORK_DIR
cmake_minimum_required(VERSION 3.23)
function(run)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 300)
  if(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${ARGN}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
set(root "${WORK_DIR}/root")
file(MAKE_DIRECTORY "${root}")
# package name -> files it must hold; the other packages it must depend on
set(liborvalis1_files "libOrvalis\\.so\\.1")
set(liborvalis-dev_files "include/Orvalis/ServiceInfrastructure/Orvalis\\.h" "include/Orvalis/Version\\.h"
    "libOrvalis\\.so " "OrvalisConfig\\.cmake" "orvalis\\.pc" "share/orvalis/AuthorizePairing\\.xml")
set(liborvalis-dev_depends liborvalis1 libssl-dev)
set(orvalis-tools_files "bin/orvalis-sign" "bin/orvalis-xml" "bin/orvalis-sandbox")
set(orvalis-tools_depends liborvalis1)
foreach(package IN ITEMS liborvalis1 liborvalis-dev orvalis-tools)
  file(GLOB deb "${PACKAGE_DIR}/${package}_*.deb")
  if(NOT deb)
    message(FATAL_ERROR "no ${package} package in ${PACKAGE_DIR}")
  endif()
  run(dpkg-deb --contents ${deb})
  foreach(expected IN LISTS ${package}_files)
    if(NOT run_output MATCHES "${expected}")
      message(FATAL_ERROR "${package} lacks ${expected}:\n${run_output}")
    endif()
  endforeach()
  if(run_output MATCHES "\\.cpp|/tests?/|gtest")
    message(FATAL_ERROR "${package} holds files that are not for users:\n${run_output}")
  endif()
  run(dpkg-deb --field ${deb} Depends)
  foreach(expected IN LISTS ${package}_depends)
    if(NOT run_output MATCHES "(^|, )${expected}( |,|$)")
      message(FATAL_ERROR "${package} does not depend on ${expected}: ${run_output}")
    endif()
  endforeach()
  run(dpkg-deb -x ${deb} "${root}")
endforeach()

# The host example against the unpacked development package, and the tools
# run from where they were unpacked.
file(GLOB_RECURSE config "${root}/*/OrvalisConfig.cmake")
run("${CMAKE_COMMAND}" -S "${SOURCE_DIR}/examples/host-app" -B "${WORK_DIR}/host-app" "-DCMAKE_PREFIX_PATH=${root}/usr")
run("${CMAKE_COMMAND}" --build "${WORK_DIR}/host-app")
run("${root}/usr/bin/orvalis-xml" --version)
message(STATUS "packages hold what they should; host-app builds against liborvalis-dev: ${run_output}")
file(REMOVE_RECURSE "${WORK_DIR}")
