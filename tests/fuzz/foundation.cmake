vireo_fuzz_target(text SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/TextFuzz.cpp DEPS basekit Kino)
vireo_fuzz_target(records SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/RecordsFuzz.cpp
  DEPS VireoRecords basemarshal Boost::json)
