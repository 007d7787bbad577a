#pragma once
// What the window tests share: the built-in and the English resources, a server over an
// in-memory profile, and finding a control by its id.
#include <QString>
#include <QWidget>
#include <memory>

#include "BuiltInResources.h"
#include "modbus/ModbusServer.h"
#include "platform/ResourceTable.h"
#include "platform/SharedLibrary.h"
#include "support/MemoryProfile.h"
#include "ui/DialogSupport.h"
#include "ui/UiContext.h"

namespace tesmor::test {

struct UiFixture {
    explicit UiFixture(const TesmorResourceTable* table = builtInResourceTable()) : resources(table) {}
    ~UiFixture() { server.stop(); }

    MemoryProfile profile;
    Resources resources;
    ModbusServer server{profile, resources};
    ui::UiContext context{server, profile, resources, std::string(), {}};
};

// The English resources from the library a host loads beside the plug-in; null when it is missing.
// The library stays loaded until the process ends, as the windows' texts come from it.
inline const TesmorResourceTable* englishTable() {
    static const TesmorResourceTable* const table = [] {
        SharedLibrary library(TESMOR_ENGLISH_PATH);
        const TesmorResourceTable* found = resourceTableOf(library);
        library.keepLoaded();
        return found;
    }();
    return table;
}

template <typename T = QWidget>
T* control(const QWidget& window, int id) {
    return window.findChild<T*>(ui::controlName(id));
}

}  // namespace tesmor::test
