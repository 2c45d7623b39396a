# Internal to the library (headers in detail/ are not installed): the local
# checks on a request's host and path ids, and answer content decoding.
target_sources(orvalis PRIVATE
  "${CMAKE_CURRENT_SOURCE_DIR}/Foundation/detail/RequestTarget.cpp"
  "${CMAKE_CURRENT_SOURCE_DIR}/Foundation/detail/ContentDecoder.cpp")
target_link_libraries(orvalis PRIVATE ZLIB::ZLIB)
