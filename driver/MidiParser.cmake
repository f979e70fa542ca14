# The MIDI byte-stream parser, a library of its own: the kernel driver links it, and so does the
# audio adapter, which may use driver/MidiParser.h alone of driver/.
qx_library(qx_driver_midiparser driver SOURCES ${CMAKE_CURRENT_LIST_DIR}/MidiParser.cpp LINK qx_platform_kernel)
