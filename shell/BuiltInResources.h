#pragma once
// The Russian resources compiled into the plug-in; used unless a language library replaces them.
#include "platform/ResourceTable.h"

namespace tesmor {
const TesmorResourceTable* builtInResourceTable() noexcept;
}
