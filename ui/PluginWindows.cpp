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

struct PluginWindows::State {
    std::unique_ptr<UiContext> context;
    QPointer<CDlgMain> main;
    std::unique_ptr<MessageBoxSink> sink;
    MessageSink* previousSink = nullptr;
    Rejection rejection;
};

bool windowsAvailable() noexcept {
    return qobject_cast<QApplication*>(QCoreApplication::instance()) != nullptr;
}

PluginWindows::PluginWindows() : state_(std::make_unique<State>()) {}

PluginWindows::~PluginWindows() {
    guarded("closing windows", [this] {
        State& s = *state_;
        delete s.main.data();
        s.main = nullptr;
        s.context.reset();
        if (s.sink) {
            MessageSink* current = setMessageSink(s.previousSink);
            // Someone else's sink installed after ours stays in place.
            if (current != s.sink.get()) setMessageSink(current);
            s.sink.reset();
            s.previousSink = nullptr;
        }
        releaseModuleIcon();
    });
}

void PluginWindows::installMessageBoxes(const Resources& resources) noexcept {
    guarded("message boxes", [&] {
        if (!windowsAvailable() || state_->sink) return;
        state_->sink = std::make_unique<MessageBoxSink>(resources);
        state_->previousSink = setMessageSink(state_->sink.get());
    });
}

bool PluginWindows::showMainWindow(std::intptr_t hostWindow, WindowServices services) noexcept {
    return guarded(
        "main window",
        [&] {
            if (!windowsAvailable()) {
                logLine("menu command: the host runs without windows; the main window is not shown");
                return false;
            }
            State& s = *state_;
            if (!s.main) {
                s.main = nullptr;
                s.context.reset(new UiContext{*services.server, *services.profile, *services.resources,
                                              std::move(services.resourceModulePath),
                                              std::move(services.devices), std::move(services.otherLanguages),
                                              services.database});
                // Parented to the host's window (a top-level dialog above it), destroyed with this object.
                s.main = new CDlgMain(*s.context, reinterpret_cast<QWidget*>(hostWindow));
                s.main->setRejection(s.rejection);
            }
            s.main->showNormal();
            s.main->raise();
            s.main->activateWindow();
            return true;
        },
        false);
}

bool PluginWindows::mainWindowExists() const noexcept { return !state_->main.isNull(); }

bool PluginWindows::settingsSaved() const noexcept { return state_->main && state_->main->settingsSaved(); }

void PluginWindows::clearSettingsSaved() noexcept {
    if (state_->main) state_->main->clearSettingsSaved();
}

void PluginWindows::rebuildMainWindowList() noexcept {
    guarded("main window list", [this] {
        if (state_->main) state_->main->rebuildList();
    });
}

void PluginWindows::showRejection(std::u16string_view message) noexcept {
    guarded("rejection notice", [this, message] {
        state_->rejection =
            message.empty() ? Rejection{} : Rejection{toQString(message), QDateTime::currentDateTime()};
        if (state_->main) state_->main->setRejection(state_->rejection);
    });
}

std::function<void()> PluginWindows::mainWindowRefresher() const noexcept {
    return guarded(
        "main window refresh",
        [this] { return state_->main ? state_->main->deviceRefresher() : std::function<void()>(); },
        std::function<void()>());
}

}  // namespace tesmor::ui
