# _kolta_testhelpers: reaches native corners of the bridge and the records that
# Python cannot (foreign threads without the GIL, library-side deliveries).
nanobind_add_module(_kolta_testhelpers NB_STATIC
  testhelpers_module.cpp
  testhelpers_bridge.cpp
  testhelpers_records.cpp
  testhelpers_bench.cpp)
target_include_directories(_kolta_testhelpers PRIVATE ${PROJECT_SOURCE_DIR}/src)
target_link_libraries(_kolta_testhelpers PRIVATE KoltaSdk)
# The benchmark helpers call the engine directly: find it beside the module
# when installed, as _kolta_module does.
if(APPLE)
  set_target_properties(_kolta_testhelpers PROPERTIES INSTALL_RPATH "@loader_path")
elseif(UNIX)
  set_target_properties(_kolta_testhelpers PROPERTIES INSTALL_RPATH "$ORIGIN")
endif()
install(TARGETS _kolta_testhelpers LIBRARY DESTINATION .)
