# What `cmake --install` puts on a board or a build machine, and the Debian
# package made of it (`cmake --build --preset <preset> --target package`).
# Libraries go where Debian's multiarch layout has them (lib/<triplet>).
if(CMAKE_LIBRARY_ARCHITECTURE AND NOT DEFINED CMAKE_INSTALL_LIBDIR)
  set(CMAKE_INSTALL_LIBDIR lib/${CMAKE_LIBRARY_ARCHITECTURE} CACHE PATH "Object code libraries")
endif()
include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

if(NOT DEBIAN_ARCHITECTURE)
  execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE DEBIAN_ARCHITECTURE
                  OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET)
endif()
set(FACTORY_UARTUTIL_SYSTEMD_UNIT_DIR lib/systemd/system CACHE STRING "Where the systemd unit goes, under the prefix")
set(FACTORY_UARTUTIL_MAINTAINER "factory_uartUtil developers <factory-uartutil@example.com>"
    CACHE STRING "The package's Maintainer field")

install(TARGETS factory_uartUtil EXPORT factory_uartUtilTargets
  LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR} NAMELINK_COMPONENT Unspecified
  INCLUDES DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(FILES include/factory_uartUtil.h DESTINATION ${CMAKE_INSTALL_INCLUDEDIR})
install(TARGETS factory-handshake uart-station RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})

# pkg-config: relative to the .pc file, so the tree can be installed anywhere.
file(RELATIVE_PATH pc_to_prefix "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" pc_to_prefix "${pc_to_prefix}")
configure_file(cmake/factory_uartUtil.pc.in factory_uartUtil.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/factory_uartUtil.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# find_package(factory_uartUtil)
set(package_dir ${CMAKE_INSTALL_LIBDIR}/cmake/factory_uartUtil)
install(EXPORT factory_uartUtilTargets NAMESPACE factory_uartUtil:: DESTINATION ${package_dir})
configure_file(cmake/factory_uartUtilConfig.cmake.in factory_uartUtilConfig.cmake COPYONLY)
write_basic_package_version_file(factory_uartUtilConfigVersion.cmake COMPATIBILITY SameMajorVersion)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/factory_uartUtilConfig.cmake
              ${CMAKE_CURRENT_BINARY_DIR}/factory_uartUtilConfigVersion.cmake
        DESTINATION ${package_dir})

# The boot service names the responder by its installed path, which is known
# only when installing (a package installs under another prefix than a build).
install(CODE "
  set(bindir \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}\")
  configure_file(\"${PROJECT_SOURCE_DIR}/tools/factory-handshake.service.in\"
                 \"${CMAKE_CURRENT_BINARY_DIR}/factory-handshake.service\" @ONLY)")
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/factory-handshake.service DESTINATION ${FACTORY_UARTUTIL_SYSTEMD_UNIT_DIR})

# One .deb with all of the above, stripped.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME factory-uartutil)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT ${FACTORY_UARTUTIL_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "${PROJECT_DESCRIPTION}")
set(CPACK_PACKAGE_DESCRIPTION
    "A small shared library with a plain C interface that opens a UART in raw 8N1 mode,\n\
cuts the received bytes into CR LF lines on a receiver thread and sends replies,\n\
with the factory-handshake responder, its systemd unit, and uart-station for\n\
the test station's side of the cable.")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${DEBIAN_ARCHITECTURE})
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# The newest C library symbols used are pthread_create and pthread_detach at
# GLIBC_2.34; the package test checks this against the files.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libc6 (>= 2.34)")
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
include(CPack)
