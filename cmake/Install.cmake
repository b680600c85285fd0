# Installing: both libraries with their SONAMEs and version links, the public
# headers, the `vorlan` tool, a CMake package (find_package(vorlan CONFIG)
# gives vorlan::sdk and vorlan::sdk2), pkg-config files and the Python
# package; CPack makes a Debian package of the same tree.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

# Where the Python package goes, relative to the prefix. Debian's python3
# searches /usr/lib/python3/dist-packages; other prefixes need PYTHONPATH.
set(VORLAN_PYTHON_INSTALL_DIR "lib/python3/dist-packages" CACHE STRING
  "Directory of the installed Python package, relative to the prefix")
set(VORLAN_CMAKE_INSTALL_DIR "${CMAKE_INSTALL_LIBDIR}/cmake/vorlan")

# Clients of the installed libraries find the headers under the prefix; in
# the build tree the headers stay where they are.
foreach(library vorlan_sdk vorlan_sdk2)
  set_target_properties(${library} PROPERTIES INTERFACE_INCLUDE_DIRECTORIES
    "$<BUILD_INTERFACE:${CMAKE_SOURCE_DIR}/include>;$<INSTALL_INTERFACE:${CMAKE_INSTALL_INCLUDEDIR}>")
endforeach()
set_target_properties(vorlan_sdk PROPERTIES EXPORT_NAME sdk)
set_target_properties(vorlan_sdk2 PROPERTIES EXPORT_NAME sdk2)
# The second library loads the first at run time from its own directory, so
# both always go to the same place.
# The inline helpers of vorlan_sdk.h (positions in metres) call sqrt: clients
# link the maths library.
target_link_libraries(vorlan_sdk INTERFACE m)
# Each library is a runtime component of its own (one Debian package per
# SONAME); the unversioned link that only builds need goes with the headers.
install(TARGETS vorlan_sdk EXPORT vorlan_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sdk1 NAMELINK_COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sdk1)
install(TARGETS vorlan_sdk2 EXPORT vorlan_targets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} COMPONENT sdk2 NAMELINK_COMPONENT dev
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT sdk2)
# Clients include the two C headers, and may use the C++ helper for metric
# positions; the other headers under include/vorlan_sdk_impl/ are the first
# library's internals and are not installed.
install(FILES include/vorlan_sdk.h include/vorlan_sdk2.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR} COMPONENT dev)
install(FILES include/vorlan_sdk_impl/point_geometry.hpp
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR}/vorlan_sdk_impl COMPONENT dev)
# The tool finds the second library (and through it the first) in the
# installed library folder.
set_target_properties(vorlan PROPERTIES INSTALL_RPATH "$ORIGIN/../${CMAKE_INSTALL_LIBDIR}")
install(TARGETS vorlan RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT tools)

install(EXPORT vorlan_targets NAMESPACE vorlan:: FILE vorlan-targets.cmake
  DESTINATION ${VORLAN_CMAKE_INSTALL_DIR} COMPONENT dev)
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/vorlan-config.cmake.in
  ${CMAKE_BINARY_DIR}/cmake/vorlan-config.cmake
  INSTALL_DESTINATION ${VORLAN_CMAKE_INSTALL_DIR})
# The package's version is the first library's; the second library's own
# version is in its file names and SONAME.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/cmake/vorlan-config-version.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/cmake/vorlan-config.cmake ${CMAKE_BINARY_DIR}/cmake/vorlan-config-version.cmake
  DESTINATION ${VORLAN_CMAKE_INSTALL_DIR} COMPONENT dev)

# pkg-config files hold paths relative to ${pcfiledir}, so an installed tree
# that is moved (or unpacked from the Debian package elsewhere) still works.
file(RELATIVE_PATH VORLAN_PC_TO_PREFIX
  "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" VORLAN_PC_TO_PREFIX "${VORLAN_PC_TO_PREFIX}")
if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
  set(VORLAN_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
else()
  set(VORLAN_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
endif()
set(VORLAN_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
set(VORLAN_SDK_PC_VERSION ${PROJECT_VERSION})
configure_file(${CMAKE_SOURCE_DIR}/cmake/vorlan_sdk.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/vorlan_sdk.pc @ONLY)
configure_file(${CMAKE_SOURCE_DIR}/cmake/vorlan_sdk2.pc.in ${CMAKE_BINARY_DIR}/pkgconfig/vorlan_sdk2.pc @ONLY)
install(FILES ${CMAKE_BINARY_DIR}/pkgconfig/vorlan_sdk.pc ${CMAKE_BINARY_DIR}/pkgconfig/vorlan_sdk2.pc
  DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig COMPONENT dev)

# The Python package finds the libraries next to itself through the relative
# path written into _install_location.py.
file(RELATIVE_PATH VORLAN_PYTHON_TO_LIBDIR
  "/prefix/${VORLAN_PYTHON_INSTALL_DIR}/vorlan" "/prefix/${CMAKE_INSTALL_LIBDIR}")
configure_file(${CMAKE_SOURCE_DIR}/cmake/_install_location.py.in
  ${CMAKE_BINARY_DIR}/python/_install_location.py @ONLY)
install(DIRECTORY python/vorlan DESTINATION ${VORLAN_PYTHON_INSTALL_DIR} COMPONENT python
  PATTERN "__pycache__" EXCLUDE PATTERN "_install_location.py" EXCLUDE)
install(FILES ${CMAKE_BINARY_DIR}/python/_install_location.py DESTINATION ${VORLAN_PYTHON_INSTALL_DIR}/vorlan
  COMPONENT python)

include(${CMAKE_CURRENT_LIST_DIR}/DebianPackages.cmake)
