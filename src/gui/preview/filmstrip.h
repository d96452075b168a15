// The row of thumbnails under the preview picture: the first picture at evenly spaced times
// across the clip, filled one by one by a StripWorker. A click on a thumbnail asks the dialog to
// move there; the cut's begin and end marks and the position shown are drawn over the row.
#pragma once

#include "gui/preview/strip_worker.h"
#include "gui/preview/time_band.h"

#include <QImage>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace quorin {

class CPVRFile;

class Filmstrip : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMinThumbs = 8;
    static constexpr int kMaxThumbs = 16;
    static constexpr int kMinCellWidth = 60;

    explicit Filmstrip(QWidget* parent = nullptr);
    ~Filmstrip() override;

    // Starts filling the strip for the clip (positions in hundredths from basePts, the clip
    // lengthHundredths long); a null clip stops the worker and clears the strip.
    // The picture the dialog shows at position 0 (with its time stamp and aspect) is the first
    // thumbnail at once.
    // analysis: what the dialog's rips found out about the clip, for the worker's rips.
    void SetClip(const CPVRFile* clip, std::int64_t basePts, std::int64_t lengthHundredths,
                 const QImage& first = {}, std::int64_t firstPts = 0, double aspect = 4.0 / 3.0,
                 const ClipAnalysis& analysis = {});
    void Stop();

    // Thumbnails that fit the width, 8 to 16.
    static int ThumbCountFor(int width);
    int ThumbCount() const { return static_cast<int>(requested_.size()); }
    // Engine seconds each thumbnail was asked for.
    double RequestedSeconds(int k) const { return requested_[static_cast<std::size_t>(k)]; }
    // The thumbnail (null until it arrives) and its picture's position in hundredths.
    QImage Thumb(int k) const { return thumbs_[static_cast<std::size_t>(k)]; }
    std::optional<std::int64_t> ThumbPosition(int k) const {
        return positions_[static_cast<std::size_t>(k)];
    }
    int FilledCount() const;
    // True until every thumbnail asked for has arrived (or the worker was stopped).
    bool Working() const { return worker_ && arrived_ < ThumbCount(); }
    // The worker's scratch folder (empty when none runs).
    std::filesystem::path WorkerFolder() const {
        return worker_ ? worker_->Folder() : std::filesystem::path();
    }
    QRect CellRect(int k) const;

    // Marks in hundredths; a negative value hides one.
    void SetMarks(std::int64_t begin, std::int64_t end);
    void SetCurrent(std::int64_t position);
    std::int64_t BeginMark() const { return begin_; }
    std::int64_t EndMark() const { return end_; }
    // The kept ranges and the breaks, drawn over the thumbnails' top edge.
    void SetBands(TimeBands bands);
    const TimeBands& Bands() const { return bands_; }

signals:
    void thumbClicked(int k);
    void thumbArrived(int k);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;
    bool event(QEvent* event) override;

private:
    void Start();
    void Arrive(int k, const QImage& image, std::int64_t pts);
    int XOf(std::int64_t position) const;
    std::int64_t PositionOf(int x) const;

    const CPVRFile* clip_ = nullptr;
    ClipAnalysis analysis_;
    std::int64_t basePts_ = 0;
    std::int64_t length_ = 0;
    QImage first_;
    std::int64_t firstPts_ = 0;
    double firstAspect_ = 4.0 / 3.0;
    std::vector<double> requested_;
    std::vector<QImage> thumbs_;
    std::vector<std::optional<std::int64_t>> positions_;
    std::int64_t begin_ = -1;
    std::int64_t end_ = -1;
    std::int64_t current_ = -1;
    TimeBands bands_;
    int arrived_ = 0;
    int generation_ = 0; // read on the user-interface thread only
    std::unique_ptr<StripWorker> worker_;
};

} // namespace quorin
