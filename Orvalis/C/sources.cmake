# The C interface: its public headers (the operations; testing your integration), implemented over the C++ API.
orvalis_units(C orvalis orvalis_testing)
target_sources(orvalis PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/C/XMLConversion.cpp"
                               "${CMAKE_CURRENT_SOURCE_DIR}/C/Attempts.cpp"
                               "${CMAKE_CURRENT_SOURCE_DIR}/C/Testing.cpp"
                               "${CMAKE_CURRENT_SOURCE_DIR}/C/Signing.cpp"
                               "${CMAKE_CURRENT_SOURCE_DIR}/C/Transport.cpp")
