orvalis_units(ServiceInfrastructure Operation Client Answerer)
target_sources(orvalis PRIVATE "${CMAKE_CURRENT_SOURCE_DIR}/ServiceInfrastructure/detail/RetryRules.cpp")
