# Native tests of the reference engine, driven through the public contract.
find_package(GTest REQUIRED)
find_package(Threads REQUIRED)

add_executable(kolta_engine_tests
  engine_test_support.cpp
  engine_tests.cpp
  engine_stream_tests.cpp
  engine_callback_tests.cpp
  engine_tsan_lifecycle_tests.cpp
  engine_fork_tests.cpp
  engine_speech_tests.cpp
  engine_block_stream_tests.cpp
  # Internal, so built in: the library exports only the contract.
  ${PROJECT_SOURCE_DIR}/engine/processor/block_stream.cpp)
target_include_directories(kolta_engine_tests PRIVATE ${PROJECT_SOURCE_DIR}/engine)
target_link_libraries(kolta_engine_tests PRIVATE KoltaSdk GTest::gtest_main Threads::Threads)

enable_testing()
include(GoogleTest)
gtest_discover_tests(kolta_engine_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60)
