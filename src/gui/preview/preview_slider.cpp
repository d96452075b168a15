#include "gui/preview/preview_slider.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QStyleOptionSlider>
#include <QStylePainter>
#include <QToolTip>

namespace quorin {

PreviewSlider::PreviewSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {}

void PreviewSlider::SetSelection(int low, int high) {
    selLow_ = low;
    selHigh_ = high;
    update();
}

void PreviewSlider::SetBands(TimeBands bands) {
    bands_ = std::move(bands);
    update();
}

bool PreviewSlider::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        QString text;
        for (const TimeBand& band : bands_)
            if (PixelAt(static_cast<int>(band.from)) <= help->pos().x() &&
                help->pos().x() <= PixelAt(static_cast<int>(band.to)))
                text = band.text;
        QToolTip::showText(help->globalPos(), text.isEmpty() ? toolTip() : text, this);
        return true;
    }
    return QSlider::event(event);
}

int PreviewSlider::PixelAt(int value) const {
    QStyleOptionSlider opt;
    initStyleOption(&opt);
    const QRect groove =
        style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, this);
    const QRect handle =
        style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderHandle, this);
    const int span = groove.width() - handle.width();
    return groove.x() + handle.width() / 2 +
           QStyle::sliderPositionFromValue(minimum(), maximum(), value, span, opt.upsideDown);
}

// A plain channel (the style's own groove fills up to the handle, which would hide the band),
// the selection band in it, the style's ticks, and the handle on top.
void PreviewSlider::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionSlider opt;
    initStyleOption(&opt);
    const QRect groove =
        style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, this);
    const int mid = groove.center().y();
    const QRect channel(groove.left(), mid - 3, groove.width() - 1, 6);
    painter.setPen(palette().color(QPalette::Mid));
    painter.setBrush(palette().color(isEnabled() ? QPalette::Base : QPalette::Window));
    painter.drawRect(channel);

    for (const TimeBand& band : bands_) {
        const int left = PixelAt(static_cast<int>(band.from));
        const int right = std::max(PixelAt(static_cast<int>(band.to)), left + 1);
        if (band.isBreak)
            painter.fillRect(QRect(left, channel.top() - 3, right - left + 1, channel.height() + 7),
                             QBrush(QColor(200, 30, 30), Qt::BDiagPattern));
        else
            painter.fillRect(QRect(left, channel.top() + 1, right - left + 1, channel.height() - 1),
                             QColor(40, 170, 60));
    }
    if (HasSelection()) {
        const int left = PixelAt(selLow_);
        const int right = std::max(PixelAt(selHigh_), left + 1); // one position stays visible
        painter.fillRect(QRect(left, channel.top() + 1, right - left + 1, channel.height() - 1),
                         palette().color(QPalette::Highlight));
        // End marks above the channel, as a trackbar with a selection range shows them.
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawLine(left, channel.top() - 4, left, channel.top() - 1);
        painter.drawLine(right, channel.top() - 4, right, channel.top() - 1);
    }

    if (tickPosition() != NoTicks) {
        opt.subControls = QStyle::SC_SliderTickmarks;
        painter.drawComplexControl(QStyle::CC_Slider, opt);
    }
    opt.subControls = QStyle::SC_SliderHandle;
    painter.drawComplexControl(QStyle::CC_Slider, opt);
}

void PreviewSlider::mousePressEvent(QMouseEvent* event) {
    pressed_ = event->button() == Qt::LeftButton;
    QSlider::mousePressEvent(event);
}

void PreviewSlider::mouseReleaseEvent(QMouseEvent* event) {
    QSlider::mouseReleaseEvent(event);
    if (pressed_ && event->button() == Qt::LeftButton) {
        pressed_ = false;
        emit captureReleased();
    }
}

} // namespace quorin
