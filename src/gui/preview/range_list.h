// The preview dialog's list of kept ranges: each from Set Begin to Set End, kept in time order,
// never overlapping (ranges that touch are fine), with the buttons that add and remove them.
// One job keeps them all, joined.
#pragma once

#include <QWidget>

#include <cstdint>
#include <optional>
#include <vector>

class QListWidget;
class QPushButton;

namespace quorin {

struct CutRange {
    std::int64_t from = 0; // hundredths from the start of the clip
    std::int64_t to = 0;
    bool operator==(const CutRange&) const = default;
};

// Why the range cannot join the others (the one at skip left out), or nothing.
std::optional<QString> RangeRefusal(const std::vector<CutRange>& ranges, const CutRange& range,
                                    int skip = -1);

class RangeList : public QWidget {
    Q_OBJECT
public:
    explicit RangeList(QWidget* parent = nullptr);

    const std::vector<CutRange>& Ranges() const { return ranges_; }
    bool Empty() const { return ranges_.empty(); }
    // The row selected, or -1.
    int Selected() const;
    void Select(int row);
    // Adds the range at its place in time and selects nothing; why not when refused.
    std::optional<QString> Add(const CutRange& range);
    // Changes the range of the row; why not when refused (the row keeps its range then).
    std::optional<QString> Change(int row, const CutRange& range);
    void Remove(int row);
    // Replaces the list (ranges already in order and apart).
    void Replace(std::vector<CutRange> ranges);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

signals:
    void addAsked();
    void removeAsked();
    void selectionChanged(int row);
    void rangesChanged();

private:
    void Fill(int select);

    std::vector<CutRange> ranges_;
    QListWidget* list_ = nullptr;
    QPushButton* remove_ = nullptr;
};

} // namespace quorin
