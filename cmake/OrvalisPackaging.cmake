# Debian packages (`make package`, or `cpack` in a build tree configured with
# CMAKE_INSTALL_PREFIX=/usr, so that the libraries go to the multiarch
# directory): the shared library, the C interface library, the development
# files, the tools and the Python module, each its own package.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME orvalis)
set(CPACK_PACKAGE_VENDOR "Orvalis")
set(ORVALIS_PACKAGE_CONTACT "Orvalis maintainers <maintainers@orvalis.example>"
    CACHE STRING "Maintainer of the Debian packages: name <address>")
set(CPACK_PACKAGE_CONTACT "${ORVALIS_PACKAGE_CONTACT}")
set(CPACK_RESOURCE_FILE_LICENSE "${PROJECT_SOURCE_DIR}/LICENSE")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_PACKAGE_DIRECTORY "${PROJECT_BINARY_DIR}/packages")
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL runtime c_runtime development tools)
if(TARGET orvalis-python)
  list(APPEND CPACK_COMPONENTS_ALL python)
  set(CPACK_COMPONENT_PYTHON_DEPENDS c_runtime)
  set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3")
  set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
endif()
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime c_runtime)
set(CPACK_COMPONENT_TOOLS_DEPENDS runtime)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_RELEASE 1)
set(CPACK_DEBIAN_PACKAGE_SOURCE orvalis)  # the changelog's name
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
# Stripped binaries; the debug information stays in the build tree's. No
# -dbgsym packages: CMake 3.25 writes theirs with absolute paths in md5sums
# and without copyright, which lintian refuses.
set(CPACK_STRIP_FILES ON)
# Each package's description starts with its own synopsis: CPackDeb puts the
# project's summary above it unless the summary is CPack's default.
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${CMAKE_PROJECT_NAME} built using CMake")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

# Component -> package name, section, description (the first line is the synopsis).
set(ORVALIS_DEB_PACKAGES ${CPACK_COMPONENTS_ALL})
set(runtime_package "liborvalis${PROJECT_VERSION_MAJOR}")
set(runtime_description "client library for a payment service's merchant web operations
Orvalis signs and sends the six merchant web operations of a payment service
(pairing, pre-checkout data, express checkout, payment data) over HTTPS, and
converts between XML and JSON.
.
This package holds the shared C++ library.")
set(c_runtime_package "liborvalisc${PROJECT_VERSION_MAJOR}")
set(c_runtime_description "C interface of the Orvalis merchant operations library
Orvalis signs and sends the six merchant web operations of a payment service
over HTTPS, and converts between XML and JSON.
.
This package holds libOrvalisC, the C interface as a shared library of its
own, for C programs and for languages that load it at run time (Python's
ctypes, .NET, JNI).")
set(development_package liborvalis-dev)
set(development_section libdevel)
set(development_description "development files of the Orvalis merchant operations library
Orvalis signs and sends the six merchant web operations of a payment service
over HTTPS, and converts between XML and JSON.
.
This package holds the C++ and C headers, the CMake package (Orvalis::Orvalis,
Orvalis::C), the pkg-config files (orvalis, orvalis-c) and the sample
AuthorizePairing.xml template.")
set(tools_package orvalis-tools)
set(tools_section devel)
set(tools_description "command-line tools of the Orvalis merchant operations library
Orvalis signs and sends the six merchant web operations of a payment service
over HTTPS, and converts between XML and JSON.
.
This package holds orvalis-sign (signs a request as the library does, to
compare with what a server computed), orvalis-xml (the XML to JSON converter)
and orvalis-sandbox (a local merchant server for trying hosts out).")
set(python_package python3-orvalis)
set(python_section python)
set(python_description "Python interface of the Orvalis merchant operations library
Orvalis signs and sends the six merchant web operations of a payment service
over HTTPS, and converts between XML and JSON.
.
This package holds the Python 3 module orvalis: the six operations as methods
(and an asyncio client) and the XML converter, over libOrvalisC through
ctypes.")

# Every package carries the copyright file and a changelog in
# /usr/share/doc/<package>; they are for the packages only, not for
# `cmake --install`.
string(TIMESTAMP ORVALIS_DEB_DATE "%a, %d %b %Y %H:%M:%S +0000" UTC)
set(doc_dir "${PROJECT_BINARY_DIR}/debian")
file(WRITE "${doc_dir}/changelog"
  "orvalis (${PROJECT_VERSION}-${CPACK_DEBIAN_PACKAGE_RELEASE}) unstable; urgency=medium\n\n"
  "  * Orvalis ${PROJECT_VERSION}.\n\n -- ${ORVALIS_PACKAGE_CONTACT}  ${ORVALIS_DEB_DATE}\n")
execute_process(COMMAND gzip -9nc "${doc_dir}/changelog" OUTPUT_FILE "${doc_dir}/changelog.Debian.gz")
foreach(component IN LISTS ORVALIS_DEB_PACKAGES)
  string(TOUPPER "${component}" upper)
  set(CPACK_DEBIAN_${upper}_PACKAGE_NAME "${${component}_package}")
  set(CPACK_DEBIAN_${upper}_DESCRIPTION "${${component}_description}")
  if(${component}_section)
    set(CPACK_DEBIAN_${upper}_PACKAGE_SECTION "${${component}_section}")
  endif()
  install(FILES "${CMAKE_CURRENT_LIST_DIR}/debian/copyright" "${doc_dir}/changelog.Debian.gz"
          DESTINATION "${CMAKE_INSTALL_DATADIR}/doc/${${component}_package}" COMPONENT ${component} EXCLUDE_FROM_ALL)
endforeach()
# The libraries' packages tell ldconfig through its trigger, and only so: the
# postinst/postrm CPack adds to call it as well are taken out again.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_LIST_DIR}/debian/triggers")
set(CPACK_DEBIAN_C_RUNTIME_PACKAGE_CONTROL_EXTRA "${CMAKE_CURRENT_LIST_DIR}/debian/triggers")
# libpq is loaded when a journal names a PostgreSQL database, never linked: a suggestion only.
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SUGGESTS "libpq5")
set(CPACK_DEBIAN_C_RUNTIME_PACKAGE_SUGGESTS "libpq5")
set(CPACK_POST_BUILD_SCRIPTS "${CMAKE_CURRENT_LIST_DIR}/debian/drop-ldconfig-scripts.cmake")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS "libssl-dev, libcurl4-openssl-dev, libexpat1-dev, zlib1g-dev, libp11-kit-dev, libsqlite3-dev")
# Run-time dependencies as dpkg-shlibdeps reads them from the binaries; the
# libraries of the sibling packages are found in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS "${PROJECT_BINARY_DIR}/Orvalis")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
include(CPack)
