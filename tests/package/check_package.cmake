# cmake -DBUILD_DIR= -DCONSUMER_DIR= -DLIBDIR= -DGENERATOR= -DCC= -DPKG_CONFIG= -P check_package.cmake
#
# Installs the build tree into a temporary prefix, then builds the consumer against it twice, with
# find_package(Vifnet) and with pkg-config, and runs both: each must pass its checks and load the
# library and its packet driver from the prefix, found through what the package itself carries.
string(RANDOM LENGTH 8 tag)
set(tmp "$ENV{TMPDIR}")
if(NOT tmp)
  set(tmp /tmp)
endif()
set(tmp "${tmp}/vifnet-package-${tag}")
set(prefix "${tmp}/prefix")
set(ENV{XDG_CONFIG_HOME} "${tmp}/config")
unset(ENV{LD_LIBRARY_PATH})

macro(fail)
  file(REMOVE_RECURSE "${tmp}")
  message(FATAL_ERROR "${ARGN}")
endmacro()

# run(what command...): runs a step, fails with its output if it fails; its output is in `out`.
macro(run what)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
  if(NOT rc EQUAL 0)
    fail("${what} failed (${rc}):\n${out}${err}")
  endif()
endmacro()

macro(check_consumer what program)
  run("${what}" "${program}")
  string(REGEX MATCHALL "loaded [^\n]*" loaded "${out}")
  if(NOT loaded MATCHES "/libvifnet\\.so" OR NOT loaded MATCHES "/libwrenpack\\.so")
    fail("${what}: library or packet driver not loaded:\n${out}")
  endif()
  foreach(line IN LISTS loaded)
    if(NOT line MATCHES "^loaded ${prefix}/${LIBDIR}/lib")
      fail("${what}: loaded from outside the installed tree: ${line}")
    endif()
  endforeach()
  message(STATUS "${what}: ok")
endmacro()

run("install" "${CMAKE_COMMAND}" --install "${BUILD_DIR}" --prefix "${prefix}")

run("configuring the consumer" "${CMAKE_COMMAND}" -S "${CONSUMER_DIR}" -B "${tmp}/cmake" -G "${GENERATOR}"
  "-DCMAKE_C_COMPILER=${CC}" "-DCMAKE_PREFIX_PATH=${prefix}")
run("building the consumer" "${CMAKE_COMMAND}" --build "${tmp}/cmake")
check_consumer("find_package consumer" "${tmp}/cmake/vifnet_consumer")

set(ENV{PKG_CONFIG_PATH} "${prefix}/${LIBDIR}/pkgconfig")
run("pkg-config" "${PKG_CONFIG}" --cflags --libs vifnet)
separate_arguments(flags UNIX_COMMAND "${out}")
run("compiling with pkg-config" "${CC}" "${CONSUMER_DIR}/consumer.c" -o "${tmp}/pc_consumer" ${flags})
check_consumer("pkg-config consumer" "${tmp}/pc_consumer")

file(REMOVE_RECURSE "${tmp}")
