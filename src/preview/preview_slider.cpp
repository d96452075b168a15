#include "preview/preview_slider.h"

#include <QMouseEvent>
#include <QStyleOptionSlider>
#include <QStylePainter>

namespace quorin {

PreviewSlider::PreviewSlider(QWidget* parent) : QSlider(Qt::Horizontal, parent) {}

void PreviewSlider::SetSelection(int low, int high) {
    m_iSelLow = low;
    m_iSelHigh = high;
    update();
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

// Groove and ticks first, then the band, then the handle on top, so the band never hides it.
void PreviewSlider::paintEvent(QPaintEvent*) {
    QStylePainter painter(this);
    QStyleOptionSlider opt;
    initStyleOption(&opt);
    opt.subControls = QStyle::SC_SliderGroove;
    if (tickPosition() != NoTicks) opt.subControls |= QStyle::SC_SliderTickmarks;
    painter.drawComplexControl(QStyle::CC_Slider, opt);

    if (HasSelection()) {
        const QRect groove =
            style()->subControlRect(QStyle::CC_Slider, &opt, QStyle::SC_SliderGroove, this);
        const int left = PixelAt(m_iSelLow);
        const int right = std::max(PixelAt(m_iSelHigh), left + 1); // one position stays visible
        const int mid = groove.center().y();
        const QRect band(left, mid - 3, right - left + 1, 7);
        painter.fillRect(band, palette().color(QPalette::Highlight));
        // Small end marks above the groove, as on a trackbar with a selection range.
        painter.setPen(palette().color(QPalette::WindowText));
        painter.drawLine(left, groove.top() - 1, left, mid - 4);
        painter.drawLine(right, groove.top() - 1, right, mid - 4);
    }

    opt.subControls = QStyle::SC_SliderHandle;
    painter.drawComplexControl(QStyle::CC_Slider, opt);
}

void PreviewSlider::mousePressEvent(QMouseEvent* event) {
    m_bPressed = event->button() == Qt::LeftButton;
    QSlider::mousePressEvent(event);
}

void PreviewSlider::mouseReleaseEvent(QMouseEvent* event) {
    QSlider::mouseReleaseEvent(event);
    if (m_bPressed && event->button() == Qt::LeftButton) {
        m_bPressed = false;
        emit captureReleased();
    }
}

} // namespace quorin
