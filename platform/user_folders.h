#pragma once

#include <filesystem>

namespace velmora::platform {

// The user's home folder: $HOME, else the password database's entry of the user, else ".". Any
// thread.
std::filesystem::path homeFolder();

// A base folder of the XDG Base Directory rules: the value of `variable` when it is an absolute
// path, else `underHome` in the home folder (an unset, empty or relative value is ignored, as the
// rules ask). Any thread.
std::filesystem::path xdgBaseFolder(const char* variable, const std::filesystem::path& underHome);

}  // namespace velmora::platform
