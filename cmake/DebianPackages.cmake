# Debian packages, one per concern, as Debian names them:
#   libvorlan-sdk1       the first library (SONAME libvorlan_sdk.so.1)
#   libvorlan-sdk2-23    the second library (SONAME libvorlan_sdk2.so.23)
#   libvorlan-sdk-dev    headers, unversioned links, CMake package, pkg-config files
#   vorlan-tools         the vorlan tool and its manual page
#   python3-vorlan       the Python package
#   vorlan-sdk-dbg       the debug information of the libraries and the tool
# Binaries are stripped; their debug information goes to vorlan-sdk-dbg.
# Each package carries its copyright file and changelog.

set(VORLAN_DEB_SDK1 libvorlan-sdk1)
set(VORLAN_DEB_SDK2 libvorlan-sdk2-23)
set(VORLAN_DEB_DEV libvorlan-sdk-dev)
set(VORLAN_DEB_TOOLS vorlan-tools)
set(VORLAN_DEB_PYTHON python3-vorlan)
set(VORLAN_DEB_DBG vorlan-sdk-dbg)

# The changelog, compressed as Debian's tools do it: -9, no name or time in
# the gzip header, so the packages are reproducible.
configure_file(${CMAKE_CURRENT_LIST_DIR}/debian/changelog.in ${CMAKE_BINARY_DIR}/debian/changelog @ONLY)
add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/changelog.gz
  COMMAND gzip -9nc ${CMAKE_BINARY_DIR}/debian/changelog > ${CMAKE_BINARY_DIR}/debian/changelog.gz
  DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog VERBATIM)
set(VORLAN_DEB_DOC_FILES ${CMAKE_BINARY_DIR}/debian/changelog.gz)

# The tool's manual page, made from its own --help and --version by
# help2man, so it cannot drift from the tool.
find_program(VORLAN_HELP2MAN help2man)
if(VORLAN_HELP2MAN AND NOT VORLAN_SANITIZE AND NOT VORLAN_FUZZ)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/debian/vorlan.1.gz
    COMMAND ${VORLAN_HELP2MAN} --no-info --section=1 --source=Vorlan
      "--name=replay, record, check and convert Vorlan lidar captures"
      --output=${CMAKE_BINARY_DIR}/debian/vorlan.1 $<TARGET_FILE:vorlan>
    COMMAND gzip -9nf ${CMAKE_BINARY_DIR}/debian/vorlan.1
    DEPENDS vorlan VERBATIM)
  add_custom_target(vorlan_manual ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/vorlan.1.gz)
  install(FILES ${CMAKE_BINARY_DIR}/debian/vorlan.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT tools)
endif()
add_custom_target(vorlan_changelog ALL DEPENDS ${CMAKE_BINARY_DIR}/debian/changelog.gz)

# The debug information, only for the package (a plain install keeps the
# binaries whole instead).
install(CODE "set(VORLAN_DEBUG_BINARIES \"$<TARGET_FILE:vorlan_sdk>;$<TARGET_FILE:vorlan_sdk2>;$<TARGET_FILE:vorlan>\")
include(\"${CMAKE_CURRENT_LIST_DIR}/split_debug.cmake\")" COMPONENT dbg EXCLUDE_FROM_ALL)

foreach(component sdk1 sdk2 dev tools python dbg)
  string(TOUPPER ${component} upper)
  install(FILES ${CMAKE_CURRENT_LIST_DIR}/debian/copyright ${VORLAN_DEB_DOC_FILES}
    DESTINATION ${CMAKE_INSTALL_DATAROOTDIR}/doc/${VORLAN_DEB_${upper}} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME vorlan-sdk)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "Vorlan")
set(CPACK_PACKAGE_CONTACT "Vorlan SDK developers <sdk@vorlan.example.com>")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL sdk1 sdk2 dev tools python dbg)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# Our own libraries, which the tool needs, are found in the build tree.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS_PRIVATE_DIRS ${CMAKE_BINARY_DIR})
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_STRIP_FILES ON)
# Packages that hold a shared library say how to depend on it (shlibs) and
# let ldconfig run once per installation (its trigger).
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)

set(CPACK_DEBIAN_SDK1_PACKAGE_NAME ${VORLAN_DEB_SDK1})
set(CPACK_DEBIAN_SDK1_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_SDK1_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
set(CPACK_COMPONENT_SDK1_DESCRIPTION "Vorlan lidar SDK, first-generation library
The first-generation library of the Vorlan lidar SDK: receives and replays
sensor traffic, decodes and calibrates points, cuts frames and hands them
to the client through a C interface.")

set(CPACK_DEBIAN_SDK2_PACKAGE_NAME ${VORLAN_DEB_SDK2})
set(CPACK_DEBIAN_SDK2_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_SDK2_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/debian/triggers)
# Legacy translation loads the first library from the same folder.
set(CPACK_DEBIAN_SDK2_PACKAGE_RECOMMENDS "${VORLAN_DEB_SDK1} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_SDK2_DESCRIPTION "Vorlan lidar SDK, second-generation library
The second-generation library of the Vorlan lidar SDK: a parser chain fed
by UDP, a relay and capture replays, with point and frame listeners, a
frame aggregator and FIFO; it translates first-generation sensors through
the first library.")

set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${VORLAN_DEB_DEV})
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_DEV_DEPENDS sdk1 sdk2)
set(CPACK_COMPONENT_DEV_DESCRIPTION "Vorlan lidar SDK, development files
Headers of both libraries, their unversioned links, a CMake package
(find_package(vorlan) gives vorlan::sdk and vorlan::sdk2) and pkg-config
files (vorlan_sdk, vorlan_sdk2).")

set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME ${VORLAN_DEB_TOOLS})
set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION science)
set(CPACK_COMPONENT_TOOLS_DEPENDS sdk1 sdk2)
set(CPACK_COMPONENT_TOOLS_DESCRIPTION "Vorlan lidar SDK, command-line tool
The vorlan tool replays, records, checks, converts, exports and renders
Vorlan lidar captures and live traffic with either library, and simulates
a fleet of sensors.")

set(CPACK_DEBIAN_PYTHON_PACKAGE_NAME ${VORLAN_DEB_PYTHON})
set(CPACK_DEBIAN_PYTHON_PACKAGE_SECTION python)
set(CPACK_DEBIAN_PYTHON_PACKAGE_ARCHITECTURE all)
set(CPACK_DEBIAN_PYTHON_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEBUGINFO_PACKAGE OFF)
set(CPACK_COMPONENT_PYTHON_DEPENDS sdk1 sdk2)
set(CPACK_DEBIAN_PYTHON_PACKAGE_DEPENDS "python3, python3-numpy")
set(CPACK_COMPONENT_PYTHON_DESCRIPTION "Vorlan lidar SDK, Python package
Frames of captures and live sensors from either library of the Vorlan
lidar SDK as numpy arrays.")

set(CPACK_DEBIAN_DBG_PACKAGE_NAME ${VORLAN_DEB_DBG})
set(CPACK_DEBIAN_DBG_PACKAGE_SECTION debug)
set(CPACK_DEBIAN_DBG_PACKAGE_SHLIBDEPS OFF)
set(CPACK_DEBIAN_DBG_PACKAGE_DEPENDS
  "${VORLAN_DEB_SDK1} (= ${PROJECT_VERSION}), ${VORLAN_DEB_SDK2} (= ${PROJECT_VERSION}), ${VORLAN_DEB_TOOLS} (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_DBG_DESCRIPTION "Vorlan lidar SDK, debug information
Debug information of both libraries and the vorlan tool, found by
debuggers through the binaries' build IDs.")

include(CPack)
