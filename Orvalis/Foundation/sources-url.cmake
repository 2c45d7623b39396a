# Splitting a URL into its parts (libcurl's URL parser), for the C interface's signer.
target_sources(orvalis PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/Foundation/detail/URLParts.cpp")
