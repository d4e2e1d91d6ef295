# 64-bit Windows programs and libraries beside the 32-bit tree: the device
# helper that installers with a driver carry, and the tests' stand-ins for
# 64-bit system libraries. The tree's toolchain is the 32-bit one: they are
# built by the 64-bit MinGW compiler directly, one source each, statically
# (nothing travels with them).
find_program(MINGW64_CXX NAMES x86_64-w64-mingw32-g++-win32 x86_64-w64-mingw32-g++ REQUIRED)

# Builds ${CMAKE_BINARY_DIR}/OUTPUT from SOURCE; further arguments go to the
# compiler (-mwindows, -shared ...).
function(add_win64_binary output source)
  set(out ${CMAKE_BINARY_DIR}/${output})
  get_filename_component(dir ${out} DIRECTORY)
  add_custom_command(OUTPUT ${out}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${dir}
    COMMAND ${MINGW64_CXX} -std=c++20 -Os -s -static -Wall -Wextra -Wno-unused-parameter
      -fno-exceptions -fno-rtti -fno-asynchronous-unwind-tables -o ${out} ${source} ${ARGN}
    DEPENDS ${source} VERBATIM)
  string(MAKE_C_IDENTIFIER ${output} target)
  add_custom_target(${target} ALL DEPENDS ${out})
endfunction()
