# shiftlamp_wine_host(TARGET t OUTPUT file SOURCES ... [SHARED] [INCLUDES dirs] [LIBS flags])
#
# Builds a Linux program or shared object with the host's gcc for the word
# size of the Wine that runs this tree's programs: Wine's own processes are
# Linux processes of the Windows program's word size (32-bit for the i686
# tree, 64-bit for the x86-64 one), and what runs inside them (the simulated
# board's preload library) or beside it (its probe) must be built for them,
# not with the cross compiler of the Windows tree. Each source is compiled
# on its own so that its header dependencies are tracked. The target's
# property WINE_HOST_OUTPUT holds the path of the result, for tests:
# $<TARGET_PROPERTY:t,WINE_HOST_OUTPUT>.
find_program(SHIFTLAMP_HOST_CC NAMES gcc NO_CMAKE_FIND_ROOT_PATH REQUIRED)

if(CMAKE_SIZEOF_VOID_P EQUAL 4)
  set(SHIFTLAMP_WINE_HOST_FLAG -m32 CACHE INTERNAL "word size of the tree's Wine")
else()
  set(SHIFTLAMP_WINE_HOST_FLAG -m64 CACHE INTERNAL "word size of the tree's Wine")
endif()

# Checked once at configure time: without gcc-multilib the failure would
# otherwise surface as a puzzling link error in the middle of the build.
# The 32-bit probe also tells the scripts whether this machine runs 32-bit
# programs at all.
if(SHIFTLAMP_WINE_HOST_FLAG STREQUAL "-m32" AND NOT DEFINED SHIFTLAMP_HOST32_WORKS)
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

function(shiftlamp_wine_host)
  cmake_parse_arguments(H "SHARED" "TARGET;OUTPUT" "SOURCES;INCLUDES;LIBS" ${ARGN})
  set(flags ${SHIFTLAMP_WINE_HOST_FLAG} -std=c11 -O2 -g -Wall -Wextra -D_FILE_OFFSET_BITS=64)
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
      COMMENT "Compiling ${name}.c for Linux (${SHIFTLAMP_WINE_HOST_FLAG})"
      COMMAND_EXPAND_LISTS VERBATIM)
    list(APPEND objects ${object})
  endforeach()

  set(link ${SHIFTLAMP_WINE_HOST_FLAG})
  if(H_SHARED)
    list(APPEND link -shared)
  endif()
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${SHIFTLAMP_HOST_CC} ${link} -o ${output} ${objects} ${H_LIBS}
    DEPENDS ${objects}
    COMMENT "Linking ${H_OUTPUT} (Linux, ${SHIFTLAMP_WINE_HOST_FLAG})"
    COMMAND_EXPAND_LISTS VERBATIM)
  add_custom_target(${H_TARGET} ALL DEPENDS ${output})
  set_target_properties(${H_TARGET} PROPERTIES WINE_HOST_OUTPUT ${output})
endfunction()
