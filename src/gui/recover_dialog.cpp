#include "gui/recover_dialog.h"

#include "jobs/preview_picture.h"

#include "base/format.h"
#include "base/program_log.h"
#include "base/scratch_folder.h"
#include "decoder/decoder.h"
#include "disk/pvr_drive.h"
#include "disk/pvr_file.h"
#include "rip/rip_runner.h"

#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cmath>
#include <filesystem>

namespace quorin {
namespace {

constexpr int kPictureWidth = 128;
constexpr int kPictureHeight = 96;

std::string LengthText(double seconds) {
    const int s = static_cast<int>(std::lround(seconds));
    return Format("%d:%02d:%02d", s / 3600, s / 60 % 60, s % 60);
}

// A picture from about a second into the recording, by the project's decoder.
QImage Picture(const std::string& volume, const RecoveredRecording& r,
               const std::atomic<bool>& stop) {
    ScratchFolder scratch("quorin-recover");
    if (!scratch.Valid()) return {};
    RecoveredClip recovered(volume, r);
    RipProgress audio, video;
    RipRunner runner(recovered.Clip(), audio, video, &stop);
    PreviewPictures pictures(runner, scratch.Path().string());
    if (!pictures.Rip(r.seconds >= 2 ? 1.0 : 0.0) || !pictures.Decode()) return {};
    QImage picture(QString::fromStdString(pictures.PicturePath()));
    if (picture.isNull()) return {};
    return picture.scaled(kPictureWidth, kPictureHeight, Qt::KeepAspectRatio,
                          Qt::SmoothTransformation);
}

int Percent(const RipProgress& b) {
    const std::int64_t low = b.rangeLow, high = b.rangeHigh, pos = b.position;
    if (high <= low) return 0;
    return static_cast<int>(std::clamp<std::int64_t>((pos - low) * 100 / (high - low), 0, 100));
}

} // namespace

RecoverDialog::RecoverDialog(const CPVRDrive& drive, const ClusterTable& table,
                             std::string outputFolder, QWidget* parent)
    : QDialog(parent), drive_(drive), table_(table), outputFolder_(std::move(outputFolder)) {
    setWindowTitle(QStringLiteral("Recover Deleted Recordings"));
    list_ = new QTreeWidget(this);
    list_->setHeaderLabels({QStringLiteral("Recording"), QStringLiteral("Length"),
                            QStringLiteral("Date"), QStringLiteral("State")});
    list_->setIconSize(QSize(kPictureWidth, kPictureHeight));
    list_->setRootIsDecorated(false);
    list_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    statusLabel_ = new QLabel(this);
    bar_ = new QProgressBar(this);
    bar_->setRange(0, 100);
    rip_ = new QPushButton(QStringLiteral("Rip Chosen"), this);
    rip_->setEnabled(false);
    cancel_ = new QPushButton(QStringLiteral("Cancel"), this);
    auto* close = new QPushButton(QStringLiteral("Close"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(rip_);
    buttons->addStretch();
    buttons->addWidget(cancel_);
    buttons->addWidget(close);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(list_);
    layout->addWidget(statusLabel_);
    layout->addWidget(bar_);
    layout->addLayout(buttons);
    resize(620, 480);
    connect(rip_, &QPushButton::clicked, this, &RecoverDialog::RipChosen);
    connect(cancel_, &QPushButton::clicked, this, [this] { stop_.store(true); });
    connect(close, &QPushButton::clicked, this, &RecoverDialog::reject);
    connect(&timer_, &QTimer::timeout, this, &RecoverDialog::Poll);
    timer_.setInterval(250);
}

RecoverDialog::~RecoverDialog() {
    stop_.store(true);
    if (worker_) worker_->wait();
}

void RecoverDialog::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!scanned_ && !worker_) StartScan();
}

void RecoverDialog::reject() {
    // Closing waits for the worker: the drive and the table must not go away under it.
    stop_.store(true);
    if (worker_) worker_->wait();
    Poll();
    QDialog::reject();
}

void RecoverDialog::SetStatus(std::string text) {
    status_ = std::move(text);
    statusLabel_->setText(QString::fromStdString(status_));
}

void RecoverDialog::Run(std::function<void()> work) {
    stop_.store(false);
    finished_.store(false);
    done_.store(0);
    total_.store(0);
    rip_->setEnabled(false);
    cancel_->setEnabled(true);
    worker_.reset(QThread::create([this, work = std::move(work)] {
        work();
        finished_.store(true);
    }));
    worker_->start();
    timer_.start();
}

void RecoverDialog::StartScan() {
    if (worker_) return;
    SetStatus("Looking for deleted recordings ...");
    Run([this] {
        report_ = ScanForDeleted(
            drive_, table_,
            [this](int done, int total) {
                total_.store(total);
                done_.store(done);
            },
            stop_);
        pictures_.assign(report_.recordings.size(), QImage());
        for (std::size_t i = 0; i < report_.recordings.size() && !stop_.load(); ++i)
            pictures_[i] = Picture(drive_.DriveName(), report_.recordings[i], stop_);
    });
}

void RecoverDialog::Poll() {
    if (!worker_) return;
    if (!ripping_) {
        const int total = total_.load();
        bar_->setValue(total > 0 ? done_.load() * 100 / total : 0);
    } else {
        const int stage = video_.active.load() ? Percent(video_) : Percent(audio_);
        bar_->setValue(stage);
        const std::string status = (video_.active.load() ? video_ : audio_).Status();
        if (!status.empty()) SetStatus(RecoveredName(done_.load()) + ": " + status);
    }
    if (!finished_.load()) return;
    timer_.stop();
    worker_->wait();
    worker_.reset();
    cancel_->setEnabled(false);
    if (ripping_)
        FinishRips();
    else
        FinishScan();
}

void RecoverDialog::FinishScan() {
    scanned_ = true;
    bar_->setValue(100);
    list_->clear();
    if (report_.cancelled) {
        SetStatus("The search was cancelled");
        return;
    }
    if (!report_.error.empty()) {
        SetStatus(report_.error);
        return;
    }
    for (std::size_t i = 0; i < report_.recordings.size(); ++i) {
        const RecoveredRecording& r = report_.recordings[i];
        auto* item = new QTreeWidgetItem(list_);
        item->setText(0, QString::fromStdString(RecoveredName(r.number)));
        item->setText(1, QString::fromStdString(LengthText(r.seconds)));
        item->setText(2, QStringLiteral("unknown")); // time stamps carry no date
        item->setText(3, r.complete ? QStringLiteral("complete") : QStringLiteral("partial"));
        item->setCheckState(0, Qt::Checked);
        if (i < pictures_.size() && !pictures_[i].isNull())
            item->setIcon(0, QIcon(QPixmap::fromImage(pictures_[i])));
    }
    const std::size_t n = report_.recordings.size();
    SetStatus(n == 0   ? std::string("No deleted recording was found")
              : n == 1 ? std::string("One deleted recording was found")
                       : Format("%d deleted recordings were found", static_cast<int>(n)));
    rip_->setEnabled(n > 0);
}

void RecoverDialog::RipChosen() {
    if (worker_ || !scanned_) return;
    chosen_.clear();
    for (int i = 0; i < list_->topLevelItemCount(); ++i)
        if (list_->topLevelItem(i)->checkState(0) == Qt::Checked) chosen_.push_back(i);
    if (chosen_.empty()) return;
    ripping_ = true;
    written_.clear();
    failures_.clear();
    SetStatus("Ripping ...");
    Run([this, volume = drive_.DriveName()] {
        std::error_code ec;
        std::filesystem::create_directories(outputFolder_, ec);
        for (int index : chosen_) {
            if (stop_.load()) break;
            const RecoveredRecording& r = report_.recordings[static_cast<std::size_t>(index)];
            done_.store(r.number);
            RecoveredClip recovered(volume, r);
            RipRunner runner(recovered.Clip(), audio_, video_, &stop_);
            RipRequest request;
            request.outputFolder = outputFolder_;
            const RipRunReport run = runner.Run(request);
            for (const RipReport::File& f : run.stages.files)
                written_.push_back(f.name);
            if (run.outcome != RipOutcome::kDone)
                failures_.push_back(
                    RecoveredName(r.number) + ": " +
                    (run.stages.message.empty() ? std::string("not done") : run.stages.message));
        }
    });
}

void RecoverDialog::FinishRips() {
    ripping_ = false;
    rip_->setEnabled(true);
    bar_->setValue(100);
    files_ = written_;
    for (const std::string& f : failures_)
        LogLine(f);
    if (stop_.load())
        SetStatus("The rips were cancelled");
    else if (!failures_.empty())
        SetStatus(failures_.front());
    else
        SetStatus(Format("Ripped %d recordings into %s", static_cast<int>(chosen_.size()),
                         outputFolder_.c_str()));
}

} // namespace quorin
