# cmake -DBUILD_DIR=... -DSOURCE_DIR=... -DWORK_DIR=... -DGENERATOR=... [-DCUDA_ROOT=...]
#       [-DCXX_FLAGS=...] [-DBUILD_TYPE=...] [-DCLANGXX=...] -P install_and_consume.cmake
# Installs the built package into WORK_DIR/prefix, then configures, builds
# and runs the consumer project on the emulation; with CUDA_ROOT it also
# builds (without running) the consumer of the GPU library; with CLANGXX it
# builds and runs a kernel of its own under the emulator's checks. The consumer
# gets the package's compiler flags, as a sanitizer build's libraries need.

function(step)
  execute_process(COMMAND ${ARGN} RESULT_VARIABLE result)
  if(NOT result EQUAL 0)
    message(FATAL_ERROR "failed (${result}): ${ARGN}")
  endif()
endfunction()

file(REMOVE_RECURSE ${WORK_DIR})
set(prefix ${WORK_DIR}/prefix)
step(${CMAKE_COMMAND} --install ${BUILD_DIR} --prefix ${prefix})

function(consume target build_dir)
  step(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${build_dir} -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix}
       -DMEDIAN_FILTER_TARGET=${target} "-DCMAKE_CXX_FLAGS=${CXX_FLAGS}" -DCMAKE_BUILD_TYPE=${BUILD_TYPE} ${ARGN})
  step(${CMAKE_COMMAND} --build ${build_dir})
endfunction()

consume(median_filter_emu ${WORK_DIR}/emu)
step(${WORK_DIR}/emu/despeckle)

# A sanitizer build's libraries would need their runtime in the clang build too.
if(CLANGXX AND NOT CXX_FLAGS MATCHES "-fsanitize")
  step(${CMAKE_COMMAND} -S ${SOURCE_DIR} -B ${WORK_DIR}/check -G ${GENERATOR} -DCMAKE_PREFIX_PATH=${prefix}
       -DCMAKE_CXX_COMPILER=${CLANGXX} -DMEDIAN_FILTER_CHECK=ON -DCMAKE_BUILD_TYPE=${BUILD_TYPE})
  step(${CMAKE_COMMAND} --build ${WORK_DIR}/check --target checked_exchange)
  step(${WORK_DIR}/check/checked_exchange)
endif()

if(CUDA_ROOT)
  consume(median_filter ${WORK_DIR}/gpu -DCUDAToolkit_ROOT=${CUDA_ROOT})
endif()
