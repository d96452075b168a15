// The preview's trackbar: a horizontal slider that shows a selection band (the cut between
// Set Begin and Set End) and reports when a drag or click on it ends.
#pragma once

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

signals:
    // The mouse button was released after a drag or a click on the slider.
    void captureReleased();

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    // Horizontal pixel of the handle's centre at a value.
    int PixelAt(int value) const;

    int selLow_ = 1;
    int selHigh_ = 0;
    bool pressed_ = false;
};

} // namespace quorin
