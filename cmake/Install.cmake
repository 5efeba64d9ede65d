# Installation: the public headers, the driver library with the stand-in
# vendor libraries beside it, a CMake package and a pkg-config file, the
# companion Python package and the tools next to the extension modules, the
# udev rules, and a Debian package of all of it (cpack -G DEB).
#
# Layout under the prefix:
#   include/velmora/*.h
#   <libdir>/libvelmora.so*, libvelmora_evk_sdk.so, libsi4c.so
#   <libdir>/cmake/VelmoraDepthCamera/   find_package(VelmoraDepthCamera)
#   <libdir>/pkgconfig/velmora.pc        pkg-config velmora
#   <python packages dir>/VelmoraDepthCamera*.so, velmora_tools/
#   bin/velmora-record, velmora-ply, velmora-info, velmora-replay-config,
#       velmora-preview, velmora-i2c-access
#   bin/velmora_camera_ros2                the ROS 2 node, where it is built
#   share/velmora/examples/              preview.py and the C++ consumer
#   lib/udev/rules.d/60-velmora-depth-camera.rules

include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(VELMORA_INSTALL_INCLUDEDIR ${CMAKE_INSTALL_INCLUDEDIR}/velmora)
set(VELMORA_INSTALL_CMAKEDIR ${CMAKE_INSTALL_LIBDIR}/cmake/VelmoraDepthCamera)
set(VELMORA_INSTALL_DATADIR ${CMAKE_INSTALL_DATADIR}/velmora)
set(VELMORA_UDEV_RULES_DIR "lib/udev/rules.d" CACHE STRING
    "Directory of the udev rules, relative to the prefix (udev reads /usr/lib/udev/rules.d and /etc/udev/rules.d)")

# --- C++ library ----------------------------------------------------------
file(GLOB velmora_public_headers CONFIGURE_DEPENDS ${PROJECT_SOURCE_DIR}/include/*.h)
install(FILES ${velmora_public_headers} DESTINATION ${VELMORA_INSTALL_INCLUDEDIR})

# The driver finds the stand-in libraries beside itself under any prefix, and
# in the build tree. Every installed binary is linked with its install search
# path: one patched at install time keeps an empty entry, the current directory.
set_target_properties(velmora PROPERTIES INSTALL_RPATH "$ORIGIN" INSTALL_RPATH_USE_LINK_PATH ON
                                         BUILD_WITH_INSTALL_RPATH ON)
install(TARGETS velmora LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})

# Libraries libvelmora.so needs at link time: the stand-ins installed here,
# or the vendor libraries where those are linked instead.
set(velmora_dependent_libraries "")
foreach(stand_in velmora_evk_sdk si4c)
  if(TARGET ${stand_in})
    install(TARGETS ${stand_in} LIBRARY DESTINATION ${CMAKE_INSTALL_LIBDIR})
    list(APPEND velmora_dependent_libraries
         "\${_velmora_libdir}/${CMAKE_SHARED_LIBRARY_PREFIX}${stand_in}${CMAKE_SHARED_LIBRARY_SUFFIX}")
  endif()
endforeach()
foreach(vendor_library VELMORA_EVK_SDK_LIBRARY VELMORA_VENDOR_SI4C_LIBRARY)
  if(${vendor_library})
    list(APPEND velmora_dependent_libraries "${${vendor_library}}")
  endif()
endforeach()
set(VELMORA_CONFIG_DEPENDENT_LIBRARIES "${velmora_dependent_libraries}")
set(VELMORA_CONFIG_LIBRARY_FILE
    "${CMAKE_SHARED_LIBRARY_PREFIX}velmora${CMAKE_SHARED_LIBRARY_SUFFIX}.${PROJECT_VERSION_MAJOR}")

configure_package_config_file(
  ${CMAKE_CURRENT_LIST_DIR}/VelmoraDepthCameraConfig.cmake.in
  ${CMAKE_CURRENT_BINARY_DIR}/VelmoraDepthCameraConfig.cmake
  INSTALL_DESTINATION ${VELMORA_INSTALL_CMAKEDIR}
  PATH_VARS VELMORA_INSTALL_INCLUDEDIR CMAKE_INSTALL_LIBDIR)
write_basic_package_version_file(
  ${CMAKE_CURRENT_BINARY_DIR}/VelmoraDepthCameraConfigVersion.cmake
  VERSION ${PROJECT_VERSION}
  COMPATIBILITY SameMinorVersion)
install(FILES
  ${CMAKE_CURRENT_BINARY_DIR}/VelmoraDepthCameraConfig.cmake
  ${CMAKE_CURRENT_BINARY_DIR}/VelmoraDepthCameraConfigVersion.cmake
  DESTINATION ${VELMORA_INSTALL_CMAKEDIR})

# pkg-config: the prefix is found from the .pc file's own place, so the file
# stays right when the tree is installed under another prefix.
file(RELATIVE_PATH velmora_pc_to_prefix
     "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
string(REGEX REPLACE "/$" "" velmora_pc_to_prefix "${velmora_pc_to_prefix}")
set(VELMORA_PC_PREFIX "\${pcfiledir}/${velmora_pc_to_prefix}")
configure_file(${CMAKE_CURRENT_LIST_DIR}/velmora.pc.in ${CMAKE_CURRENT_BINARY_DIR}/velmora.pc @ONLY)
install(FILES ${CMAKE_CURRENT_BINARY_DIR}/velmora.pc DESTINATION ${CMAKE_INSTALL_LIBDIR}/pkgconfig)

# --- udev rules, the I2C set-up command and examples ------------------------
install(FILES ${PROJECT_SOURCE_DIR}/packaging/udev/60-velmora-depth-camera.rules
        DESTINATION ${VELMORA_UDEV_RULES_DIR})
install(TARGETS velmora-i2c-access RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${PROJECT_SOURCE_DIR}/examples/preview.py DESTINATION ${VELMORA_INSTALL_DATADIR}/examples)
install(DIRECTORY ${PROJECT_SOURCE_DIR}/examples/cpp-consumer DESTINATION ${VELMORA_INSTALL_DATADIR}/examples
        PATTERN "build*" EXCLUDE PATTERN "depth_consumer_pc" EXCLUDE)

# --- companion Python package and tools -------------------------------------
# velmora_tools goes where each extension module goes (python/CMakeLists.txt
# decides that at install time; the script below follows the same rules), and
# the tools run the Python 3 interpreter the module was built for.
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT)
  set(velmora_configured_prefix "")
else()
  set(velmora_configured_prefix "${CMAKE_INSTALL_PREFIX}")
endif()
set(VELMORA_TOOLS_INTERPRETER_VERSION "")
foreach(module_target velmora_python3 velmora_python27)
  if(NOT TARGET ${module_target})
    continue()
  endif()
  get_target_property(tools_interpreter ${module_target} VELMORA_INTERPRETER)
  execute_process(
    COMMAND "${tools_interpreter}" -c
      "import sys, sysconfig; sys.stdout.write('%d.%d;%s' % (sys.version_info[0], sys.version_info[1], sysconfig.get_paths()['platlib']))"
    OUTPUT_VARIABLE tools_probe RESULT_VARIABLE tools_probe_rc ERROR_QUIET)
  if(NOT tools_probe_rc EQUAL 0)
    message(WARNING "velmora_tools: cannot ask ${tools_interpreter} for its packages directory; not installed for it")
    continue()
  endif()
  list(GET tools_probe 0 tools_version)
  list(GET tools_probe 1 tools_packages_dir)
  if(module_target STREQUAL "velmora_python3")
    set(tools_explicit_dir "${VELMORA_PYTHON3_INSTALL_DIR}")
    set(tools_with_commands ON)
    set(VELMORA_TOOLS_INTERPRETER_VERSION "${tools_version}")
  else()
    set(tools_explicit_dir "${VELMORA_PYTHON27_INSTALL_DIR}")
    set(tools_with_commands OFF)
  endif()
  set(tools_source_dir "${PROJECT_SOURCE_DIR}/tools/velmora_tools")
  set(tools_template "${CMAKE_CURRENT_LIST_DIR}/velmora-tool.in")
  set(tools_preview "${VELMORA_INSTALL_DATADIR}/examples/preview.py")
  set(tools_bindir "${CMAKE_INSTALL_BINDIR}")
  set(tools_work_dir "${CMAKE_CURRENT_BINARY_DIR}/velmora-tools-${module_target}")
  set(tools_install_prefix_at_configure "${CMAKE_INSTALL_PREFIX}")
  configure_file(${CMAKE_CURRENT_LIST_DIR}/InstallTools.cmake.in
                 ${CMAKE_CURRENT_BINARY_DIR}/InstallTools-${module_target}.cmake @ONLY)
  install(SCRIPT ${CMAKE_CURRENT_BINARY_DIR}/InstallTools-${module_target}.cmake)
endforeach()

# --- Debian package ---------------------------------------------------------
# Build it from a tree configured with -DCMAKE_INSTALL_PREFIX=/usr
# -DVELMORA_PYTHON3_INSTALL_DIR=/usr/lib/python3/dist-packages
# -DVELMORA_BUILD_PY27=OFF (scripts/check-packaging.sh does), then: cpack -G DEB.
set(CPACK_PACKAGE_NAME "velmora-depth-camera")
set(CPACK_PACKAGE_VENDOR "VelmoraDepthCamera developers")
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Time-of-flight depth camera driver with Python module and tools")
string(CONCAT CPACK_PACKAGE_DESCRIPTION
    "Driver library of the Velmora time-of-flight depth camera (USB evaluation kit and CSI boards),\n"
    "its Python 3 extension module VelmoraDepthCamera, the companion package velmora_tools (point\n"
    "clouds, colour maps, recording and replay), the command-line tools, a CMake package and a\n"
    "pkg-config file for C++ programs, udev rules that give the video group the camera's own nodes,\n"
    "and velmora-i2c-access, which grants the bus of the camera's control chip and no other.")
set(CPACK_GENERATOR "DEB")
# The Python module's destination is absolute: install into a staging root.
set(CPACK_SET_DESTDIR ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "VelmoraDepthCamera developers <velmora-dev@velmora.invalid>")
set(CPACK_DEBIAN_PACKAGE_SECTION "libs")
set(CPACK_DEBIAN_PACKAGE_PRIORITY "optional")
# libc6, libstdc++6, libgcc-s1 from the binaries; the stand-ins are private.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
set(velmora_deb_depends "")
if(VELMORA_TOOLS_INTERPRETER_VERSION)
  string(REPLACE "." ";" velmora_py_parts "${VELMORA_TOOLS_INTERPRETER_VERSION}")
  list(GET velmora_py_parts 0 velmora_py_major)
  list(GET velmora_py_parts 1 velmora_py_minor)
  math(EXPR velmora_py_next "${velmora_py_minor} + 1")
  # The extension module is built for one interpreter version.
  set(velmora_deb_depends
      "python3 (>= ${velmora_py_major}.${velmora_py_minor}), python3 (<< ${velmora_py_major}.${velmora_py_next}), python3-numpy")
  set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "python3-opencv")
endif()
if(VELMORA_ROS_BUILT)
  # The ROS libraries the node links come as dependencies from the binaries.
  string(APPEND CPACK_PACKAGE_DESCRIPTION
      "\nThe ROS 1 camera node velmora_camera_node, the same camera as a nodelet, and a launch file.")
  list(APPEND CPACK_DEBIAN_PACKAGE_RECOMMENDS "libnodeletlib-tools")
  list(JOIN CPACK_DEBIAN_PACKAGE_RECOMMENDS ", " CPACK_DEBIAN_PACKAGE_RECOMMENDS)
endif()
if(TARGET velmora_camera_ros2)
  # Cyclone DDS and yaml-cpp come as dependencies from the binary.
  string(APPEND CPACK_PACKAGE_DESCRIPTION
      "\nThe ROS 2 camera node velmora_camera_ros2, on Cyclone DDS: no ROS 2 installation needed.")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${velmora_deb_depends}")
if(VELMORA_PYTHON3_INSTALL_DIR)
  set(VELMORA_DEB_PYTHON_DIR "${VELMORA_PYTHON3_INSTALL_DIR}")
else()
  set(VELMORA_DEB_PYTHON_DIR "${CMAKE_INSTALL_PREFIX}/lib/python${VELMORA_TOOLS_INTERPRETER_VERSION}/site-packages")
endif()
file(MAKE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/debian)
# Maintainer scripts get mode 0755 from CPack (strict control permissions).
configure_file(${PROJECT_SOURCE_DIR}/packaging/debian/prerm.in ${CMAKE_CURRENT_BINARY_DIR}/debian/prerm @ONLY)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
    "${PROJECT_SOURCE_DIR}/packaging/debian/postinst;${PROJECT_SOURCE_DIR}/packaging/debian/postrm"
    "${CMAKE_CURRENT_BINARY_DIR}/debian/prerm;${PROJECT_SOURCE_DIR}/packaging/debian/triggers")
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
