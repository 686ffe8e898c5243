# Build settings of the product code, per target, so that the tests, the
# benchmarks and other programs linking the same libraries keep their own.
#
# The product uses neither exceptions nor RTTI (no layer throws, and nothing
# may cross one), so both are off, and with them the unwind tables and the
# runtime support they would pull in. RTTI only in the Windows build: the
# native trees serve tests under UBSan, whose vptr check fails on objects
# whose class has no type information. In the Windows build the product is
# also optimised for size, each function in its own section, so that the
# executable's link drops what nothing reaches. Data stay in the common
# sections: the PE linker would place zero-filled data of their own sections
# among the initialised data, where they take room in the file.
set(SHIFTLAMP_PRODUCT_FLAGS -fno-exceptions)
if(WIN32)
  list(APPEND SHIFTLAMP_PRODUCT_FLAGS -fno-rtti -fno-asynchronous-unwind-tables -Os -ffunction-sections)
endif()

# A library of product code: the product's flags for its own sources.
function(shiftlamp_product_library target)
  target_compile_options(${target} PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${SHIFTLAMP_PRODUCT_FLAGS}>)
endfunction()

# A product executable: unused sections dropped, symbols stripped, no link
# time stamp (two builds of one commit give the same bytes, whatever the
# clock or the folder they were built in), and the OS seam without
# allocation-failure injection. Its own sources keep their
# flags: call shiftlamp_product_library on it as well when they are product
# code (not for a program whose own code uses exceptions).
function(shiftlamp_product_executable target)
  set_target_properties(${target} PROPERTIES SHIFTLAMP_PRODUCT ON)
  if(WIN32)
    target_link_options(${target} PRIVATE -Wl,--gc-sections -s -Wl,--no-insert-timestamp)
  endif()
endfunction()
