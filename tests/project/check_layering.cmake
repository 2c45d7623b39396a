# Everything above the Foundation layer must build on any platform with a
# C++20 compiler: it may include only the C++ standard library (and, in the C
# interface's header, the C one's) and the library's own headers. Fails naming each file that includes anything else
# (a C library's header, a POSIX or system header, a dependency's header).
# And includes run down the floors only: a folder includes its own floor's headers
# and those of the floors below it, never one above (Foundation, Utils, Networking,
# ServiceModules, ServiceInfrastructure, C, from the bottom up).
# Variables: SOURCE_DIR
cmake_minimum_required(VERSION 3.23)

set(standard_headers
  algorithm any array atomic barrier bit bitset cassert cctype cerrno cfenv cfloat charconv chrono cinttypes
  climits clocale cmath codecvt compare complex concepts condition_variable coroutine csetjmp csignal cstdarg
  cstddef cstdint cstdio cstdlib cstring ctime cuchar cwchar cwctype deque exception execution filesystem
  format forward_list fstream functional future initializer_list iomanip ios iosfwd iostream istream iterator
  latch limits list locale map memory memory_resource mutex new numbers numeric optional ostream queue random
  ranges ratio regex scoped_allocator semaphore set shared_mutex source_location span sstream stack
  stdexcept stop_token streambuf string string_view syncstream system_error thread tuple type_traits typeindex
  typeinfo unordered_map unordered_set utility valarray variant vector version
  stddef.h stdint.h)  # the C standard library's, for the C interface's header

set(floors Foundation Utils Networking ServiceModules ServiceInfrastructure C)
file(GLOB_RECURSE sources "${SOURCE_DIR}/Orvalis/*.h" "${SOURCE_DIR}/Orvalis/*.cpp")
set(failures "")
set(checked 0)
foreach(source IN LISTS sources)
  file(RELATIVE_PATH rel "${SOURCE_DIR}" "${source}")
  string(REGEX MATCH "^Orvalis/([^/]+)/" _ "${rel}")
  list(FIND floors "${CMAKE_MATCH_1}" own_floor)
  file(STRINGS "${source}" lines REGEX "^[ \t]*#[ \t]*include")
  foreach(line IN LISTS lines)
    if(line MATCHES "include[ \t]*<Orvalis/([^/>]+)/")
      list(FIND floors "${CMAKE_MATCH_1}" floor)
      if(floor GREATER own_floor)
        string(APPEND failures "${rel}: ${line}: includes a floor above its own\n")
      endif()
    endif()
    if(rel MATCHES "^Orvalis/Foundation/")
      continue()
    endif()
    math(EXPR checked "${checked} + 1")
    if(line MATCHES "include[ \t]*<([^>]+)>")
      set(header "${CMAKE_MATCH_1}")
      if(header MATCHES "^Orvalis/" AND EXISTS "${SOURCE_DIR}/${header}")
        continue()
      endif()
      get_filename_component(stem "${header}" NAME_WE)
      if(header MATCHES "^Orvalis/[^/]+\\.h$" AND EXISTS "${SOURCE_DIR}/cmake/${stem}.h.in")
        continue()  # generated at configure time (the version header)
      endif()
      list(FIND standard_headers "${header}" at)
      if(NOT at EQUAL -1)
        continue()
      endif()
      string(APPEND failures "${rel}: ${line}: neither the standard library nor the library's own header\n")
    else()
      string(APPEND failures "${rel}: ${line}: write <Orvalis/...> or a standard header\n")
    endif()
  endforeach()
endforeach()

if(failures)
  message(FATAL_ERROR "Only Foundation may use platform or third-party headers, and includes run down the floors:\n${failures}")
endif()
if(checked EQUAL 0)
  message(FATAL_ERROR "no include found under ${SOURCE_DIR}/Orvalis: wrong source directory?")
endif()
message(STATUS "${checked} includes above Foundation are portable")
