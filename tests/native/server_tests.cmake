# Unit tests of the sign-in service's parts that a socket cannot reach
# exactly: the guard's memory bound, the JSON reader, tokens, encodings.
find_package(GTest REQUIRED)

add_executable(kolta_server_tests server_unit_tests.cpp server_stream_transcripts_tests.cpp
  stream_codec_tests.cpp server_scaleout_tests.cpp server_lifecycle_tests.cpp)
# kolta_models: the stream's codecs, which the service shares with the engine.
target_link_libraries(kolta_server_tests PRIVATE kolta_server kolta_models
  GTest::gtest_main)
target_include_directories(kolta_server_tests PRIVATE ${PROJECT_SOURCE_DIR}/server
  ${PROJECT_SOURCE_DIR}/include)

enable_testing()
include(GoogleTest)
gtest_discover_tests(kolta_server_tests DISCOVERY_TIMEOUT 30 PROPERTIES TIMEOUT 60)
