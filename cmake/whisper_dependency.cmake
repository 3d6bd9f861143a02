# The whisper library (with ggml) is built once per build tree as a separate
# Release project: unoptimised it is far too slow, and our build type or
# sanitizers must not leak into it. Configuring fetches its sources when they
# are missing.
include(ExternalProject)

# The one exception is ThreadSanitizer: ggml's thread pool synchronises with
# atomics that an uninstrumented library hides, so every hand-off between its
# workers would be reported as a race. The library then carries the same
# instrumentation (still optimised) and the checks stay at full strength.
set(whisper_sanitize_thread OFF)
if(LANTERNWICK_SANITIZE MATCHES "thread")
    set(whisper_sanitize_thread ON)
endif()

# Its C++ must use the standard library ours does, or the two would not link.
# Left unset otherwise, so the library's build still takes CXXFLAGS from the
# environment as it always did.
set(whisper_stdlib_args "")
if(LANTERNWICK_CXX_STDLIB)
    set(whisper_stdlib_args -DCMAKE_CXX_FLAGS=-stdlib=${LANTERNWICK_CXX_STDLIB})
endif()

set(LANTERNWICK_THIRD_PARTY ${CMAKE_SOURCE_DIR}/third_party)
execute_process(
    COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/fetch_deps.sh
    RESULT_VARIABLE fetch_result)
if(NOT fetch_result EQUAL 0)
    message(FATAL_ERROR "fetching the third-party sources failed")
endif()

set(whisper_prefix ${CMAKE_BINARY_DIR}/whisper)
set(whisper_libs whisper ggml ggml-cpu ggml-base)
set(whisper_archives "")
foreach(lib IN LISTS whisper_libs)
    list(APPEND whisper_archives ${whisper_prefix}/lib/${CMAKE_STATIC_LIBRARY_PREFIX}${lib}${CMAKE_STATIC_LIBRARY_SUFFIX})
endforeach()

ExternalProject_Add(whisper_build
    SOURCE_DIR ${LANTERNWICK_THIRD_PARTY}/whisper.cpp
    BINARY_DIR ${CMAKE_BINARY_DIR}/whisper-build
    INSTALL_DIR ${whisper_prefix}
    CMAKE_ARGS
        -DCMAKE_BUILD_TYPE=Release
        -DCMAKE_INSTALL_PREFIX=<INSTALL_DIR>
        -DCMAKE_INSTALL_LIBDIR=lib
        -DCMAKE_C_COMPILER=${CMAKE_C_COMPILER}
        -DCMAKE_CXX_COMPILER=${CMAKE_CXX_COMPILER}
        ${whisper_stdlib_args}
        -DBUILD_SHARED_LIBS=OFF
        -DWHISPER_BUILD_EXAMPLES=OFF
        -DWHISPER_BUILD_TESTS=OFF
        -DWHISPER_BUILD_SERVER=OFF
        -DGGML_OPENMP=${LANTERNWICK_WHISPER_OPENMP}
        -DWHISPER_SANITIZE_THREAD=${whisper_sanitize_thread}
    BUILD_BYPRODUCTS ${whisper_archives}
    UPDATE_COMMAND ""
)

file(MAKE_DIRECTORY ${whisper_prefix}/include)

# One interface target carries the archives. ggml's pieces reference each
# other; GNU ld needs them in a group to resolve that, Apple's linker does it
# by itself.
add_library(whisper_library INTERFACE)
add_dependencies(whisper_library whisper_build)
target_include_directories(whisper_library SYSTEM INTERFACE ${whisper_prefix}/include)
if(APPLE)
    target_link_libraries(whisper_library INTERFACE ${whisper_archives}
        "-framework Accelerate" "-framework Foundation" "-framework Metal" "-framework MetalKit")
else()
    target_link_libraries(whisper_library INTERFACE
        "-Wl,--start-group" ${whisper_archives} "-Wl,--end-group")
endif()
target_link_libraries(whisper_library INTERFACE Threads::Threads ${CMAKE_DL_LIBS} m)
if(LANTERNWICK_WHISPER_OPENMP)
    find_package(OpenMP REQUIRED COMPONENTS CXX)
    target_link_libraries(whisper_library INTERFACE OpenMP::OpenMP_CXX)
endif()
