// What Windows' audio stack shows of the audio adapter's ports, read as a program listing them
// would: the friendly name of every "MidiKR6" port in the audio category.
#pragma once

#include <string>
#include <vector>

namespace host {

std::vector<std::u16string> MidiKr6FriendlyNames();

}  // namespace host
