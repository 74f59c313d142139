# The connection layer: what a peer's bytes reach before anything else does. The targets test the
# transport's own (private) reader and handshake code, so they see its source folder.
set(transport_src ${CMAKE_SOURCE_DIR}/host/basetransport/src)

vireo_fuzz_target(framing SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/FramingFuzz.cpp
  DEPS basetransport basekit Boost::json)
vireo_fuzz_target(json SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/JsonFuzz.cpp
  DEPS basemarshal basetransport basekit Boost::json)
vireo_fuzz_target(handshake SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/HandshakeFuzz.cpp
  DEPS basetransport basekit Boost::json)

foreach(target framing json handshake)
  if(TARGET fuzz_${target})
    target_include_directories(fuzz_${target} PRIVATE ${transport_src})
  endif()
  if(TARGET fuzz_${target}_replay)
    target_include_directories(fuzz_${target}_replay PRIVATE ${transport_src})
  endif()
endforeach()
