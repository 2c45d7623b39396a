# The C interface: one public header, implemented over the C++ API.
orvalis_units(C orvalis)
target_sources(orvalis PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/C/XMLConversion.cpp"
                               "${CMAKE_CURRENT_SOURCE_DIR}/C/Attempts.cpp"
                               "${CMAKE_CURRENT_SOURCE_DIR}/C/Signing.cpp")
