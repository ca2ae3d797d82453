# The window and tolvex-dfu walk the update road through update/ and dfu/: neither calls the
# DFU library's C API itself, so that each rule of the road exists once.
foreach(dir ui tools/tolvex-dfu)
  file(GLOB_RECURSE sources ${SOURCE_DIR}/${dir}/*.cpp ${SOURCE_DIR}/${dir}/*.h)
  foreach(source ${sources})
    file(STRINGS ${source} hits REGEX "(DFUOPS|DFUFILES|DFUDEV)_[A-Za-z]+\\(")
    if(hits)
      message(SEND_ERROR "${source} calls the DFU library directly: ${hits}")
    endif()
  endforeach()
endforeach()
