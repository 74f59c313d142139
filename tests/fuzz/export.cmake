vireo_fuzz_target(codec_settings
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/CodecSettingsFuzz.cpp
  DEPS vireo_export)
