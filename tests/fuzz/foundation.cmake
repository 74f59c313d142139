vireo_fuzz_target(text SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/TextFuzz.cpp DEPS basekit Kino)
