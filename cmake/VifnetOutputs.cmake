# vifnet_place(target dir): put a target's runtime, library and import-library outputs in dir.
function(vifnet_place target dir)
  set_target_properties(${target} PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${dir}
    LIBRARY_OUTPUT_DIRECTORY ${dir}
    ARCHIVE_OUTPUT_DIRECTORY ${dir}
    BUILD_WITH_INSTALL_RPATH ON
    INSTALL_RPATH "$ORIGIN")
endfunction()

# vifnet_driver_library(target dir sources...): one build of the WrenPack packet driver. Every
# build has the same file name, so whichever sits beside the library is the one it loads.
function(vifnet_driver_library target dir)
  add_library(${target} SHARED ${ARGN})
  target_include_directories(${target} PUBLIC $<BUILD_INTERFACE:${PROJECT_SOURCE_DIR}/wrenpack/include>)
  target_compile_definitions(${target} PRIVATE WRENPACK_BUILD)
  if(WIN32)
    set_target_properties(${target} PROPERTIES OUTPUT_NAME WrenPack64U PREFIX "")
  else()
    set_target_properties(${target} PROPERTIES OUTPUT_NAME wrenpack)
  endif()
  vifnet_place(${target} ${dir})
endfunction()
