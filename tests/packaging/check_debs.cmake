# Checks the Debian packages of a shared build: lintian finds no error, what
# each holds and depends on, ldconfig run by dpkg's trigger alone, no build
# directory inside any shipped file; then unpacks them into one root, builds
# examples/host-app and examples/c against the unpacked development package
# only, and runs them and the unpacked Python module against the unpacked
# sandbox.
# Variables: PACKAGE_DIR SOURCE_DIR WORK_DIR BUILD_DIR
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
file(MAKE_DIRECTORY "${root}" "${WORK_DIR}/control")
file(GLOB debs "${PACKAGE_DIR}/*.deb")
execute_process(COMMAND lintian --fail-on error ${debs} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
message(STATUS "lintian:\n${out}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "lintian found errors (${rc})")
endif()
if(out MATCHES "maintscript-calls-ldconfig")
  message(FATAL_ERROR "a maintainer script calls ldconfig beside the trigger")
endif()
# package name -> files it must hold (libraries in the multiarch directory);
# the other packages it must depend on
set(multiarch "usr/lib/[a-z0-9_]+-[a-z0-9_-]+/")
set(liborvalis1_files "${multiarch}libOrvalis\\.so\\.1")
set(liborvalisc1_files "${multiarch}libOrvalisC\\.so\\.1")
set(liborvalis-dev_files "include/Orvalis/ServiceInfrastructure/Orvalis\\.h" "include/Orvalis/Version\\.h"
    "${multiarch}libOrvalis\\.so " "${multiarch}libOrvalisC\\.so " "OrvalisConfig\\.cmake" "orvalis\\.pc"
    "orvalis-c\\.pc" "share/orvalis/AuthorizePairing\\.xml")
set(liborvalis-dev_depends liborvalis1 liborvalisc1 libssl-dev)
set(orvalis-tools_files "bin/orvalis-sign" "bin/orvalis-xml" "bin/orvalis-sandbox" "man1/orvalis-sandbox\\.1\\.gz")
set(orvalis-tools_depends liborvalis1 libcpp-httplib0\\.11 libssl3)
set(python3-orvalis_files "usr/lib/python3/dist-packages/orvalis/_native\\.py")
set(python3-orvalis_depends liborvalisc1 python3)
foreach(package IN ITEMS liborvalis1 liborvalisc1 liborvalis-dev orvalis-tools python3-orvalis)
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
    if(NOT run_output MATCHES "(^|, )${expected}( |,|\n|$)")
      message(FATAL_ERROR "${package} does not depend on ${expected}: ${run_output}")
    endif()
  endforeach()
  run(dpkg-deb -x ${deb} "${root}")
  # ldconfig once per install: the libraries' packages by the trigger, no script calls it.
  run(dpkg-deb -e ${deb} "${WORK_DIR}/control/${package}")
  file(GLOB scripts "${WORK_DIR}/control/${package}/post*" "${WORK_DIR}/control/${package}/pre*")
  foreach(script IN LISTS scripts)
    file(STRINGS "${script}" calls REGEX "ldconfig")
    if(calls)
      message(FATAL_ERROR "${package}: ${script} calls ldconfig")
    endif()
  endforeach()
  set(triggers "${WORK_DIR}/control/${package}/triggers")
  if(package MATCHES "^liborvalisc?1$" AND NOT EXISTS "${triggers}")
    message(FATAL_ERROR "${package} has no ldconfig trigger")
  endif()
endforeach()

# No path of the machine that built them inside any shipped file (what `strings` shows).
file(GLOB_RECURSE shipped LIST_DIRECTORIES false "${root}/*")
foreach(file IN LISTS shipped)
  if(NOT IS_SYMLINK "${file}")
    run(strings -a "${file}")
    foreach(dir IN ITEMS "${SOURCE_DIR}" "${BUILD_DIR}")
      string(FIND "${run_output}" "${dir}" at)
      if(at GREATER -1)
        message(FATAL_ERROR "${file} holds the build path ${dir}")
      endif()
    endforeach()
  endif()
endforeach()

# The host examples against the unpacked development package; they, the
# Python module and the sandbox run from where they were unpacked.
foreach(example IN ITEMS host-app c)
  run("${CMAKE_COMMAND}" -S "${SOURCE_DIR}/examples/${example}" -B "${WORK_DIR}/${example}" "-DCMAKE_PREFIX_PATH=${root}/usr")
  run("${CMAKE_COMMAND}" --build "${WORK_DIR}/${example}")
endforeach()
file(GLOB_RECURSE lib "${root}/usr/lib/*/libOrvalisC.so.1")
get_filename_component(lib_dir "${lib}" DIRECTORY)
run(env "LD_LIBRARY_PATH=${lib_dir}" "PYTHONPATH=${root}/usr/lib/python3/dist-packages" "DEMO_PYTHON=python3"
        "DEMO_SANDBOX=${root}/usr/bin/orvalis-sandbox" "DEMO_HOST_APP=${WORK_DIR}/host-app/host-app"
        "DEMO_C_APPS=${WORK_DIR}/c/checkout-c" bash "${SOURCE_DIR}/scripts/demo.sh" "${BUILD_DIR}")
message(STATUS "packages hold what they should; hosts built against liborvalis-dev run: ${run_output}")
file(REMOVE_RECURSE "${WORK_DIR}")
