# The perceptual hash builds with g++ only, so the fuzz build takes it from a
# separate g++ build, uninstrumented. No fuzz target calls into it; the
# library is there because objects the targets link refer to it.
include(ExternalProject)
set(PDQ_GCC_BINARY_DIR ${CMAKE_BINARY_DIR}/pdq_gcc)
set(PDQ_GCC_LIBRARY ${PDQ_GCC_BINARY_DIR}/pdq/${CMAKE_STATIC_LIBRARY_PREFIX}pdq${CMAKE_STATIC_LIBRARY_SUFFIX})
ExternalProject_Add(pdq_gcc
  SOURCE_DIR ${CMAKE_SOURCE_DIR}/fuzz/pdq_gcc
  BINARY_DIR ${PDQ_GCC_BINARY_DIR}
  CMAKE_ARGS -DCMAKE_CXX_COMPILER=g++ -DCMAKE_BUILD_TYPE=RelWithDebInfo
             -DPDQ_SOURCE_DIR=${CMAKE_SOURCE_DIR}/libs/pdq
  INSTALL_COMMAND ""
  BUILD_ALWAYS ON
  BUILD_BYPRODUCTS ${PDQ_GCC_LIBRARY})
add_library(pdq STATIC IMPORTED GLOBAL)
set_target_properties(pdq PROPERTIES
  IMPORTED_LOCATION ${PDQ_GCC_LIBRARY}
  INTERFACE_INCLUDE_DIRECTORIES ${CMAKE_SOURCE_DIR}/libs/pdq/include)
add_dependencies(pdq pdq_gcc)
