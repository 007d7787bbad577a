#pragma once
// Map entries for the window tests, written as the texts a profile holds.
#include "BuiltInResources.h"
#include "modbus/RegisterMap.h"
#include "platform/Resources.h"

namespace tesmor::test {

// The captions of the built-in Russian resources.
inline const MapCaptions& russianCaptions() {
    static const Resources russian{builtInResourceTable()};
    static const MapCaptions captions(russian);
    return captions;
}

inline RegisterInfo russianEntry(const EntryTexts& texts) { return russianCaptions().parse(texts); }
// What the profile holds for an entry under the Russian resources.
inline EntryTexts russianTexts(const RegisterInfo& entry) { return russianCaptions().texts(entry); }

}  // namespace tesmor::test
