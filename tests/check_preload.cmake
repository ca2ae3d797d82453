# Runs the plain libusb client with the simulated devices preloaded and checks what it saw.
file(WRITE "${WORK}/world.txt" "# two devices\ndfu product=Tolvex_Demo_Board serial=TVX-0001\ndfu product=Second alternates=1 pid=0x2A18\n")
execute_process(
  COMMAND ${CMAKE_COMMAND} -E env LD_PRELOAD=${PRELOAD} TOLVEX_SIM_WORLD=${WORK}/world.txt ${CLIENT}
  RESULT_VARIABLE rc OUTPUT_VARIABLE out ERROR_VARIABLE err)
message("${out}${err}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "the libusb client failed: ${rc}")
endif()
foreach(expected
    "devices: 2"
    "device 1209:2a17"
    "device 1209:2a18"
    "functional: attributes 0x0b transfer 2048 version 0x011a"
    "manufacturer: Corvantis"
    "product: Tolvex Demo Board"
    "alternate: @Option Bytes  /0x1FFFC000/01*016 e"
    "alternate: @Internal Flash  /0x08000000/04*016Kg,01*064Kg,07*128Kg"
    "serial: TVX-0001"
    "uploaded 2048 bytes, first 0xff")
  string(FIND "${out}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "missing from the client's output: ${expected}")
  endif()
endforeach()
