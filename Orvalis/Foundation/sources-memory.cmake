# Wiping copies of secrets.
target_sources(orvalis PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/Foundation/detail/SecureMemory.cpp")
