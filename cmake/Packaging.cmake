# Debian packages with CPack (`cpack -G DEB` in the build directory):
#   libkorvale-project0      the runtime: libKorvale-Project.so.0, what a host needs to run
#   libkorvale-project-dev   the development files: headers, libKorvale-Project.so, the CMake
#                            package, korvale.pc, the simulated desktop's libKorvale-Sim with
#                            korvale-sim.pc, korvale-play; depends on the exact runtime
#   korvale-inspect          the visual inspector (where GTK 3 was found)
# The runtime's dependencies on other libraries are found by dpkg-shlibdeps from what it links,
# and it ships a shlibs file so packages built against it depend on it in turn.
set(CPACK_PACKAGE_NAME korvale)
set(CPACK_PACKAGE_VENDOR "Korvale")
set(CPACK_PACKAGE_CONTACT "Korvale developers <korvale@invalid>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "Follows what the user does in the application in front and reports it as named events")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_GENERATOR DEB)
set(CPACK_COMPONENTS_ALL runtime development)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION libs)
set(CPACK_DEBIAN_ENABLE_COMPONENT_DEPENDS ON)
set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME libkorvale-project0)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_NAME libkorvale-project-dev)
set(CPACK_DEBIAN_DEVELOPMENT_PACKAGE_SECTION libdevel)
set(CPACK_COMPONENT_RUNTIME_DESCRIPTION
  "Korvale follows the front application through the accessibility service and reports\n what the user does as named events with JSON data to one C callback.")
set(CPACK_COMPONENT_DEVELOPMENT_DESCRIPTION
  "Headers, CMake package (find_package(Korvale)), pkg-config file (korvale) and the\n scenario player korvale-play for building and testing Korvale hosts.")
# The development files are only good with the library they were built with: the component
# dependency becomes "Depends: libkorvale-project0 (= version)". korvale-play needs nothing beyond
# that library, so dpkg-shlibdeps (which could not find it in the other package) does not run here.
set(CPACK_COMPONENT_DEVELOPMENT_DEPENDS runtime)
if(KORVALE_HAVE_INSPECTOR)
  list(APPEND CPACK_COMPONENTS_ALL inspector)
  set(CPACK_DEBIAN_INSPECTOR_PACKAGE_NAME korvale-inspect)
  set(CPACK_DEBIAN_INSPECTOR_PACKAGE_SECTION devel)
  set(CPACK_COMPONENT_INSPECTOR_DEPENDS runtime)
  set(CPACK_DEBIAN_INSPECTOR_PACKAGE_DEPENDS "libgtk-3-0 (>= 3.22)")
  set(CPACK_COMPONENT_INSPECTOR_DESCRIPTION
    "korvale-inspect follows the desktop through the library, lists every event with its JSON\n and outlines the rectangle of each selection on the screen.")
endif()
# The package is built from the build tree's install rules; never from the sources.
set(CPACK_SOURCE_IGNORE_FILES "/build.*/;/\\\\.git/")
include(CPack)
