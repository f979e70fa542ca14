// A program of the host: a simulated user process of its own, which the machine runs until the
// program has ended. Kept apart from the user-mode code it runs, which includes <windows.h>.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

// Runs `body` as the entry of a 64-bit process named `image` until the process has ended; its exit
// code.
uint32_t RunHostProgram(const std::string& image, const std::function<uint32_t()>& body);
