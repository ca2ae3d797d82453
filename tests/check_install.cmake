# Installs into a staging folder and checks that everything a desktop needs is there.
file(REMOVE_RECURSE "${STAGE}")
execute_process(COMMAND ${CMAKE_COMMAND} --install "${BUILD_DIR}" --prefix "${STAGE}/usr"
                RESULT_VARIABLE rc OUTPUT_QUIET)
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "cmake --install failed: ${rc}")
endif()
foreach(f
    usr/bin/tolvex-dfu-tool
    usr/bin/tolvex-config
    usr/bin/tolvex-dfu-file
    usr/share/icons/hicolor/48x48/apps/com.corvantis.TolvexDfuTool.png
    usr/share/applications/com.corvantis.TolvexDfuTool.desktop
    usr/share/metainfo/com.corvantis.TolvexDfuTool.metainfo.xml
    usr/share/icons/hicolor/scalable/apps/com.corvantis.TolvexDfuTool.svg
    usr/lib/udev/rules.d/70-tolvex-dfu.rules)
  if(NOT EXISTS "${STAGE}/${f}")
    message(FATAL_ERROR "not installed: ${f}")
  endif()
endforeach()
file(READ "${STAGE}/usr/share/metainfo/com.corvantis.TolvexDfuTool.metainfo.xml" metainfo)
if(NOT metainfo MATCHES "<release version=\"0.0.9\"")
  message(FATAL_ERROR "metainfo does not carry release 0.0.9")
endif()
message(STATUS "install layout complete")
