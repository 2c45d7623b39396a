# Installs the built library into a fresh prefix, then builds host programs
# against the installed tree only: examples/host-app through
# find_package(Orvalis CONFIG), a small consumer through pkg-config, C hosts
# and the wheel in a venv, which then run against the build's sandbox.
# Variables: BUILD_DIR SOURCE_DIR WORK_DIR CXX BUILD_TYPE SANITIZE TOOLS EXTRA_FLAGS PYTHON
cmake_minimum_required(VERSION 3.23)

function(run)
  cmake_parse_arguments(R "" "WORKING_DIRECTORY;EXPECT" "COMMAND" ${ARGN})
  if(NOT R_WORKING_DIRECTORY)
    set(R_WORKING_DIRECTORY "${WORK_DIR}")
  endif()
  execute_process(COMMAND ${R_COMMAND} WORKING_DIRECTORY "${R_WORKING_DIRECTORY}"
                  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err TIMEOUT 240)
  if(R_EXPECT STREQUAL "failure")
    if(rc EQUAL 0)
      message(FATAL_ERROR "expected to fail but succeeded: ${R_COMMAND}\n${out}\n${err}")
    endif()
  elseif(NOT rc EQUAL 0)
    message(FATAL_ERROR "failed (${rc}): ${R_COMMAND}\n${out}\n${err}")
  endif()
  set(run_output "${out}" PARENT_SCOPE)
  set(run_error "${err}" PARENT_SCOPE)
endfunction()

file(REMOVE_RECURSE "${WORK_DIR}")
file(MAKE_DIRECTORY "${WORK_DIR}")
set(prefix "${WORK_DIR}/prefix")
run(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")

# The layout a host relies on.
file(GLOB_RECURSE config_files "${prefix}/*/OrvalisConfig.cmake")
file(GLOB_RECURSE version_files "${prefix}/*/OrvalisConfigVersion.cmake")
file(GLOB_RECURSE pc_files "${prefix}/*/orvalis.pc")
file(GLOB_RECURSE libs "${prefix}/*/libOrvalis.*")
file(GLOB_RECURSE c_libs "${prefix}/*/libOrvalisC.so.1")
file(GLOB_RECURSE c_libs_rel RELATIVE "${prefix}" "${prefix}/*/libOrvalisC.so.1")
foreach(what IN ITEMS config_files version_files pc_files libs c_libs)
  if(NOT ${what})
    message(FATAL_ERROR "the installed tree lacks ${what}")
  endif()
endforeach()
if(NOT EXISTS "${prefix}/include/Orvalis/ServiceInfrastructure/Orvalis.h")
  message(FATAL_ERROR "the installed tree lacks the umbrella header")
endif()
file(GLOB_RECURSE leaked "${prefix}/include/*.cpp")
if(leaked)
  message(FATAL_ERROR "sources installed with the headers: ${leaked}")
endif()

set(flags "")
set(link_flags "")
if(SANITIZE)
  set(flags "-fsanitize=${SANITIZE} -fno-omit-frame-pointer")
  set(link_flags "-fsanitize=${SANITIZE}")
endif()
string(APPEND flags " ${EXTRA_FLAGS}")
string(APPEND link_flags " ${EXTRA_FLAGS}")

# 1. examples/host-app as a project of its own.
run(COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}/examples/host-app" -B "${WORK_DIR}/host-app"
            "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_CXX_COMPILER=${CXX}" "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}"
            "-DCMAKE_CXX_FLAGS=${flags}" "-DCMAKE_EXE_LINKER_FLAGS=${link_flags}")
run(COMMAND "${CMAKE_COMMAND}" --build "${WORK_DIR}/host-app")
if(NOT EXISTS "${WORK_DIR}/host-app/host-app")
  message(FATAL_ERROR "host-app was not built")
endif()

# 2. A consumer compiled with the flags pkg-config gives.
set(pkgconfig_args --cflags --libs orvalis)
file(GLOB_RECURSE pc_file "${prefix}/*/orvalis.pc")
get_filename_component(pc_dir "${pc_file}" DIRECTORY)
set(ENV{PKG_CONFIG_PATH} "${pc_dir}")
run(COMMAND pkg-config ${pkgconfig_args})
string(STRIP "${run_output}" pc_flags)
separate_arguments(pc_flags UNIX_COMMAND "${pc_flags}")
separate_arguments(extra UNIX_COMMAND "${flags} ${link_flags}")
list(GET libs 0 first_lib)
get_filename_component(lib_dir "${first_lib}" DIRECTORY)
run(COMMAND pkg-config --modversion orvalis)
string(STRIP "${run_output}" pc_version)
run(COMMAND "${CXX}" -std=c++20 ${extra} "-DEXPECTED_VERSION=\"${pc_version}\"" "${SOURCE_DIR}/tests/packaging/consumer/main.cpp" ${pc_flags}
            "-Wl,-rpath,${lib_dir}" -o "${WORK_DIR}/consumer")
run(COMMAND "${WORK_DIR}/consumer")
if(NOT run_output MATCHES "consumer: ok")
  message(FATAL_ERROR "the pkg-config consumer did not run as expected: ${run_output}")
endif()

# 3. Every installed tool runs from the prefix (a shared library is found
# relative to the tool), and the sample template is there.
file(GLOB tools RELATIVE "${prefix}/bin" "${prefix}/bin/orvalis-*")
if(TOOLS AND NOT tools MATCHES "orvalis-sign;orvalis-xml")
  message(FATAL_ERROR "tools are missing from the install: ${tools}")
endif()
foreach(tool IN LISTS tools)
  run(COMMAND "${prefix}/bin/${tool}" --version)
  if(NOT run_output MATCHES "^${tool} \\(Orvalis\\) ${pc_version}\n$")
    message(FATAL_ERROR "the installed ${tool} did not print its version: ${run_output}")
  endif()
endforeach()
if(NOT EXISTS "${prefix}/share/orvalis/AuthorizePairing.xml")
  message(FATAL_ERROR "the sample AuthorizePairing.xml is not installed")
endif()

# 4. The version file refuses another major version before anything else is
# looked at (any 1.x is taken: host-app asked for 1 above).
set(dir "${WORK_DIR}/version-2")
file(WRITE "${dir}/CMakeLists.txt"
  "cmake_minimum_required(VERSION 3.23)\nproject(v LANGUAGES NONE)\nfind_package(Orvalis 2 CONFIG REQUIRED)\n")
run(COMMAND "${CMAKE_COMMAND}" -S "${dir}" -B "${dir}/b" "-DCMAKE_PREFIX_PATH=${prefix}" EXPECT failure)
if(NOT run_error MATCHES "version: 1\\.0\\.0")
  message(FATAL_ERROR "major version 2 was refused for another reason:\n${run_error}")
endif()

# 5. C hosts (not with libc++, whose flags the C driver does not take, nor
# with sanitizers, whose builds run the demo themselves):
# examples/c as a C-only project linking Orvalis::C, then Orvalis::Orvalis;
# checkout.c through pkg-config's orvalis-c, then orvalis. With the installed
# host-app and the wheel in a plain venv, each runs against the sandbox.
if(TOOLS AND NOT SANITIZE AND NOT EXTRA_FLAGS MATCHES "stdlib")
  set(c_apps "")
  foreach(target IN ITEMS Orvalis::C Orvalis::Orvalis)
    string(MAKE_C_IDENTIFIER "${target}" dir)
    run(COMMAND "${CMAKE_COMMAND}" -S "${SOURCE_DIR}/examples/c" -B "${WORK_DIR}/${dir}" "-DORVALIS_TARGET=${target}"
                "-DCMAKE_PREFIX_PATH=${prefix}" "-DCMAKE_BUILD_TYPE=${BUILD_TYPE}" "-DCMAKE_C_FLAGS=${flags}"
                "-DCMAKE_EXE_LINKER_FLAGS=${link_flags}")
    run(COMMAND "${CMAKE_COMMAND}" --build "${WORK_DIR}/${dir}")
    list(APPEND c_apps "${WORK_DIR}/${dir}/checkout-c")
  endforeach()
  foreach(module IN ITEMS orvalis-c orvalis)
    run(COMMAND pkg-config --cflags --libs ${module})
    separate_arguments(pc_flags UNIX_COMMAND "${run_output}")
    run(COMMAND cc -std=c11 ${extra} "${SOURCE_DIR}/examples/c/checkout.c" ${pc_flags} "-Wl,-rpath,${lib_dir}"
                -o "${WORK_DIR}/${module}-cc")
    list(APPEND c_apps "${WORK_DIR}/${module}-cc")
  endforeach()
  list(JOIN c_apps " " c_apps)
  set(python "")
  if(PYTHON)
    run(COMMAND "${CMAKE_COMMAND}" --build "${BUILD_DIR}" --target orvalis-wheel)
    file(GLOB wheel "${BUILD_DIR}/dist/orvalis-${pc_version}-py3-none-*.whl")
    run(COMMAND "${PYTHON}" -m venv "${WORK_DIR}/venv")
    run(COMMAND "${WORK_DIR}/venv/bin/pip" install --no-index ${wheel})
    set(python "${WORK_DIR}/venv/bin/python")
    run(COMMAND "${python}" -c "print(__import__('orvalis._native').__dict__['_native']._lib._name)")
    string(FIND "${run_output}" "${WORK_DIR}/venv/" at)
    if(NOT at EQUAL 0 OR NOT run_output MATCHES "/orvalis/libOrvalisC\\.so\\.1\n$")
      message(FATAL_ERROR "the installed wheel loads another library: ${run_output}")
    endif()
  endif()
  run(COMMAND env "DEMO_HOST_APP=${WORK_DIR}/host-app/host-app" "DEMO_C_APPS=${c_apps}" "DEMO_PYTHON=${python}"
              bash "${SOURCE_DIR}/scripts/demo.sh" "${BUILD_DIR}")
endif()

# 5b. The Python package of the install, as docs/python.md has Python find it (one .pth line), loads
# the prefix's own libOrvalisC with no variable set.
if(PYTHON AND NOT SANITIZE AND NOT EXTRA_FLAGS MATCHES "stdlib")
  run(COMMAND "${PYTHON}" -m venv --without-pip "${WORK_DIR}/plain")
  run(COMMAND "${WORK_DIR}/plain/bin/python" -c "print(__import__('sysconfig').get_paths()['purelib'])")
  string(STRIP "${run_output}" site)
  if(NOT IS_DIRECTORY "${site}")
    message(FATAL_ERROR "the venv names no site-packages folder: '${site}'")
  endif()
  file(WRITE "${site}/orvalis.pth" "${prefix}/lib/python3/dist-packages\n")
  run(COMMAND env -u ORVALIS_LIBRARY -u PYTHONPATH -u LD_LIBRARY_PATH "${WORK_DIR}/plain/bin/python" -c
              "print(__import__('orvalis')._native._lib._name, __import__('orvalis').library_version())")
  if(NOT run_output STREQUAL "${prefix}/${c_libs_rel} ${pc_version}\n")
    message(FATAL_ERROR "the installed Python package loads another library: ${run_output}")
  endif()
endif()

# 6. A build of the other linkage installed into the same prefix (a stub
# stands for it) keeps its targets file through this one's install, and
# Orvalis_SHARED, else BUILD_SHARED_LIBS, picks between them.
get_filename_component(cmake_dir "${config_files}" DIRECTORY)
set(own static)
set(other shared)
if(EXISTS "${cmake_dir}/OrvalisTargets-shared.cmake")
  set(own shared)
  set(other static)
endif()
file(WRITE "${cmake_dir}/OrvalisTargets-${other}.cmake" "add_library(Orvalis::Orvalis INTERFACE IMPORTED)\n")
run(COMMAND "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")
set(dir "${WORK_DIR}/linkage")
file(WRITE "${dir}/CMakeLists.txt" "cmake_minimum_required(VERSION 3.23)\nproject(l LANGUAGES C)\n"
  "find_package(Orvalis CONFIG REQUIRED)\nget_target_property(t Orvalis::Orvalis TYPE)\nmessage(STATUS \"type=\${t}\")\n")
foreach(case IN ITEMS "static;-DBUILD_SHARED_LIBS=OFF" "shared;-DBUILD_SHARED_LIBS=ON" "shared;-DOrvalis_SHARED=ON"
                      "static;-DOrvalis_SHARED=OFF;-DBUILD_SHARED_LIBS=ON")
  string(MAKE_C_IDENTIFIER "${case}" build)
  list(POP_FRONT case linkage)
  run(COMMAND "${CMAKE_COMMAND}" -S "${dir}" -B "${dir}/${build}" "-DCMAKE_PREFIX_PATH=${prefix}" ${case})
  string(REGEX MATCH "type=INTERFACE" stub "${run_output}")
  if((linkage STREQUAL own AND stub) OR (NOT linkage STREQUAL own AND NOT stub))
    message(FATAL_ERROR "${case} did not pick the ${linkage} targets:\n${run_output}")
  endif()
endforeach()

message(STATUS "installed package works from ${prefix}")
file(REMOVE_RECURSE "${WORK_DIR}")
