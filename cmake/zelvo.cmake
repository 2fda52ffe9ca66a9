# zelvo_library(<name> [DEPS <targets>...])
# A static library from every .cpp in the calling folder. A folder with no
# sources yet becomes an interface library, so dependents configure anyway.
function(zelvo_library name)
  cmake_parse_arguments(ARG "" "" "DEPS" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  if(sources)
    add_library(${name} STATIC ${sources})
    target_include_directories(${name} PUBLIC ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} PUBLIC ${ARG_DEPS} Threads::Threads)
  else()
    add_library(${name} INTERFACE)
    target_include_directories(${name} INTERFACE ${PROJECT_SOURCE_DIR})
    target_link_libraries(${name} INTERFACE ${ARG_DEPS} Threads::Threads)
  endif()
endfunction()

# zelvo_test(<name> [LIBS <targets>...] [PROPERTIES <name> <value>...])
# One GoogleTest executable from every .cpp in the calling folder; PROPERTIES
# are set on each of its tests (e.g. RESOURCE_LOCK for fixed ports).
function(zelvo_test name)
  cmake_parse_arguments(ARG "" "" "LIBS;PROPERTIES" ${ARGN})
  file(GLOB sources CONFIGURE_DEPENDS "${CMAKE_CURRENT_SOURCE_DIR}/*.cpp")
  if(NOT sources)
    return()
  endif()
  add_executable(${name} ${sources})
  target_link_libraries(${name} PRIVATE ${ARG_LIBS} GTest::gtest GTest::gtest_main GTest::gmock)
  target_compile_definitions(${name} PRIVATE
    ZELVO_SOURCE_DIR="${PROJECT_SOURCE_DIR}"
    ZELVO_BINARY_DIR="${PROJECT_BINARY_DIR}")
  gtest_discover_tests(${name} DISCOVERY_MODE PRE_TEST
    WORKING_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}
    PROPERTIES TIMEOUT 600 ${ARG_PROPERTIES})
endfunction()
