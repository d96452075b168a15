#include "gui/preview/range_list.h"

#include "base/format.h"
#include "gui/preview/preview_dialog.h"

#include <QListWidget>
#include <QMouseEvent>
#include <QPushButton>
#include <QVBoxLayout>

#include <algorithm>

namespace quorin {

namespace {

QString RangeText(const CutRange& r) {
    return QString::fromStdString(FormatHundredths(r.from) + "-" + FormatHundredths(r.to));
}

bool Earlier(const CutRange& a, const CutRange& b) {
    return a.from < b.from;
}

template <class W> W* Tagged(W* widget, int controlId) {
    widget->setProperty(preview_ids::kProperty, controlId);
    return widget;
}

} // namespace

std::optional<QString> RangeRefusal(const std::vector<CutRange>& ranges, const CutRange& range,
                                    int skip) {
    if (range.to <= range.from)
        return QStringLiteral("A range must end after it begins (%1).").arg(RangeText(range));
    for (int k = 0; k < static_cast<int>(ranges.size()); ++k) {
        const CutRange& other = ranges[static_cast<std::size_t>(k)];
        if (k != skip && range.from < other.to && other.from < range.to)
            return QStringLiteral("%1 overlaps range %2 (%3).")
                .arg(RangeText(range))
                .arg(k + 1)
                .arg(RangeText(other));
    }
    return std::nullopt;
}

RangeList::RangeList(QWidget* parent) : QWidget(parent) {
    auto* add = Tagged(new QPushButton(QStringLiteral("Add range"), this), preview_ids::kAddRange);
    add->setToolTip(QStringLiteral("Adds the range from Set Begin to Set End to the list"));
    remove_ =
        Tagged(new QPushButton(QStringLiteral("Remove range"), this), preview_ids::kRemoveRange);
    remove_->setEnabled(false);
    list_ = Tagged(new QListWidget(this), preview_ids::kRangeList);
    list_->setToolTip(QStringLiteral("The ranges one job keeps, joined; Set Begin and Set End "
                                     "change the range selected (a click below the ranges "
                                     "selects none)"));
    list_->viewport()->installEventFilter(this);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(4);
    layout->addWidget(add);
    layout->addWidget(remove_);
    layout->addWidget(list_, 1);
    connect(add, &QPushButton::clicked, this, &RangeList::addAsked);
    connect(remove_, &QPushButton::clicked, this, &RangeList::removeAsked);
    connect(list_, &QListWidget::currentRowChanged, this, [this](int row) {
        remove_->setEnabled(row >= 0);
        emit selectionChanged(row);
    });
}

int RangeList::Selected() const {
    return list_->currentRow();
}

// A click where no range is selects none, so that Set Begin and Set End make a new one.
bool RangeList::eventFilter(QObject* watched, QEvent* event) {
    if (watched == list_->viewport() && event->type() == QEvent::MouseButtonPress &&
        !list_->itemAt(static_cast<QMouseEvent*>(event)->position().toPoint())) {
        Select(-1);
        return true;
    }
    return QWidget::eventFilter(watched, event);
}

void RangeList::Select(int row) {
    if (row < 0 || row >= static_cast<int>(ranges_.size())) {
        list_->setCurrentRow(-1);
        return;
    }
    list_->setCurrentRow(row);
}

std::optional<QString> RangeList::Add(const CutRange& range) {
    if (auto why = RangeRefusal(ranges_, range)) return why;
    ranges_.insert(std::upper_bound(ranges_.begin(), ranges_.end(), range, Earlier), range);
    Fill(-1);
    return std::nullopt;
}

std::optional<QString> RangeList::Change(int row, const CutRange& range) {
    if (row < 0 || row >= static_cast<int>(ranges_.size())) return std::nullopt;
    if (auto why = RangeRefusal(ranges_, range, row)) return why;
    ranges_.erase(ranges_.begin() + row);
    const auto at = std::upper_bound(ranges_.begin(), ranges_.end(), range, Earlier);
    Fill(static_cast<int>(ranges_.insert(at, range) - ranges_.begin()));
    return std::nullopt;
}

void RangeList::Remove(int row) {
    if (row < 0 || row >= static_cast<int>(ranges_.size())) return;
    ranges_.erase(ranges_.begin() + row);
    Fill(-1);
}

void RangeList::Replace(std::vector<CutRange> ranges) {
    ranges_ = std::move(ranges);
    Fill(-1);
}

void RangeList::Fill(int select) {
    {
        const QSignalBlocker quiet(list_);
        list_->clear();
        for (const CutRange& r : ranges_)
            list_->addItem(RangeText(r));
        list_->setCurrentRow(select);
    }
    remove_->setEnabled(select >= 0);
    emit rangesChanged();
    emit selectionChanged(select);
}

} // namespace quorin
