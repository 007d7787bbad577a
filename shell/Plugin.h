#pragma once
// The plug-in's life as the host drives it: entry points, events and the menu command.
// Every function here is called on the host's event thread and never throws.
#include <cstdint>

namespace tesmor {

int onModulesLoaded(intptr_t argument) noexcept;
int onDocumentUpdate(intptr_t assayId) noexcept;
int onMenuCommand(intptr_t hostWindow) noexcept;

inline constexpr const char* kModulesLoadedEvent = "System/ModulesLoaded";
inline constexpr const char* kDocumentUpdateEvent = "System/DocumentUpdate";
inline constexpr const char* kMenuCommand = "tesmor/MenuCommand";

}  // namespace tesmor
