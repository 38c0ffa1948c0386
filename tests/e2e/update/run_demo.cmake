# The README's main job, headless, with the embedded images: it must end with the success box,
# the closing command answered, and the emulator holding exactly the updater's images.
execute_process(COMMAND ${DEMO} --headless --timeout 400
  OUTPUT_VARIABLE out ERROR_VARIABLE err RESULT_VARIABLE rc)
message("${out}")
if(NOT rc EQUAL 0)
  message(FATAL_ERROR "demo exited with ${rc}: ${err}")
endif()
foreach(expected "box:  Program OK !! " "step: Mcu Programing 1028" "step: Dsp Progrmming 763"
                 "emulator: flash" "emulator: DSP")
  string(FIND "${out}" "${expected}" at)
  if(at EQUAL -1)
    message(FATAL_ERROR "missing in the demo's output: '${expected}'")
  endif()
endforeach()
