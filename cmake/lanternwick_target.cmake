# Warnings, sanitizers and the standard library for the project's own
# targets, kept off the dependencies so their build stays fast and quiet.
# GoogleTest and the whisper library are built against the same standard
# library by their own builds.
function(lanternwick_target_defaults target)
    target_compile_options(${target} PRIVATE -Wall -Wextra)
    if(LANTERNWICK_WARNINGS_AS_ERRORS)
        target_compile_options(${target} PRIVATE -Werror)
    endif()
    if(LANTERNWICK_CXX_STDLIB)
        target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:-stdlib=${LANTERNWICK_CXX_STDLIB}>)
        target_link_options(${target} PRIVATE -stdlib=${LANTERNWICK_CXX_STDLIB})
    endif()
    if(LANTERNWICK_SANITIZE)
        target_compile_options(${target} PRIVATE
            -fsanitize=${LANTERNWICK_SANITIZE} -fno-omit-frame-pointer -fno-sanitize-recover=all)
        target_link_options(${target} PRIVATE -fsanitize=${LANTERNWICK_SANITIZE})
    endif()
endfunction()

# How long one test may run before CTest ends it and names it as failed, so
# that a hang costs minutes, not the whole run: some three times what the
# slowest test without a time-out of its own takes under ThreadSanitizer,
# the slowest build, with the suite running beside it.
set(LANTERNWICK_TEST_TIMEOUT 300)

# A GoogleTest executable whose cases CTest lists one by one. PROPERTIES are
# set on every listed case (for example FIXTURES_REQUIRED test_models, a
# RESOURCE_LOCK for tests that share fixed paths, or a TIMEOUT longer than
# the default).
function(lanternwick_add_test name)
    cmake_parse_arguments(arg "" "" "SOURCES;LIBS;PROPERTIES" ${ARGN})
    add_executable(${name} ${arg_SOURCES})
    lanternwick_target_defaults(${name})
    target_link_libraries(${name} PRIVATE ${arg_LIBS} GTest::gtest GTest::gmock GTest::gtest_main)
    gtest_discover_tests(${name} DISCOVERY_TIMEOUT 60
        PROPERTIES TIMEOUT ${LANTERNWICK_TEST_TIMEOUT} ${arg_PROPERTIES})
endfunction()
