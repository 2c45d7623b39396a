# Platform facts the Foundation layer adapts to.
include(CheckCXXSymbolExists)
check_cxx_symbol_exists(arc4random_uniform "stdlib.h" ORVALIS_HAVE_ARC4RANDOM_UNIFORM)
if(ORVALIS_HAVE_ARC4RANDOM_UNIFORM)
  target_compile_definitions(orvalis PRIVATE ORVALIS_HAVE_ARC4RANDOM_UNIFORM)
endif()
