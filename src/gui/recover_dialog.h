// "Recover Deleted Recordings": the scan for deleted recordings on a worker, what it found with a
// picture of each, and rips of the chosen ones into the output folder with the usual progress.
// The dialog only reads the drive and the table it is given; they must outlive it.
#pragma once

#include "base/run_state.h"
#include "rip/recover.h"

#include <QDialog>
#include <QImage>
#include <QThread>
#include <QTimer>
#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QLabel;
class QProgressBar;
class QPushButton;
class QTreeWidget;

namespace quorin {

class CPVRDrive;
class ClusterTable;

class RecoverDialog : public QDialog {
    Q_OBJECT
public:
    RecoverDialog(const CPVRDrive& drive, const ClusterTable& table, std::string outputFolder,
                  QWidget* parent = nullptr);
    ~RecoverDialog() override;
    RecoverDialog(const RecoverDialog&) = delete;
    RecoverDialog& operator=(const RecoverDialog&) = delete;

    // Starts the scan (the dialog does so when it is shown).
    void StartScan();
    bool Busy() const { return worker_ != nullptr; }
    QTreeWidget* List() const { return list_; }
    QPushButton* RipButton() const { return rip_; }
    QPushButton* CancelButton() const { return cancel_; }
    const std::string& Status() const { return status_; }
    // The files the last rips wrote.
    const std::vector<std::string>& Files() const { return files_; }

    // Closing waits for the worker: the drive and the table must not go away under it.
    void reject() override;

protected:
    void showEvent(QShowEvent* event) override;

private:
    void Poll();
    void FinishScan();
    void RipChosen();
    void FinishRips();
    void SetStatus(std::string text);
    void Run(std::function<void()> work);

    const CPVRDrive& drive_;
    const ClusterTable& table_;
    std::string outputFolder_;
    QTreeWidget* list_ = nullptr;
    QLabel* statusLabel_ = nullptr;
    QProgressBar* bar_ = nullptr;
    QPushButton* rip_ = nullptr;
    QPushButton* cancel_ = nullptr;
    QTimer timer_;
    std::unique_ptr<QThread> worker_;
    bool scanned_ = false;
    bool ripping_ = false;
    std::string status_;
    std::vector<std::string> files_;

    // Shared with the worker: it writes them while it runs, the dialog reads them when it ends
    // (the counters and the blocks also while it runs).
    std::atomic<bool> stop_{false};
    std::atomic<bool> finished_{false};
    std::atomic<int> done_{0};
    std::atomic<int> total_{0};
    RipProgress audio_, video_;
    RecoveryScanReport report_;
    std::vector<QImage> pictures_;
    std::vector<int> chosen_;
    std::vector<std::string> written_;
    std::vector<std::string> failures_;
};

} // namespace quorin
