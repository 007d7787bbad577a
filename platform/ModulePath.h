#pragma once
// The file a shared object was loaded from, found from an address inside it.
#include <string>

namespace tesmor {

// Full path of the module holding `addressInModule`; empty when the loader cannot tell.
std::string modulePath(const void* addressInModule);

// The resource library's name: the final ".so" of `modulePath` replaced by the abbreviation
// and ".so" (/opt/x/tesmor.so, "ENU" -> /opt/x/tesmorENU.so). A path without ".so" gets both appended.
std::string languageLibraryPath(const std::string& modulePath, const std::string& abbreviation);

}  // namespace tesmor
