orvalis_units(Foundation URLSession)
target_sources(orvalis PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/Foundation/detail/TransferSupport.cpp")
