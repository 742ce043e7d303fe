# The settings file fuzz harness, and a short run of it with the suite.
qt_add_executable(fuzz_settings ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_settings.cpp
    ${KAVREL_PROCESS_STATE_FOLDER} ${CMAKE_CURRENT_SOURCE_DIR}/support/TemporaryStateHome.cpp)
target_link_libraries(fuzz_settings PRIVATE kavrel_app kavrel_warnings)
add_test(NAME fuzz_settings_smoke COMMAND fuzz_settings 1000 1)
set_tests_properties(fuzz_settings_smoke PROPERTIES
    ENVIRONMENT "${KAVREL_TEST_ENVIRONMENT}"
    TIMEOUT 120)

# With clang, -DKAVREL_LIBFUZZER=ON adds the same checks as a libFuzzer target.
if(KAVREL_LIBFUZZER AND CMAKE_CXX_COMPILER_ID MATCHES "Clang")
    qt_add_executable(fuzz_settings_libfuzzer ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_settings.cpp)
    target_compile_definitions(fuzz_settings_libfuzzer PRIVATE KAVREL_LIBFUZZER)
    target_compile_options(fuzz_settings_libfuzzer PRIVATE -fsanitize=fuzzer)
    target_link_options(fuzz_settings_libfuzzer PRIVATE -fsanitize=fuzzer)
    target_link_libraries(fuzz_settings_libfuzzer PRIVATE kavrel_app kavrel_warnings)
endif()

# The recovery files' replay against damaged files, and a short run of it with the suite.
qt_add_executable(fuzz_recovery ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_recovery.cpp)
target_link_libraries(fuzz_recovery PRIVATE kavrel_app kavrel_warnings)
add_test(NAME fuzz_recovery_smoke COMMAND fuzz_recovery 2000 1)
set_tests_properties(fuzz_recovery_smoke PROPERTIES
    ENVIRONMENT "${KAVREL_TEST_ENVIRONMENT}"
    TIMEOUT 120)
