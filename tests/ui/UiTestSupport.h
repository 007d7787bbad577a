#pragma once
// What the dialog tests share: the built-in resources, a server over an in-memory profile, and
// finding a control by its id.
#include <QString>
#include <QWidget>
#include <memory>

#include "BuiltInResources.h"
#include "modbus/ModbusServer.h"
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

template <typename T = QWidget>
T* control(const QWidget& window, int id) {
    return window.findChild<T*>(ui::controlName(id));
}

}  // namespace tesmor::test
