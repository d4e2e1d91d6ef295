// Included first in every file of the stub (see CMakeLists.txt): the C++
// library's messages for its throwing paths, which lean_runtime.cpp answers
// with a message of its own, become empty. The library's headers name them
// through __N, and each file that instantiates a string member kept its own
// copies (the linker of Windows programs does not merge equal texts).
#pragma once
// Part of the library's view, and checked as the library is: an empty
// message is a fine format for the library's formatting throws.
#pragma GCC system_header

#include <cstddef>

#undef __N
#define __N(msgid) ("")
