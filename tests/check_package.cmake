# Builds the .deb with cpack and checks what it holds: the tool linked with the real hidapi
# and libusb, the staff's commands, desktop files, icons, udev rules and the scripts that
# reload them; and nothing of the simulator.
file(REMOVE_RECURSE "${WORK}")
execute_process(COMMAND ${CMAKE_CPACK_COMMAND} -G DEB --config "${BUILD_DIR}/CPackConfig.cmake" -B "${WORK}"
                RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE out)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cpack failed: ${out}")
endif()
file(GLOB debs "${WORK}/*.deb")
list(LENGTH debs count)
if(NOT count EQUAL 1)
  message(FATAL_ERROR "expected one .deb in ${WORK}, found ${count}")
endif()

execute_process(COMMAND dpkg-deb -c ${debs} OUTPUT_VARIABLE contents RESULT_VARIABLE rc)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "dpkg-deb -c failed")
endif()
foreach(f
    usr/bin/tolvex-dfu-tool
    usr/bin/tolvex-config
    usr/bin/tolvex-dfu-file
    usr/share/applications/com.corvantis.TolvexDfuTool.desktop
    usr/share/metainfo/com.corvantis.TolvexDfuTool.metainfo.xml
    usr/share/icons/hicolor/scalable/apps/com.corvantis.TolvexDfuTool.svg
    usr/share/icons/hicolor/16x16/apps/com.corvantis.TolvexDfuTool.png
    usr/share/icons/hicolor/48x48/apps/com.corvantis.TolvexDfuTool.png
    usr/share/icons/hicolor/256x256/apps/com.corvantis.TolvexDfuTool.png
    usr/lib/udev/rules.d/70-tolvex-dfu.rules)
  string(FIND "${contents}" " ./${f}\n" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "not in the package: ${f}\n${contents}")
  endif()
endforeach()
if(contents MATCHES "sim")
  message(FATAL_ERROR "the package carries simulator files:\n${contents}")
endif()

execute_process(COMMAND dpkg-deb -f ${debs} Depends OUTPUT_VARIABLE depends)
foreach(d udev libhidapi-hidraw0 libusb-1.0-0 libqt6widgets6 zlib1g)
  if(NOT depends MATCHES "${d}")
    message(FATAL_ERROR "Depends lacks ${d}: ${depends}")
  endif()
endforeach()

execute_process(COMMAND dpkg-deb -e ${debs} "${WORK}/control")
execute_process(COMMAND dpkg-deb -x ${debs} "${WORK}/root")
foreach(script postinst postrm)
  if(NOT EXISTS "${WORK}/control/${script}")
    message(FATAL_ERROR "no ${script} script")
  endif()
  file(READ "${WORK}/control/${script}" text)
  if(NOT text MATCHES "udevadm control --reload-rules")
    message(FATAL_ERROR "${script} does not reload the udev rules")
  endif()
  execute_process(COMMAND test -x "${WORK}/control/${script}" RESULT_VARIABLE notExecutable)
  if(notExecutable)
    message(FATAL_ERROR "${script} is not executable")
  endif()
endforeach()

# The packaged tool talks to real devices.
execute_process(COMMAND readelf -d "${WORK}/root/usr/bin/tolvex-dfu-tool" OUTPUT_VARIABLE dynamic)
foreach(lib libhidapi-hidraw libusb-1.0)
  if(NOT dynamic MATCHES "NEEDED.*${lib}")
    message(FATAL_ERROR "tolvex-dfu-tool does not link ${lib}")
  endif()
endforeach()
message(STATUS "package contents complete")
