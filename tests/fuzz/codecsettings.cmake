vireo_fuzz_target(qt_atom_container
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/QtAtomContainerFuzz.cpp
  DEPS vireo_codecsettings)
