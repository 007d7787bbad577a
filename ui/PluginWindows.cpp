#include "PluginWindows.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDateTime>
#include <QPointer>
#include <QWidget>
#include <exception>
#include <string>

#include "platform/Guarded.h"
#include "platform/Log.h"
#include "ui/CDlgMain.h"
#include "ui/MessageBoxSink.h"
#include "ui/ModuleIcon.h"
#include "ui/UiContext.h"

namespace tesmor::ui {

namespace {

struct Windows {
    std::unique_ptr<UiContext> context;
    QPointer<CDlgMain> main;
    std::unique_ptr<MessageBoxSink> sink;
    MessageSink* previousSink = nullptr;
    Rejection rejection;
};

Windows g_windows;

}  // namespace

bool windowsAvailable() noexcept {
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

void installMessageBoxes(const Resources& resources) noexcept {
    guarded("message boxes", [&] {
        if (!windowsAvailable() || g_windows.sink) return;
        g_windows.sink = std::make_unique<MessageBoxSink>(resources);
        g_windows.previousSink = setMessageSink(g_windows.sink.get());
    });
}

bool showMainWindow(std::intptr_t hostWindow, WindowServices services) noexcept {
    return guarded(
        "main window",
        [&] {
            if (!windowsAvailable()) {
                logLine("menu command: the host runs without windows; the main window is not shown");
                return false;
            }
            if (!g_windows.main) {
                g_windows.main = nullptr;
                g_windows.context.reset(
                    new UiContext{*services.server, *services.profile, *services.resources,
                                  std::move(services.resourceModulePath), std::move(services.devices),
                                  std::move(services.otherLanguages)});
                // Parented to the host's window (a top-level dialog above it), destroyed by closeWindows.
                g_windows.main = new CDlgMain(*g_windows.context, reinterpret_cast<QWidget*>(hostWindow));
                g_windows.main->setRejection(g_windows.rejection);
            }
            g_windows.main->showNormal();
            g_windows.main->raise();
            g_windows.main->activateWindow();
            return true;
        },
        false);
}

bool mainWindowExists() noexcept { return !g_windows.main.isNull(); }

bool settingsSaved() noexcept { return g_windows.main && g_windows.main->settingsSaved(); }

void clearSettingsSaved() noexcept {
    if (g_windows.main) g_windows.main->clearSettingsSaved();
}

void rebuildMainWindowList() noexcept {
    guarded("main window list", [] {
        if (g_windows.main) g_windows.main->rebuildList();
    });
}

void showRejection(std::u16string_view message) noexcept {
    guarded("rejection notice", [message] {
        g_windows.rejection =
            message.empty() ? Rejection{} : Rejection{toQString(message), QDateTime::currentDateTime()};
        if (g_windows.main) g_windows.main->setRejection(g_windows.rejection);
    });
}

std::function<void()> mainWindowRefresher() noexcept {
    return guarded(
        "main window refresh",
        [] { return g_windows.main ? g_windows.main->deviceRefresher() : std::function<void()>(); },
        std::function<void()>());
}

void closeWindows() noexcept {
    guarded("closing windows", [] {
        delete g_windows.main.data();
        g_windows.main = nullptr;
        g_windows.context.reset();
        g_windows.rejection = {};
        if (g_windows.sink) {
            MessageSink* current = setMessageSink(g_windows.previousSink);
            // Someone else's sink installed after ours stays in place.
            if (current != g_windows.sink.get()) setMessageSink(current);
            g_windows.sink.reset();
            g_windows.previousSink = nullptr;
        }
        releaseModuleIcon();
    });
}

}  // namespace tesmor::ui
