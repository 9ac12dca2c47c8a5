# Runs the same sequence of zatac97 commands twice -- once with the
# compiled-in driver, once with the kernel image loaded (--image) -- each in a
# directory of its own with its own registry file, and fails on the first
# difference in exit status, output or any file written (the recordings, the
# bytes that reached the DAC, the registry the driver saved).
#
#   cmake -DZATAC97=... -DIMAGE=... -DWORK=... -P same_as_compiled_in.cmake
foreach(var ZATAC97 IMAGE WORK)
  if(NOT DEFINED ${var})
    message(FATAL_ERROR "${var} is not set")
  endif()
endforeach()

# One command a line, arguments separated by '|'. The mixer settings are
# made in one run and must be back in the next; the power cycle plays across
# D3.
set(commands
  ""
  "record|--out|ramp.wav|--source|ramp|--seconds|0.2"
  "play|ramp.wav|--out|dac.wav"
  "record|--out|rec8.wav|--source|ramp|--seconds|0.1|--rate|22050|--bits|8|--channels|1"
  "record|--out|rec11.wav|--source|tone:440|--seconds|0.1|--rate|11025|--channels|1"
  "play|rec11.wav|--out|dac11.wav"
  "mixer|set|Wave Mute|on"
  "mixer|set|Line Volume|--|-6"
  "mixer|list|--registers"
  "power|d3,d0|--play|ramp.wav"
  "power|d2,d0,d3,d0"
)

file(REMOVE_RECURSE "${WORK}")
file(MAKE_DIRECTORY "${WORK}/compiled-in" "${WORK}/image")
set(n 0)
foreach(line IN LISTS commands)
  math(EXPR n "${n} + 1")
  string(REPLACE "|" ";" args "${line}")
  foreach(which compiled-in image)
    set(extra)
    if(which STREQUAL "image")
      set(extra --image "${IMAGE}")
    endif()
    execute_process(COMMAND "${ZATAC97}" --registry registry.reg ${extra} ${args}
                    WORKING_DIRECTORY "${WORK}/${which}"
                    RESULT_VARIABLE status_${which} OUTPUT_VARIABLE out_${which} ERROR_VARIABLE err_${which})
  endforeach()
  if(NOT status_compiled-in STREQUAL "0")
    message(FATAL_ERROR "zatac97 ${line} failed with the compiled-in driver (${status_compiled-in}):\n${err_compiled-in}")
  endif()
  if(NOT status_image STREQUAL status_compiled-in OR NOT out_image STREQUAL out_compiled-in
     OR NOT err_image STREQUAL err_compiled-in)
    message(FATAL_ERROR "zatac97 ${line}: the image differs from the compiled-in driver\n"
                        "-- compiled-in (${status_compiled-in}):\n${out_compiled-in}${err_compiled-in}\n"
                        "-- image (${status_image}):\n${out_image}${err_image}")
  endif()
endforeach()

file(GLOB written RELATIVE "${WORK}/compiled-in" "${WORK}/compiled-in/*")
list(LENGTH written count)
if(count LESS 6)
  message(FATAL_ERROR "the runs wrote only ${written}")
endif()
foreach(name IN LISTS written)
  execute_process(COMMAND ${CMAKE_COMMAND} -E compare_files "${WORK}/compiled-in/${name}" "${WORK}/image/${name}"
                  RESULT_VARIABLE differ)
  if(differ)
    message(FATAL_ERROR "${name} differs between the compiled-in driver and the image")
  endif()
endforeach()
message(STATUS "${n} commands, ${count} files: the image and the compiled-in driver agree")
