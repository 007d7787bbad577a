#pragma once
// What a dialog test needs: a server over an in-memory profile, the built-in Russian resources,
// a device list, the UI context over them and a recording message sink.
#include <QApplication>
#include <QComboBox>
#include <QLineEdit>
#include <QString>
#include <QTest>
#include <QWidget>
#include <chrono>
#include <future>
#include <memory>
#include <string>
#include <vector>

#include "BuiltInResources.h"
#include "modbus/DeviceMonitor.h"
#include "modbus/ModbusServer.h"
#include "platform/Resources.h"
#include "support/MemoryProfile.h"
#include "support/RecordingMessageSink.h"
#include "ui/DialogSupport.h"
#include "ui/UiContext.h"

namespace tesmor::test {

struct DialogEnvironment {
    MemoryProfile profile;
    Resources resources{builtInResourceTable()};
    ModbusServer server{profile, resources};
    std::shared_ptr<const DeviceList> devices = std::make_shared<const DeviceList>();
    ui::UiContext context{server, profile, resources, std::string(), [this] { return devices; }};
    RecordingMessageSink sink;
    // Checks of the server's lock made from other threads; kept until the end so that a check
    // that found the lock held never blocks the thread holding it.
    std::vector<std::future<void>> lockChecks;

    QString text(unsigned id) const { return ui::toQString(resources.loadString(id)); }
    std::u16string string(unsigned id) const { return resources.loadString(id); }

    // True when another thread can take the server's lock within a second.
    bool lockIsFree() {
        lockChecks.push_back(std::async(std::launch::async, [this] { server.lock(); }));
        return lockChecks.back().wait_for(std::chrono::seconds(1)) == std::future_status::ready;
    }

    void setDevices(std::vector<std::u16string> names) {
        DeviceList list;
        int index = 0;
        for (auto& name : names) list.push_back(DeviceInfo{index++, std::move(name), 0, 0});
        devices = std::make_shared<const DeviceList>(std::move(list));
    }

    std::vector<std::u16string> messages() const { return sink.texts(); }
};

template <typename T>
T* control(const QWidget& dialog, int id) {
    return dialog.findChild<T*>(ui::controlName(id));
}

// Picks an entry as the user does: the shown entry changes, then the combo reports the choice.
inline void choose(QComboBox* box, const QString& text) {
    const int index = box->findText(text, Qt::MatchExactly | Qt::MatchCaseSensitive);
    QVERIFY2(index >= 0, qPrintable(text));
    QVERIFY2(box->isEnabled(), qPrintable(box->objectName()));
    box->setCurrentIndex(index);
    emit box->activated(index);
}

// Shows the dialog as the active window, as exec() would.
inline bool showActive(QWidget& dialog) {
    dialog.show();
    QApplication::setActiveWindow(&dialog);
    return QTest::qWaitForWindowActive(&dialog);
}

}  // namespace tesmor::test
