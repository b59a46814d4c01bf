# Installation: header, libraries, pkg-config file and CMake package.
#
# The library and the real packet driver go to the same directory: the library finds the driver
# beside itself through its $ORIGIN run path, in the build tree's bin/ and in an installed tree
# alike (both are built with their install run path, so installing copies them unchanged).
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VIFNET_CMAKE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/Vifnet)

# The driver is in the export set only because the library links it: a consumer's linker must
# find it (-rpath-link) when it links the library.
install(TARGETS wrenpack EXPORT VifnetTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(TARGETS vifnet EXPORT VifnetTargets
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR}
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/include/vifnet32.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES ${PROJECT_SOURCE_DIR}/examples/tun_echo.c ${PROJECT_SOURCE_DIR}/examples/vifnet_info.c
  DESTINATION ${CMAKE_INSTALL_DOCDIR}/examples)

install(EXPORT VifnetTargets NAMESPACE Vifnet:: DESTINATION ${VIFNET_CMAKE_DIR})
configure_package_config_file(${CMAKE_CURRENT_LIST_DIR}/VifnetConfig.cmake.in
  ${CMAKE_BINARY_DIR}/package/VifnetConfig.cmake INSTALL_DESTINATION ${VIFNET_CMAKE_DIR})
# Callers build against the header of a major version; the exports never change within one.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/VifnetConfigVersion.cmake
  COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/VifnetConfig.cmake ${CMAKE_BINARY_DIR}/package/VifnetConfigVersion.cmake
  DESTINATION ${VIFNET_CMAKE_DIR})

# vifnet.pc is written at install time, when the prefix is known (cmake --install --prefix may
# change it after configuring), so it names the real directories. Outside the linker's own
# directories it also carries a run path: a program linked from it then runs as it is.
if(WIN32)
  set(VIFNET_PC_RPATH_WANTED OFF)
  set(VIFNET_PC_LIBNAME Vifnet64U)
else()
  set(VIFNET_PC_RPATH_WANTED ON)
  set(VIFNET_PC_LIBNAME vifnet)
endif()
# Values known now, then the part that runs at install time (both inlined in one script).
install(CODE "
  set(VIFNET_PC_TEMPLATE \"${CMAKE_CURRENT_LIST_DIR}/vifnet.pc.in\")
  set(VIFNET_PC_VERSION \"${PROJECT_VERSION}\")
  set(VIFNET_PC_LIBNAME ${VIFNET_PC_LIBNAME})
  set(VIFNET_PC_LIBDIR \"${CMAKE_INSTALL_LIBDIR}\")
  set(VIFNET_PC_INCLUDEDIR \"${CMAKE_INSTALL_INCLUDEDIR}\")
  set(VIFNET_PC_SYSTEM_DIRS \"${CMAKE_C_IMPLICIT_LINK_DIRECTORIES}\")
  set(VIFNET_PC_RPATH_WANTED ${VIFNET_PC_RPATH_WANTED})")
install(CODE [[
  set(VIFNET_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
  foreach(dir VIFNET_PC_LIBDIR VIFNET_PC_INCLUDEDIR)
    if(NOT IS_ABSOLUTE "${${dir}}")
      set(${dir} "${CMAKE_INSTALL_PREFIX}/${${dir}}")
    endif()
  endforeach()
  set(VIFNET_PC_RPATH "")
  list(FIND VIFNET_PC_SYSTEM_DIRS "${VIFNET_PC_LIBDIR}" VIFNET_PC_SYSTEM)
  if(VIFNET_PC_RPATH_WANTED AND VIFNET_PC_SYSTEM EQUAL -1)
    set(VIFNET_PC_RPATH " -Wl,-rpath,\${libdir}")
  endif()
  file(READ "${VIFNET_PC_TEMPLATE}" VIFNET_PC_CONTENT)
  string(CONFIGURE "${VIFNET_PC_CONTENT}" VIFNET_PC_CONTENT @ONLY)
  set(VIFNET_PC_FILE "${VIFNET_PC_LIBDIR}/pkgconfig/vifnet.pc")
  message(STATUS "Installing: $ENV{DESTDIR}${VIFNET_PC_FILE}")
  file(WRITE "$ENV{DESTDIR}${VIFNET_PC_FILE}" "${VIFNET_PC_CONTENT}")
  list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${VIFNET_PC_FILE}")
]])

if(WIN32)
  # An import library in the format other Windows linkers read, made from the export list.
  set(VIFNET_MSVC_IMPLIB ${VIFNET_BIN_DIR}/Vifnet64U.lib)
  add_custom_command(OUTPUT ${VIFNET_MSVC_IMPLIB}
    COMMAND ${CMAKE_DLLTOOL} -m i386:x86-64 -d ${PROJECT_SOURCE_DIR}/src/platform/vifnet.def
      -D Vifnet64U.dll -l ${VIFNET_MSVC_IMPLIB}
    DEPENDS ${PROJECT_SOURCE_DIR}/src/platform/vifnet.def
    COMMENT "Import library Vifnet64U.lib")
  install(FILES ${VIFNET_MSVC_IMPLIB} DESTINATION ${CMAKE_INSTALL_LIBDIR})

  # The folder a Windows user is handed: the shipped DLLs (bin/, with the real driver, never the
  # simulated one of sim/) without their debug information, the import libraries, the header
  # and its README. It is made afresh
  # whenever one of them changes, so nothing stale stays in it.
  set(VIFNET_SHIP_DIR ${CMAKE_BINARY_DIR}/ship/Vifnet)
  set(VIFNET_SHIP_FILES $<TARGET_FILE:vifnet> $<TARGET_FILE:wrenpack> $<TARGET_LINKER_FILE:vifnet>
    ${VIFNET_MSVC_IMPLIB} ${PROJECT_SOURCE_DIR}/include/vifnet32.h $<TARGET_FILE:vifnet-bridge>)
  add_custom_command(OUTPUT ${CMAKE_BINARY_DIR}/ship/Vifnet.stamp
    COMMAND ${CMAKE_COMMAND} -E rm -rf ${VIFNET_SHIP_DIR}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${VIFNET_SHIP_DIR}
    COMMAND ${CMAKE_COMMAND} -E copy ${VIFNET_SHIP_FILES} ${VIFNET_SHIP_DIR}
    # The build keeps its debug information in bin/; what users are handed goes without.
    COMMAND ${CMAKE_STRIP} --strip-debug ${VIFNET_SHIP_DIR}/$<TARGET_FILE_NAME:vifnet> ${VIFNET_SHIP_DIR}/$<TARGET_FILE_NAME:wrenpack>
      ${VIFNET_SHIP_DIR}/$<TARGET_FILE_NAME:vifnet-bridge>
    COMMAND ${CMAKE_COMMAND} -E copy ${CMAKE_CURRENT_LIST_DIR}/README-windows.txt ${VIFNET_SHIP_DIR}/README.txt
    COMMAND ${CMAKE_COMMAND} -E touch ${CMAKE_BINARY_DIR}/ship/Vifnet.stamp
    DEPENDS vifnet wrenpack vifnet-bridge ${VIFNET_SHIP_FILES} ${CMAKE_CURRENT_LIST_DIR}/README-windows.txt
    COMMENT "Ship folder ship/Vifnet")
  add_custom_target(vifnet_ship ALL DEPENDS ${CMAKE_BINARY_DIR}/ship/Vifnet.stamp)
endif()
