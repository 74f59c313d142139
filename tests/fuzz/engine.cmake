vireo_fuzz_target(engine_open SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/EngineOpenFuzz.cpp
  DEPS vireo_engine vireo_samples)
