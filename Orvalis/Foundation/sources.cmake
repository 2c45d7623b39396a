orvalis_units(Foundation Export Value Error Log Bundle URLRequest Callbacks)
target_sources(orvalis PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/Foundation/detail/File.cpp")
