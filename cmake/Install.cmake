# Installing the library like any other C++ library: `cmake --install` to any prefix, the CMake
# package (find_package(VireoClient)), the pkg-config file, the man page of `vireo` and the Debian
# packages (`cpack -G DEB`). Included from the top-level CMakeLists.txt once every target exists;
# it names the targets it installs, so the per-folder CMakeLists.txt files need nothing for it.
# The layout and its reasons are in docs/packaging.md.
if(NOT TARGET VireoClient)
  return()
endif()

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# 0.x releases may change the binary interface with every minor version, so the soname carries
# both numbers: libVireoClient.so.0.1.
set(VIREO_SOVERSION "${PROJECT_VERSION_MAJOR}.${PROJECT_VERSION_MINOR}")
# The host-library headers have short generic folder names (basekit/, Orb/, ...): all public
# headers live under one folder of their own, include/vireo/.
set(VIREO_INSTALL_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}/vireo")
# The server and the codec settings dialog program are not for users to run.
set(VIREO_INSTALL_PROGRAMDIR "${CMAKE_INSTALL_LIBEXECDIR}/vireo")
set(VIREO_INSTALL_CMAKEDIR "${CMAKE_INSTALL_LIBDIR}/cmake/VireoClient")

# The host libraries whose headers the public headers include (the consumer links them), and the
# ones only the library and the server use.
set(vireo_public_host_libraries basekit Orb basemediatypes Kino)
set(vireo_private_host_libraries Apphost basetransport basemarshal hostlink crossprocess Pix)

# Relative paths between install folders, so that an installed tree can be moved or installed
# with `cmake --install --prefix` anywhere.
function(vireo_relative_path out from to)
  file(RELATIVE_PATH rel "/root/${from}" "/root/${to}")
  string(REGEX REPLACE "/$" "" rel "${rel}")
  if(rel STREQUAL "")
    set(rel ".")
  endif()
  set(${out} "${rel}" PARENT_SCOPE)
endfunction()
vireo_relative_path(vireo_bin_to_lib "${CMAKE_INSTALL_BINDIR}" "${CMAKE_INSTALL_LIBDIR}")
vireo_relative_path(vireo_programs_to_lib "${VIREO_INSTALL_PROGRAMDIR}" "${CMAKE_INSTALL_LIBDIR}")
vireo_relative_path(vireo_lib_to_programs "${CMAKE_INSTALL_LIBDIR}" "${VIREO_INSTALL_PROGRAMDIR}")
vireo_relative_path(vireo_pc_to_prefix "${CMAKE_INSTALL_LIBDIR}/pkgconfig" ".")

# The library finds the installed server relative to its own file.
target_compile_definitions(VireoClientObjects
  PRIVATE "VIREO_SERVER_DIRECTORY_FROM_LIBRARY=\"${vireo_lib_to_programs}\"")

# ---- Libraries -------------------------------------------------------------------------------
foreach(lib VireoClient ${vireo_public_host_libraries} ${vireo_private_host_libraries})
  set_target_properties(${lib} PROPERTIES
    VERSION ${PROJECT_VERSION}
    SOVERSION ${VIREO_SOVERSION}
    INSTALL_RPATH "$ORIGIN")
endforeach()

# Wraps each entry of a target's property in $<BUILD_INTERFACE:...>: used in the build tree as
# before, left out of the installed package.
function(vireo_build_interface_only target property)
  get_target_property(values ${target} ${property})
  if(NOT values)
    return()
  endif()
  set(wrapped "")
  foreach(value IN LISTS values)
    if(value MATCHES "^\\$<")
      list(APPEND wrapped "${value}")
    else()
      list(APPEND wrapped "$<BUILD_INTERFACE:${value}>")
    endif()
  endforeach()
  set_property(TARGET ${target} PROPERTY ${property} "${wrapped}")
endfunction()

# Include folders point into the source tree while building and at include/vireo once installed.
foreach(lib VireoClient ${vireo_public_host_libraries} ${vireo_private_host_libraries})
  vireo_build_interface_only(${lib} INTERFACE_INCLUDE_DIRECTORIES)
endforeach()
# The private host libraries are in the package only because the linker of a host needs to know
# them as dependencies of libVireoClient.so; nothing links them directly, so their own link
# interface (Boost.JSON, ...) stays out of it.
foreach(lib ${vireo_private_host_libraries})
  vireo_build_interface_only(${lib} INTERFACE_LINK_LIBRARIES)
endforeach()

install(TARGETS VireoClient ${vireo_public_host_libraries}
  EXPORT VireoClientTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
    COMPONENT runtime
    NAMELINK_COMPONENT development
  INCLUDES DESTINATION ${VIREO_INSTALL_INCLUDEDIR})
# Loaded by the library and the server only: no link-time name (libX.so) for these.
install(TARGETS ${vireo_private_host_libraries}
  EXPORT VireoClientTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT runtime NAMELINK_SKIP)

install(DIRECTORY ${PROJECT_SOURCE_DIR}/include/
  DESTINATION ${VIREO_INSTALL_INCLUDEDIR} COMPONENT development FILES_MATCHING PATTERN "*.h")
foreach(lib ${vireo_public_host_libraries})
  install(DIRECTORY ${PROJECT_SOURCE_DIR}/host/${lib}/include/
    DESTINATION ${VIREO_INSTALL_INCLUDEDIR} COMPONENT development FILES_MATCHING PATTERN "*.h")
endforeach()

# ---- Programs --------------------------------------------------------------------------------
if(TARGET vireo)
  set_target_properties(vireo PROPERTIES INSTALL_RPATH "$ORIGIN/${vireo_bin_to_lib}")
  install(TARGETS vireo RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT runtime)
endif()
foreach(program vireo_server vireo-codec-settings)
  if(TARGET ${program})
    set_target_properties(${program} PROPERTIES INSTALL_RPATH "$ORIGIN/${vireo_programs_to_lib}")
    install(TARGETS ${program} RUNTIME DESTINATION ${VIREO_INSTALL_PROGRAMDIR} COMPONENT runtime)
  endif()
endforeach()

# The man page of vireo, made from its help texts when help2man is there.
find_program(HELP2MAN_PROGRAM help2man)
if(TARGET vireo AND HELP2MAN_PROGRAM AND NOT VIREO_FUZZ)
  set(vireo_man_page ${CMAKE_BINARY_DIR}/man/vireo.1.gz)
  # In a sanitizer build a leak report at the exit of `vireo --help` would fail the build: the
  # help texts are all that is wanted here.
  add_custom_command(OUTPUT ${vireo_man_page}
    COMMAND ${CMAKE_COMMAND} -E env ASAN_OPTIONS=detect_leaks=0
            ${CMAKE_COMMAND} -DVIREO=$<TARGET_FILE:vireo> -DHELP2MAN=${HELP2MAN_PROGRAM}
            -DVERSION=${PROJECT_VERSION} -DOUTPUT=${vireo_man_page}
            -P ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
    DEPENDS vireo ${PROJECT_SOURCE_DIR}/cmake/ManPage.cmake
    COMMENT "Writing the man page of vireo"
    VERBATIM)
  add_custom_target(vireo_man_page ALL DEPENDS ${vireo_man_page})
  install(FILES ${vireo_man_page} DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT runtime)
elseif(TARGET vireo AND NOT HELP2MAN_PROGRAM)
  message(STATUS "help2man not found: no man page for vireo (scripts/install-deps.sh installs it)")
endif()

# ---- CMake package and pkg-config file -------------------------------------------------------
install(EXPORT VireoClientTargets
  NAMESPACE VireoClient::
  DESTINATION ${VIREO_INSTALL_CMAKEDIR}
  COMPONENT development)
set(VIREO_BOOST_VERSION "${Boost_VERSION}")
configure_package_config_file(${PROJECT_SOURCE_DIR}/cmake/VireoClientConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/VireoClientConfig.cmake
  INSTALL_DESTINATION ${VIREO_INSTALL_CMAKEDIR})
# Before 1.0 a minor version may break the interface: 0.1 accepts 0.1.x only.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/VireoClientConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_BINARY_DIR}/package/VireoClientConfig.cmake
  ${CMAKE_BINARY_DIR}/package/VireoClientConfigVersion.cmake
  DESTINATION ${VIREO_INSTALL_CMAKEDIR}
  COMPONENT development)

configure_file(${PROJECT_SOURCE_DIR}/cmake/vireoclient.pc.in
  ${CMAKE_BINARY_DIR}/package/vireoclient.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/package/vireoclient.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig
  COMPONENT development)

# ---- Debian packages: cpack -G DEB -----------------------------------------------------------
# Two packages, as Debian splits libraries: vireoclient (libraries, programs, man page) and
# vireoclient-dev (headers, link names, CMake package, pkg-config file).
set(CPACK_PACKAGE_NAME vireoclient)
set(CPACK_PACKAGE_VENDOR "VireoClient developers")
set(CPACK_PACKAGE_CONTACT "VireoClient developers <vireoclient@localhost>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Client library of a media engine that runs in a separate server process")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_BINARY_DIR}/packages)
set(CPACK_GENERATOR DEB)
# The packages carry no debugging information (the build type may be RelWithDebInfo).
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME vireoclient)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
# The programs and the library find each other's libraries inside the package.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS
  "${CMAKE_BINARY_DIR}/lib")
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME vireoclient-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
# The public headers include Boost's.
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_DEPENDS
  "vireoclient (= ${PROJECT_VERSION}), libboost${Boost_VERSION_MAJOR}.${Boost_VERSION_MINOR}-dev")
include(CPack)
