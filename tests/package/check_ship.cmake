# cmake -DSHIP_DIR= -DBIN_DIR= -DSIM_DIR= -DSTRIP= -P check_ship.cmake
set(expected README.txt Vifnet64U.dll Vifnet64U.lib WrenPack64U.dll libVifnet64U.dll.a vifnet32.h)
file(GLOB_RECURSE found RELATIVE "${SHIP_DIR}" "${SHIP_DIR}/*")
list(SORT found)
if(NOT found STREQUAL expected)
  message(FATAL_ERROR "ship folder holds:\n  ${found}\nexpected:\n  ${expected}")
endif()

# The real driver, as built into bin/, not the simulated one of sim/ (same file name): the
# shipped DLLs are bin/'s with the debug information stripped.
foreach(dll Vifnet64U.dll WrenPack64U.dll)
  file(COPY_FILE "${BIN_DIR}/${dll}" "${SHIP_DIR}.check-${dll}")
  execute_process(COMMAND "${STRIP}" --strip-debug "${SHIP_DIR}.check-${dll}" RESULT_VARIABLE failed)
  file(SHA256 "${SHIP_DIR}.check-${dll}" built)
  file(REMOVE "${SHIP_DIR}.check-${dll}")
  file(SHA256 "${SHIP_DIR}/${dll}" shipped)
  if(failed OR NOT shipped STREQUAL built)
    message(FATAL_ERROR "${dll} in the ship folder is not the one in ${BIN_DIR}, stripped")
  endif()
endforeach()
file(SHA256 "${SIM_DIR}/WrenPack64U.dll" simulated)
if(shipped STREQUAL simulated)
  message(FATAL_ERROR "the ship folder holds the simulated packet driver")
endif()

# An import library is an archive whose members name the DLL they import from.
file(READ "${SHIP_DIR}/Vifnet64U.lib" lib LIMIT 8)
file(STRINGS "${SHIP_DIR}/Vifnet64U.lib" names REGEX "Vifnet64U\\.dll|vifnet32_open_ex")
if(NOT lib STREQUAL "!<arch>\n" OR NOT names MATCHES "Vifnet64U\\.dll" OR NOT names MATCHES "vifnet32_open_ex")
  message(FATAL_ERROR "Vifnet64U.lib is not an import library of Vifnet64U.dll")
endif()
