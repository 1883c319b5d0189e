// What the shared library exports. The library is built with hidden symbols; every installed
// header wraps its declarations in QV_API_BEGIN / QV_API_END, so that its classes (with their
// type information and virtual tables: catching EqvError and deriving from TqvComponent or
// TqvBaseIO work across the library's boundary), functions and variables are exported, and
// nothing else is: helpers of the sources and the private headers stay inside.
#pragma once

#define QV_API_BEGIN _Pragma("GCC visibility push(default)")
#define QV_API_END _Pragma("GCC visibility pop")
