# The FFT library the codec links, as the target tarn_fftw3.
#
# By default: FFTW 3.3.10 built from Debian's source by cmake/pinned-fftw, the same plans and the
# same bits on every x86-64 CPU and on aarch64, so tarn writes the same bytes everywhere. It is
# built once per compiler target and source revision into TARN_FFTW_CACHE (in the source tree,
# ignored by git) and shared by every build folder: build/, build-asan/, build-fuzz/ ...
#
# With TARN_SYSTEM_FFTW=ON: the system's FFTW through pkg-config. Its plans and rounding follow
# the CPU it runs on (AVX or not, FMA on aarch64), and so may tarn's bytes.
option(TARN_SYSTEM_FFTW "Link the system's FFTW instead of the pinned build (bytes may differ by CPU)" OFF)
set(TARN_FFTW_CACHE ${CMAKE_SOURCE_DIR}/.fftw CACHE PATH "Where the pinned FFTW is fetched and built")
# The pinned library is C compiled by GCC whatever compiles the codec (clang for the fuzz build).
if(CMAKE_CROSSCOMPILING)
  string(REGEX REPLACE "g\\+\\+([^/]*)$" "gcc\\1" tarn_default_fftw_cc "${CMAKE_CXX_COMPILER}")
else()
  set(tarn_default_fftw_cc gcc)
endif()
set(TARN_FFTW_CC ${tarn_default_fftw_cc} CACHE STRING "C compiler for the pinned FFTW")

if(TARN_SYSTEM_FFTW)
  find_package(PkgConfig REQUIRED)
  pkg_check_modules(FFTW3 REQUIRED IMPORTED_TARGET fftw3)
  add_library(tarn_fftw3 INTERFACE)
  target_link_libraries(tarn_fftw3 INTERFACE PkgConfig::FFTW3)
else()
  execute_process(COMMAND ${TARN_FFTW_CC} -dumpmachine OUTPUT_VARIABLE tarn_fftw_target
    OUTPUT_STRIP_TRAILING_WHITESPACE COMMAND_ERROR_IS_FATAL ANY)
  # A change to any of the build's own files makes a new build beside the old one.
  set(tarn_fftw_key "${TARN_FFTW_CC}")
  foreach(f cmake/pinned-fftw/CMakeLists.txt cmake/pinned-fftw/config.h
      cmake/pinned-fftw/fftw-3.3.10.patch scripts/fetch-fftw.sh)
    file(SHA256 ${CMAKE_SOURCE_DIR}/${f} f_sha)
    string(APPEND tarn_fftw_key " ${f_sha}")
    set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${CMAKE_SOURCE_DIR}/${f})
  endforeach()
  string(SHA256 tarn_fftw_key "${tarn_fftw_key}")
  string(SUBSTRING ${tarn_fftw_key} 0 12 tarn_fftw_key)
  set(tarn_fftw_dir ${TARN_FFTW_CACHE}/${tarn_fftw_target}-${tarn_fftw_key})

  file(MAKE_DIRECTORY ${TARN_FFTW_CACHE})
  file(LOCK ${TARN_FFTW_CACHE}/lock GUARD PROCESS TIMEOUT 1800)
  if(NOT EXISTS ${tarn_fftw_dir}/lib/libfftw3.a)
    # The "tarn: " lines are the steps scripts/run.sh shows while it builds.
    message(STATUS "Building the pinned FFTW for ${tarn_fftw_target} in ${tarn_fftw_dir}")
    file(GLOB stale LIST_DIRECTORIES true ${TARN_FFTW_CACHE}/${tarn_fftw_target}-*)
    if(stale)
      file(REMOVE_RECURSE ${stale})
    endif()
    include(ProcessorCount)
    ProcessorCount(tarn_jobs)
    if(tarn_jobs EQUAL 0)
      set(tarn_jobs 2)
    endif()
    message(STATUS "tarn: FFTW 3.3.10's source (fetched from Debian's archive the first time)")
    execute_process(COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/fetch-fftw.sh ${TARN_FFTW_CACHE}
      COMMAND_ERROR_IS_FATAL ANY)
    message(STATUS "tarn: building FFTW (once; about 45 CPU seconds)")
    set(tarn_fftw_toolchain)
    if(CMAKE_CROSSCOMPILING)
      set(tarn_fftw_toolchain -DCMAKE_SYSTEM_NAME=${CMAKE_SYSTEM_NAME}
        -DCMAKE_SYSTEM_PROCESSOR=${CMAKE_SYSTEM_PROCESSOR})
    endif()
    execute_process(COMMAND ${CMAKE_COMMAND} -S ${CMAKE_SOURCE_DIR}/cmake/pinned-fftw
        -B ${tarn_fftw_dir}-build -DCMAKE_BUILD_TYPE=Release -DCMAKE_C_COMPILER=${TARN_FFTW_CC}
        ${tarn_fftw_toolchain} -DFFTW_SOURCE_DIR=${TARN_FFTW_CACHE}/fftw-3.3.10
        -DCMAKE_INSTALL_PREFIX=${tarn_fftw_dir}
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND ${CMAKE_COMMAND} --build ${tarn_fftw_dir}-build -j${tarn_jobs}
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    execute_process(COMMAND ${CMAKE_COMMAND} --install ${tarn_fftw_dir}-build
      OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE ${tarn_fftw_dir}-build ${TARN_FFTW_CACHE}/fftw-3.3.10)
  endif()
  file(LOCK ${TARN_FFTW_CACHE}/lock RELEASE)

  add_library(tarn_fftw3 STATIC IMPORTED)
  set_target_properties(tarn_fftw3 PROPERTIES
    IMPORTED_LOCATION ${tarn_fftw_dir}/lib/libfftw3.a
    INTERFACE_INCLUDE_DIRECTORIES ${tarn_fftw_dir}/include
    INTERFACE_LINK_LIBRARIES m
    # The pinned build's own additions (fftw_call_with_alloc_guard) are there to be used.
    INTERFACE_COMPILE_DEFINITIONS TARN_PINNED_FFTW)
endif()
