# XML to Dictionary conversion, node accessors and XML writing.
orvalis_units(Utils XMLParser XMLTree)
# XML 1.0 name and character classes, for the writer's checks.
target_sources(orvalis PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/Utils/detail/XMLChars.cpp")
