# What `cmake --install` puts in place for integrators: the header with its
# version header, the library (Linux: libkvopros2.so; Windows: the DLL, its
# import library for mingw and its module definition file), the test server
# and the sample host, the language bindings, the documents, and the files
# by which other builds find the library: a CMake package
# (find_package(kvopros2) gives kvopros2::kvopros2) and, on Linux,
# kvopros2.pc for pkg-config. Every path
# in them is relative to where they lie, so an unpacked archive works where
# it is put.
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(KV_PACKAGE_DIR ${CMAKE_INSTALL_LIBDIR}/cmake/kvopros2)

install(TARGETS kvopros2
  RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR}
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR}
  ARCHIVE DESTINATION ${CMAKE_INSTALL_LIBDIR})
install(FILES ${CMAKE_SOURCE_DIR}/include/kvopros2.h ${CMAKE_BINARY_DIR}/include/kvopros2_version.h
  DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
if(WIN32)
  install(FILES ${CMAKE_BINARY_DIR}/kvopros2.def ${CMAKE_BINARY_DIR}/kvopros2-msvc.def
          DESTINATION ${CMAKE_INSTALL_LIBDIR})
endif()

# The sample host finds the library in ../lib, as it lies in the install tree.
foreach(tool kvsim kvdemo)
  if(TARGET ${tool})
    install(TARGETS ${tool} RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
  endif()
endforeach()
if(TARGET kvdemo AND NOT WIN32)
  file(RELATIVE_PATH kv_bin_to_lib /${CMAKE_INSTALL_BINDIR} /${CMAKE_INSTALL_LIBDIR})
  set_target_properties(kvdemo PROPERTIES INSTALL_RPATH "$ORIGIN/${kv_bin_to_lib}")
endif()

# The language bindings, as sources: the Pascal unit, the .NET wrapper and
# the Python package, each with its sample host (their tests stay in the
# source tree).
install(DIRECTORY ${CMAKE_SOURCE_DIR}/bindings/
  DESTINATION ${CMAKE_INSTALL_DATADIR}/kvopros2/bindings
  PATTERN tests EXCLUDE
  PATTERN __pycache__ EXCLUDE
  PATTERN *.egg-info EXCLUDE
  PATTERN build EXCLUDE)

# A host sample with its build file, as an integrator starts one: the
# consumer project, built against this tree with find_package, and the test
# server's script that checks it.
install(FILES ${CMAKE_SOURCE_DIR}/tests/consumer/CMakeLists.txt
              ${CMAKE_SOURCE_DIR}/tests/consumer/consumer.c
              ${CMAKE_SOURCE_DIR}/tests/consumer/consumer.kvs
  DESTINATION ${CMAKE_INSTALL_DATADIR}/kvopros2/examples/consumer)

install(FILES ${CMAKE_SOURCE_DIR}/README.md ${CMAKE_SOURCE_DIR}/docs/LOG.md
  ${CMAKE_SOURCE_DIR}/docs/PROTOCOL.md ${CMAKE_SOURCE_DIR}/docs/ARCHITECTURE.md
  ${CMAKE_SOURCE_DIR}/docs/KVSIM.md
  DESTINATION ${CMAKE_INSTALL_DOCDIR})

set(KV_PACKAGE_WINDOWS "${WIN32}")
if(WIN32)
  set(KV_LIBRARY_FILE ${CMAKE_INSTALL_BINDIR}/kvopros2.dll)
  set(KV_IMPORT_FILE ${CMAKE_INSTALL_LIBDIR}/libkvopros2.dll.a)
else()
  # The soname's link: what a host loads at run time.
  set(KV_LIBRARY_FILE ${CMAKE_INSTALL_LIBDIR}/libkvopros2.so.${PROJECT_VERSION_MAJOR})
  set(KV_IMPORT_FILE "")
endif()
configure_package_config_file(${CMAKE_SOURCE_DIR}/cmake/kvopros2Config.cmake.in
  ${CMAKE_BINARY_DIR}/package/kvopros2Config.cmake
  INSTALL_DESTINATION ${KV_PACKAGE_DIR}
  PATH_VARS CMAKE_INSTALL_INCLUDEDIR KV_LIBRARY_FILE KV_IMPORT_FILE)
# A 64-bit build does not take the 32-bit library, nor the reverse.
write_basic_package_version_file(${CMAKE_BINARY_DIR}/package/kvopros2ConfigVersion.cmake
  VERSION ${PROJECT_VERSION} COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_BINARY_DIR}/package/kvopros2Config.cmake
              ${CMAKE_BINARY_DIR}/package/kvopros2ConfigVersion.cmake
  DESTINATION ${KV_PACKAGE_DIR})

if(NOT WIN32)
  # pkg-config finds the tree from the .pc file's own folder.
  file(RELATIVE_PATH kv_pc_to_prefix /prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig /prefix)
  string(REGEX REPLACE "/$" "" kv_pc_to_prefix "${kv_pc_to_prefix}")
  configure_file(${CMAKE_SOURCE_DIR}/cmake/kvopros2.pc.in ${CMAKE_BINARY_DIR}/package/kvopros2.pc
    @ONLY)
  install(FILES ${CMAKE_BINARY_DIR}/package/kvopros2.pc
    DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)
endif()
