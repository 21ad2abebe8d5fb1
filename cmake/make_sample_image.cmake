# Writes a sample firmware image of BYTES bytes to OUTPUT, for the demonstration update.
# Usage: cmake -DOUTPUT=path -DBYTES=n -P make_sample_image.cmake
if(NOT DEFINED OUTPUT OR NOT DEFINED BYTES)
  message(FATAL_ERROR "OUTPUT and BYTES must be given")
endif()
set(line "TOVREL SAMPLE IMAGE - not a real firmware, for the emulated device only.\n")
string(LENGTH "${line}" line_bytes)
math(EXPR repeats "(${BYTES} + ${line_bytes} - 1) / ${line_bytes}")
string(REPEAT "${line}" ${repeats} image)
string(SUBSTRING "${image}" 0 ${BYTES} image)
file(WRITE "${OUTPUT}" "${image}")
