# The driver's folders build on one another one way: adapter/ (driver entry,
# the adapter object, request routing) on stream/ (the streaming engine, rate
# control, the "\asio" transport) on core/ (the device model, USB requests,
# registry, filter description). A lower folder never includes a higher one.
#   cmake -DROOT=<repository> -P driver/check_layers.cmake
set(higher_of_core "stream|adapter")
set(higher_of_stream "adapter")
set(offences "")
foreach(layer core stream)
  file(GLOB_RECURSE sources ${ROOT}/driver/${layer}/*.h ${ROOT}/driver/${layer}/*.cpp)
  foreach(source ${sources})
    file(STRINGS ${source} lines REGEX "^#include \"driver/(${higher_of_${layer}})/")
    foreach(line ${lines})
      file(RELATIVE_PATH relative ${ROOT} ${source})
      list(APPEND offences "${relative}: ${line}")
    endforeach()
  endforeach()
endforeach()
if(offences)
  list(JOIN offences "\n  " text)
  message(FATAL_ERROR "driver layers included upwards:\n  ${text}")
endif()
