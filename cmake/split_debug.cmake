# Run by `cmake --install` for the debug component: writes the debug
# information of each binary in VORLAN_DEBUG_BINARIES to
# <prefix>/lib/debug/.build-id/<xx>/<rest>.debug, where gdb and other
# debuggers look for it by the binary's build ID. The packaged binaries
# themselves are stripped.
foreach(binary IN LISTS VORLAN_DEBUG_BINARIES)
  execute_process(COMMAND readelf -n "${binary}" OUTPUT_VARIABLE notes COMMAND_ERROR_IS_FATAL ANY)
  if(NOT notes MATCHES "Build ID: ([0-9a-f]+)")
    message(FATAL_ERROR "${binary} has no build ID to file its debug information under")
  endif()
  set(id "${CMAKE_MATCH_1}")
  string(SUBSTRING "${id}" 0 2 folder)
  string(SUBSTRING "${id}" 2 -1 name)
  set(destination "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}/lib/debug/.build-id/${folder}")
  file(MAKE_DIRECTORY "${destination}")
  execute_process(COMMAND objcopy --only-keep-debug --compress-debug-sections "${binary}" "${destination}/${name}.debug"
    COMMAND_ERROR_IS_FATAL ANY)
  file(CHMOD "${destination}/${name}.debug" PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endforeach()
