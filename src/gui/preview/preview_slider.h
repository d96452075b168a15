// The preview's trackbar: a horizontal slider that shows a selection band (the cut between
// Set Begin and Set End) and reports when a drag or click on it ends.
#pragma once

#include "gui/preview/time_band.h"

#include <QSlider>

namespace quorin {

class PreviewSlider : public QSlider {
    Q_OBJECT
public:
    explicit PreviewSlider(QWidget* parent = nullptr);

    // The selection band in slider units; low > high clears it.
    void SetSelection(int low, int high);
    void ClearSelection() { SetSelection(1, 0); }
    bool HasSelection() const { return selLow_ <= selHigh_; }
    int SelectionLow() const { return selLow_; }
    int SelectionHigh() const { return selHigh_; }
    // The kept ranges (in the channel) and the breaks (hatched across it), in slider units.
    void SetBands(TimeBands bands);
    const TimeBands& Bands() const { return bands_; }

signals:
    // The mouse button was released after a drag or a click on the slider.
    void captureReleased();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    bool event(QEvent* event) override;

private:
    // Horizontal pixel of the handle's centre at a value.
    int PixelAt(int value) const;

    int selLow_ = 1;
    int selHigh_ = 0;
    bool pressed_ = false;
    TimeBands bands_;
};

} // namespace quorin
