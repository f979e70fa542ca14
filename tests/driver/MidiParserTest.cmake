qx_test(qx_midiparser_tests SOURCES ${CMAKE_CURRENT_LIST_DIR}/MidiParserTest.cpp LINK qx_driver_midiparser)
