#include "HostWindow.h"

#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QMenuBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStatusBar>
#include <QTableWidget>
#include <QVBoxLayout>

#include "HostCore.h"

namespace tesmor::host {

namespace {
QString fromUtf16(const std::u16string& text) {
    return QString::fromUtf16(text.data(), static_cast<qsizetype>(text.size()));
}
std::u16string toUtf16(const QString& text) { return text.toStdU16String(); }
}  // namespace

HostWindow::HostWindow(QWidget* parent) : QMainWindow(parent) {
    setObjectName("HostWindow");
    setWindowTitle("tesmor-host");

    auto* central = new QWidget(this);
    auto* layout = new QVBoxLayout(central);

    devices_ = new QTableWidget(0, 3, central);
    devices_->setObjectName("devices");
    devices_->setHorizontalHeaderLabels({"Device", "Mode", "Last error"});
    devices_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
    connect(devices_, &QTableWidget::cellChanged, this, &HostWindow::deviceEdited);
    layout->addWidget(devices_);

    auto* buttons = new QHBoxLayout;
    auto* add = new QPushButton("Add device", central);
    connect(add, &QPushButton::clicked, this, [this] {
        HostCore::instance().addDevice({u"GC-" + toUtf16(QString::number(devices_->rowCount() + 1)), 0, 0});
        refreshDevices();
    });
    auto* remove = new QPushButton("Remove device", central);
    connect(remove, &QPushButton::clicked, this, [this] {
        if (devices_->currentRow() >= 0)
            HostCore::instance().removeDevice(static_cast<std::size_t>(devices_->currentRow()));
        refreshDevices();
    });
    buttons->addWidget(add);
    buttons->addWidget(remove);
    buttons->addStretch();
    layout->addLayout(buttons);

    auto* update = new QHBoxLayout;
    assayId_ = new QSpinBox(central);
    assayId_->setObjectName("assayId");
    assayId_->setRange(-1, 1'000'000'000);
    auto* raise = new QPushButton("Analysis finished (DocumentUpdate)", central);
    raise->setObjectName("documentUpdate");
    connect(raise, &QPushButton::clicked, this, &HostWindow::raiseDocumentUpdate);
    update->addWidget(assayId_);
    update->addWidget(raise);
    update->addStretch();
    layout->addLayout(update);

    setCentralWidget(central);
    resize(560, 360);
    refreshDevices();
}

void HostWindow::addMenuItem(const QString& path, const QString& command) {
    QStringList levels = path.split('/');
    const QString itemText = levels.takeLast();
    QMenu* menu = nullptr;
    for (const QString& level : levels) {
        const auto& actions = menu ? menu->actions() : menuBar()->actions();
        QMenu* next = nullptr;
        for (QAction* action : actions)
            if (action->menu() && action->text() == level) next = action->menu();
        if (!next) next = menu ? menu->addMenu(level) : menuBar()->addMenu(level);
        menu = next;
    }
    QAction* item = menu ? menu->addAction(itemText) : menuBar()->addAction(itemText);
    const std::string name = command.toStdString();
    connect(item, &QAction::triggered, this, [this, name] {
        HostCore::instance().runCommand(name, reinterpret_cast<intptr_t>(static_cast<QWidget*>(this)));
    });
}

void HostWindow::refreshDevices() {
    filling_ = true;
    const auto devices = HostCore::instance().devices();
    devices_->setRowCount(static_cast<int>(devices.size()));
    for (int row = 0; row < static_cast<int>(devices.size()); ++row) {
        const auto& d = devices[static_cast<std::size_t>(row)];
        devices_->setItem(row, 0, new QTableWidgetItem(fromUtf16(d.name)));
        devices_->setItem(row, 1, new QTableWidgetItem(QString::number(d.mode)));
        devices_->setItem(row, 2, new QTableWidgetItem(QString::number(d.lastError)));
    }
    filling_ = false;
}

void HostWindow::deviceEdited(int row, int column) {
    if (filling_) return;
    const QString text = devices_->item(row, column)->text();
    HostCore::instance().updateDevice(static_cast<std::size_t>(row), [&](Device& d) {
        if (column == 0) d.name = toUtf16(text);
        if (column == 1) d.mode = text.toInt();
        if (column == 2) d.lastError = text.toInt();
    });
}

void HostWindow::raiseDocumentUpdate() {
    const int id = assayId_->value();
    HostCore::instance().raise("System/DocumentUpdate", id);
    statusBar()->showMessage(QString("DocumentUpdate %1 raised").arg(id), 5000);
}

}  // namespace tesmor::host
