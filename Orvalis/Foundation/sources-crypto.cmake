orvalis_units(Foundation CryptoDigest CryptoKey)
# Internal to the crypto adapters: not a public header.
target_sources(orvalis PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/Foundation/detail/CryptoContext.cpp")
