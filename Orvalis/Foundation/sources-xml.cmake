# JSON reading/writing and the XML event source.
orvalis_units(Foundation JSONSerialization XMLEventSource ParseResult)

# Header-only and private: used through its include directory only (which
# may well be the compiler's default one already).
find_package(RapidJSON CONFIG REQUIRED)
foreach(dir IN LISTS RAPIDJSON_INCLUDE_DIRS)
  if(NOT dir IN_LIST CMAKE_CXX_IMPLICIT_INCLUDE_DIRECTORIES)
    target_include_directories(orvalis SYSTEM PRIVATE "${dir}")
  endif()
endforeach()
