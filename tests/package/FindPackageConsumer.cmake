# Installs the build tree into a scratch prefix, then configures, builds and
# runs examples/consumer against it with nothing but CMAKE_PREFIX_PATH: the
# installed package must stand on its own.
#   cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -P FindPackageConsumer.cmake
file(REMOVE_RECURSE "${WORK_DIR}")

include(${CMAKE_CURRENT_LIST_DIR}/Run.cmake)

run(output ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${WORK_DIR}/prefix")
run(output ${CMAKE_COMMAND} -S "${SOURCE_DIR}/examples/consumer" -B "${WORK_DIR}/build" -G Ninja
    "-DCMAKE_PREFIX_PATH=${WORK_DIR}/prefix")
run(output ${CMAKE_COMMAND} --build "${WORK_DIR}/build")
run(output "${WORK_DIR}/build/consumer")
