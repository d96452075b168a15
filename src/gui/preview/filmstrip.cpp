#include "gui/preview/filmstrip.h"

#include "disk/pvr_file.h"

#include <QHelpEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QToolTip>

#include <algorithm>
#include <cmath>

namespace quorin {

Filmstrip::Filmstrip(QWidget* parent) : QWidget(parent) {
    setMinimumHeight(48);
    setCursor(Qt::PointingHandCursor);
}

// The worker goes first: it may still post thumbnails to this object.
Filmstrip::~Filmstrip() {
    Stop();
}

int Filmstrip::ThumbCountFor(int width) {
    return std::clamp(width / kMinCellWidth, kMinThumbs, kMaxThumbs);
}

void Filmstrip::SetClip(const CPVRFile* clip, std::int64_t basePts, std::int64_t lengthHundredths,
                        const QImage& first, std::int64_t firstPts, double aspect,
                        const ClipAnalysis& analysis) {
    clip_ = clip;
    analysis_ = analysis;
    first_ = first;
    firstPts_ = firstPts;
    firstAspect_ = aspect;
    basePts_ = basePts;
    length_ = std::max<std::int64_t>(lengthHundredths, 1);
    Start();
}

void Filmstrip::Stop() {
    worker_.reset();
    ++generation_;
}

void Filmstrip::Start() {
    Stop();
    requested_.clear();
    thumbs_.clear();
    positions_.clear();
    arrived_ = 0;
    if (clip_) {
        const int count = ThumbCountFor(width());
        for (int k = 0; k < count; ++k)
            requested_.push_back(static_cast<double>(length_) / 100.0 * k / count);
        thumbs_.resize(requested_.size());
        positions_.resize(requested_.size());
        const qreal dpr = devicePixelRatioF();
        const QSize cell = CellRect(0).size() * dpr;
        const int skip = first_.isNull() ? 0 : 1;
        if (skip) Arrive(0, ScaleThumb(first_, firstAspect_, cell), firstPts_);
        worker_ = std::make_unique<StripWorker>(
            *clip_, analysis_, std::vector<double>(requested_.begin() + skip, requested_.end()),
            cell,
            [this, skip, generation = ++generation_](int index, QImage image, std::int64_t pts) {
                const int k = index + skip;
                QMetaObject::invokeMethod(
                    this,
                    [this, generation, k, image = std::move(image), pts] {
                        // A thumbnail of a stopped worker may still be on its way.
                        if (generation == generation_) Arrive(k, image, pts);
                    },
                    Qt::QueuedConnection);
            });
    }
    update();
}

QImage ScaleThumb(const QImage& picture, double aspect, QSize cell) {
    if (picture.isNull()) return {};
    const int width = static_cast<int>(std::lround(cell.height() * aspect));
    return picture.scaled(std::min(width, cell.width()), cell.height(), Qt::IgnoreAspectRatio,
                          Qt::SmoothTransformation);
}

void Filmstrip::Arrive(int k, const QImage& image, std::int64_t pts) {
    if (k < 0 || k >= ThumbCount()) return;
    ++arrived_;
    QImage thumb = image;
    thumb.setDevicePixelRatio(devicePixelRatioF());
    thumbs_[static_cast<std::size_t>(k)] = thumb;
    if (pts != PTS_NONE) positions_[static_cast<std::size_t>(k)] = (pts - basePts_) / 900;
    update(CellRect(k));
    emit thumbArrived(k);
}

int Filmstrip::FilledCount() const {
    return static_cast<int>(
        std::count_if(thumbs_.begin(), thumbs_.end(), [](const QImage& i) { return !i.isNull(); }));
}

QRect Filmstrip::CellRect(int k) const {
    const int count = std::max(ThumbCount(), ThumbCountFor(width()));
    const int cellWidth = width() / count;
    return QRect(k * cellWidth + 1, 1, cellWidth - 2, height() - 6);
}

int Filmstrip::XOf(std::int64_t position) const {
    return static_cast<int>(static_cast<double>(position) * (width() - 1) /
                            static_cast<double>(std::max<std::int64_t>(length_, 1)));
}

void Filmstrip::SetMarks(std::int64_t begin, std::int64_t end) {
    begin_ = begin;
    end_ = end;
    update();
}

std::int64_t Filmstrip::PositionOf(int x) const {
    return static_cast<std::int64_t>(static_cast<double>(x) * static_cast<double>(length_) /
                                     std::max(1, width() - 1));
}

void Filmstrip::SetBands(TimeBands bands) {
    bands_ = std::move(bands);
    update();
}

bool Filmstrip::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        const QString text = BandTextAt(bands_, PositionOf(help->pos().x()));
        QToolTip::showText(help->globalPos(), text.isEmpty() ? toolTip() : text, this);
        return true;
    }
    return QWidget::event(event);
}

void Filmstrip::SetCurrent(std::int64_t position) {
    current_ = position;
    update();
}

void Filmstrip::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().color(QPalette::Dark));
    for (int k = 0; k < ThumbCount(); ++k) {
        const QRect cell = CellRect(k);
        const QImage& thumb = thumbs_[static_cast<std::size_t>(k)];
        if (thumb.isNull()) {
            painter.fillRect(cell, palette().color(QPalette::Mid));
            continue;
        }
        QSizeF size = thumb.deviceIndependentSize();
        size.scale(cell.size(), Qt::KeepAspectRatio);
        const QRectF target(cell.x() + (cell.width() - size.width()) / 2,
                            cell.y() + (cell.height() - size.height()) / 2, size.width(),
                            size.height());
        painter.drawImage(target, thumb);
    }
    // Kept ranges along the top edge, breaks hatched over the thumbnails.
    for (const TimeBand& band : bands_) {
        const QRect area(
            QPoint(XOf(band.from), 0),
            QPoint(std::max(XOf(band.to), XOf(band.from) + 1), band.isBreak ? height() - 5 : 3));
        if (band.isBreak)
            painter.fillRect(area, QBrush(QColor(200, 30, 30, 160), Qt::BDiagPattern));
        else
            painter.fillRect(area, band.selected ? palette().color(QPalette::Highlight)
                                                 : QColor(40, 170, 60));
    }
    // The band between the marks and the marks themselves along the bottom edge.
    const int bottom = height() - 4;
    if (begin_ >= 0 && end_ >= 0)
        painter.fillRect(QRect(QPoint(XOf(std::min(begin_, end_)), bottom),
                               QPoint(XOf(std::max(begin_, end_)), height() - 1)),
                         palette().color(QPalette::Highlight));
    painter.setPen(QPen(palette().color(QPalette::Highlight), 2));
    for (std::int64_t mark : {begin_, end_})
        if (mark >= 0) painter.drawLine(XOf(mark), 0, XOf(mark), height());
    if (current_ >= 0) {
        painter.setPen(QPen(palette().color(QPalette::BrightText), 1));
        painter.drawLine(XOf(current_), 0, XOf(current_), height());
    }
}

void Filmstrip::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton || ThumbCount() == 0) return;
    const int k = event->position().toPoint().x() / std::max(1, width() / ThumbCount());
    if (k >= 0 && k < ThumbCount()) emit thumbClicked(k);
    event->accept();
}

void Filmstrip::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // More or fewer thumbnails fit: the strip starts again for the new count.
    if (clip_ && ThumbCountFor(width()) != ThumbCount()) Start();
}

} // namespace quorin
