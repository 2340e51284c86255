# Debian packages from the build tree (cpack -G DEB in a build configured with
# -DKVO_PACKAGE_LAYOUT=ON; scripts/package-test.sh does it):
#   kvo-vurizeda      the libraries, the programs and the configuration (a conffile
#                     in /etc/kvo_vurizeda, linked from <prefix>/config)
#   kvo-vurizeda-dev  the header, the pkg-config file and the CMake package
# Everything lives under KVO_PACKAGE_PREFIX; links under /usr make the programs,
# pkg-config and find_package find it without further settings.
if(KVO_PACKAGE_LAYOUT)
    set(link_dir ${CMAKE_BINARY_DIR}/package)
    file(MAKE_DIRECTORY ${link_dir})
    foreach(program kvo-config kvo-collectord kvo-demo kvo-stress)
        file(CREATE_LINK ${KVO_PACKAGE_PREFIX}/bin/${program} ${link_dir}/${program} SYMBOLIC)
        install(FILES ${link_dir}/${program} DESTINATION /usr/bin)
    endforeach()
    # pkg-config takes the prefix from where it finds the file: this copy names it.
    set(KVO_PC_PREFIX ${KVO_PACKAGE_PREFIX})
    configure_file(cmake/kvo_vurizeda.pc.in ${link_dir}/pkgconfig/kvo_vurizeda.pc @ONLY)
    install(FILES ${link_dir}/pkgconfig/kvo_vurizeda.pc DESTINATION /usr/lib/pkgconfig
        COMPONENT dev)
    file(CREATE_LINK ${KVO_PACKAGE_PREFIX}/lib/cmake/kvo_vurizeda ${link_dir}/cmake SYMBOLIC)
    install(FILES ${link_dir}/cmake DESTINATION /usr/lib/cmake RENAME kvo_vurizeda COMPONENT dev)
    file(WRITE ${link_dir}/conffiles "/etc/kvo_vurizeda/kvo_vurizeda.ini\n")
endif()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kvo-vurizeda)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "kvo_vurizeda maintainers <maintainers@kvo-vurizeda.invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "CPU limits for the threads of the process that loads it")
set(CPACK_PACKAGING_INSTALL_PREFIX ${KVO_PACKAGE_PREFIX})
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_STRIP_FILES ON)
set(CPACK_COMPONENTS_ALL runtime dev)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME kvo-vurizeda)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "libc6 (>= 2.34), libstdc++6 (>= 12), libjansson4 (>= 2.14)")
set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/package/conffiles)
set(CPACK_DEBIAN_DEV_PACKAGE_NAME kvo-vurizeda-dev)
set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "kvo-vurizeda (= ${PROJECT_VERSION})")
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
    "CPU limits for the threads of the process that loads it: libkvo_vurizeda, the comm
library, kvo-collectord, kvo-config, kvo-demo and kvo-stress")
set(CPACK_COMPONENT_DEV_DESCRIPTION
    "Development files of kvo_vurizeda: the header, pkg-config file and CMake package")
include(CPack)
