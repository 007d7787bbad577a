#include "ModuleIcon.h"

#include <QColor>
#include <QCoreApplication>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPen>
#include <cmath>
#include <memory>

namespace tesmor::ui {

namespace {

std::unique_ptr<QIcon> g_icon;

// A chromatogram trace with two peaks above three register cells, on a rounded tile.
void paintIcon(QPainter& p, int size) {
    p.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    QLinearGradient tile(0, 0, 0, s);
    tile.setColorAt(0, QColor(0x1f, 0x5f, 0x9f));
    tile.setColorAt(1, QColor(0x0b, 0x2f, 0x55));
    p.setPen(Qt::NoPen);
    p.setBrush(tile);
    p.drawRoundedRect(QRectF(0, 0, s, s).adjusted(0.5, 0.5, -0.5, -0.5), s * 0.18, s * 0.18);

    QPainterPath trace;
    const double left = s * 0.12, right = s * 0.88, base = s * 0.62;
    constexpr int kSteps = 48;
    for (int i = 0; i <= kSteps; ++i) {
        const double x = double(i) / kSteps;
        const double y = 0.75 * std::exp(-std::pow((x - 0.33) / 0.07, 2)) +
                         0.45 * std::exp(-std::pow((x - 0.68) / 0.06, 2));
        const QPointF point(left + x * (right - left), base - y * s * 0.46);
        if (i == 0) {
            trace.moveTo(point);
        } else {
            trace.lineTo(point);
        }
    }
    p.setBrush(Qt::NoBrush);
    p.setPen(QPen(Qt::white, std::max(1.0, s * 0.06), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.drawPath(trace);

    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0xf5, 0xa6, 0x23));
    const double cell = s * 0.2, gap = s * 0.06, top = s * 0.72;
    for (int i = 0; i < 3; ++i) p.drawRect(QRectF(s * 0.16 + i * (cell + gap), top, cell, s * 0.14));
}

}  // namespace

QPixmap moduleIconPixmap(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter painter(&pixmap);
    paintIcon(painter, size);
    return pixmap;
}

QIcon moduleIcon() {
    if (!g_icon) {
        g_icon = std::make_unique<QIcon>();
        for (int size : {16, 24, 32, 48, 64}) g_icon->addPixmap(moduleIconPixmap(size));
        qAddPostRoutine(&releaseModuleIcon);
    }
    return *g_icon;
}

void releaseModuleIcon() noexcept {
    if (!g_icon) return;
    g_icon.reset();
    qRemovePostRoutine(&releaseModuleIcon);
}

}  // namespace tesmor::ui
