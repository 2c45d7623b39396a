# The lookup table of wide dictionaries.
target_sources(orvalis PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/Foundation/detail/DictIndex.cpp")
