# shiftlamp_host32(TARGET t OUTPUT file SOURCES ... [SHARED] [INCLUDES dirs] [LIBS flags])
#
# Builds a 32-bit Linux program or shared object with the host's gcc -m32,
# from any build tree: Wine's own processes are 32-bit Linux processes, and
# what runs inside them (the simulated board's preload library) or beside it
# (its probe) must be built for them, not with the cross compiler of the
# Windows tree. Each source is compiled on its own so that its header
# dependencies are tracked. The target's property HOST32_OUTPUT holds the
# path of the result, for tests: $<TARGET_PROPERTY:t,HOST32_OUTPUT>.
find_program(SHIFTLAMP_HOST_CC NAMES gcc NO_CMAKE_FIND_ROOT_PATH REQUIRED)

# Checked once at configure time: without gcc-multilib the failure would
# otherwise surface as a puzzling link error in the middle of the build.
if(NOT DEFINED SHIFTLAMP_HOST32_WORKS)
  set(probe ${CMAKE_BINARY_DIR}/CMakeFiles/host32_probe)
  file(WRITE ${probe}.c "int main(void) { return 0; }\n")
  execute_process(COMMAND ${SHIFTLAMP_HOST_CC} -m32 -o ${probe} ${probe}.c
                  RESULT_VARIABLE result OUTPUT_QUIET ERROR_QUIET)
  if(result EQUAL 0)
    set(SHIFTLAMP_HOST32_WORKS ON CACHE INTERNAL "gcc -m32 links")
  else()
    message(FATAL_ERROR "${SHIFTLAMP_HOST_CC} -m32 cannot link a program: install gcc-multilib")
  endif()
endif()

function(shiftlamp_host32)
  cmake_parse_arguments(H "SHARED" "TARGET;OUTPUT" "SOURCES;INCLUDES;LIBS" ${ARGN})
  set(flags -m32 -std=c11 -O2 -g -Wall -Wextra -D_FILE_OFFSET_BITS=64)
  if(H_SHARED)
    list(APPEND flags -fPIC -fvisibility=hidden)
  endif()
  foreach(dir IN LISTS H_INCLUDES)
    list(APPEND flags -I${dir})
  endforeach()

  set(output ${CMAKE_CURRENT_BINARY_DIR}/${H_OUTPUT})
  set(objects)
  foreach(source IN LISTS H_SOURCES)
    get_filename_component(source ${source} ABSOLUTE)
    get_filename_component(name ${source} NAME_WE)
    set(object ${CMAKE_CURRENT_BINARY_DIR}/${H_TARGET}.dir/${name}.o)
    add_custom_command(
      OUTPUT ${object}
      COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/${H_TARGET}.dir
      COMMAND ${SHIFTLAMP_HOST_CC} ${flags} -MD -MF ${object}.d -MT ${object} -c ${source} -o ${object}
      DEPENDS ${source}
      DEPFILE ${object}.d
      COMMENT "Compiling ${name}.c for 32-bit Linux"
      COMMAND_EXPAND_LISTS VERBATIM)
    list(APPEND objects ${object})
  endforeach()

  set(link -m32)
  if(H_SHARED)
    list(APPEND link -shared)
  endif()
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${SHIFTLAMP_HOST_CC} ${link} -o ${output} ${objects} ${H_LIBS}
    DEPENDS ${objects}
    COMMENT "Linking ${H_OUTPUT} (32-bit Linux)"
    COMMAND_EXPAND_LISTS VERBATIM)
  add_custom_target(${H_TARGET} ALL DEPENDS ${output})
  set_target_properties(${H_TARGET} PROPERTIES HOST32_OUTPUT ${output})
endfunction()
