# The movie header reader behind the external references list (server/files): any bytes as a
# whole file.
vireo_fuzz_target(files SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/FilesFuzz.cpp DEPS vireo_movie_boxes)
# The alias record reader is internal to server/files.
if(VIREO_FUZZ)
  target_include_directories(fuzz_files PRIVATE ${PROJECT_SOURCE_DIR}/server/files/src)
else()
  target_include_directories(fuzz_files_replay PRIVATE ${PROJECT_SOURCE_DIR}/server/files/src)
endif()
