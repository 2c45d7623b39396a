# orvalis.pc, relocatable: the prefix is found relative to the .pc file itself,
# so `cmake --install --prefix <anywhere>` gives a working file.
set(ORVALIS_PC_DIR "${CMAKE_INSTALL_LIBDIR}/pkgconfig")
file(RELATIVE_PATH ORVALIS_PC_PREFIX_FROM_PCDIR "/prefix/${ORVALIS_PC_DIR}" "/prefix")
string(REGEX REPLACE "/$" "" ORVALIS_PC_PREFIX_FROM_PCDIR "${ORVALIS_PC_PREFIX_FROM_PCDIR}")
if(ORVALIS_PC_PREFIX_FROM_PCDIR STREQUAL "")
  set(ORVALIS_PC_PREFIX_FROM_PCDIR ".")
endif()
# The headers need C++20; the host picks its own -std (20 or later), so it is
# not forced here. A static library needs its dependencies on every host link
# line; `pkg-config --static` is no way to get them, as it also asks for the
# static forms of libcurl's own dependencies, which systems rarely have.
# A C program links with the C driver, which adds no C++ runtime: the static
# library names it on Libs, the shared one for `--static` only.
if(BUILD_SHARED_LIBS)
  set(ORVALIS_PC_REQUIRES_FIELD "Requires.private")
  set(ORVALIS_PC_CFLAGS "")
  set(ORVALIS_PC_LIBS "\nLibs.private: -l${ORVALIS_CXX_RUNTIME} -lm")
else()
  set(ORVALIS_PC_REQUIRES_FIELD "Requires")
  set(ORVALIS_PC_CFLAGS " -DORVALIS_STATIC_DEFINE")
  set(ORVALIS_PC_LIBS " -l${ORVALIS_CXX_RUNTIME} -lm")
  # dlopen, which loads libpq for a journal in PostgreSQL (in libc itself on newer systems).
  foreach(lib IN LISTS CMAKE_DL_LIBS)
    string(APPEND ORVALIS_PC_LIBS " -l${lib}")
  endforeach()
endif()
configure_file("${CMAKE_CURRENT_LIST_DIR}/orvalis.pc.in" "${PROJECT_BINARY_DIR}/orvalis.pc" @ONLY)
install(FILES "${PROJECT_BINARY_DIR}/orvalis.pc" DESTINATION "${ORVALIS_PC_DIR}")
# orvalis-c.pc: libOrvalisC, shared in every build, which carries its own dependencies.
if(TARGET orvalis_c)
  configure_file("${CMAKE_CURRENT_LIST_DIR}/orvalis-c.pc.in" "${PROJECT_BINARY_DIR}/orvalis-c.pc" @ONLY)
  install(FILES "${PROJECT_BINARY_DIR}/orvalis-c.pc" DESTINATION "${ORVALIS_PC_DIR}")
endif()
