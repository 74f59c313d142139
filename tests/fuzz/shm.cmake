# Shared data: the "crossprocess." messages a peer sends, and the headers of the blocks and
# frames a peer names.
if(TARGET crossprocess AND TARGET Pix)
  vireo_fuzz_target(shm_messages SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ShmMessagesFuzz.cpp
    DEPS crossprocess basetransport)
  vireo_fuzz_target(shm_block SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ShmBlockFuzz.cpp
    DEPS crossprocess Pix basetransport)
  # Both reach the library's inner parts (the router, the segment checks).
  foreach(target fuzz_shm_messages fuzz_shm_messages_replay fuzz_shm_block fuzz_shm_block_replay)
    if(TARGET ${target})
      target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR}/host/crossprocess/src)
    endif()
  endforeach()
endif()
