# The one place that says which version this is. The top-level build and the fuzz build read it.
set(QV_VERSION 0.1.0)
# The shared library's ABI version (libqvcomm.so.0): raise it with every incompatible change of
# the installed headers' classes or functions.
set(QV_SOVERSION 0)
