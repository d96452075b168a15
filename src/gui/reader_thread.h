// The worker of one rip: runs the engine on the prepared clip, then sets the idle flag.
#pragma once

#include "jobs/job_runner.h"

#include <QThread>
#include <atomic>

namespace quorin {

class CPVRFile;

class CReaderThread : public QThread {
    Q_OBJECT
public:
    // Everything the worker needs is set before it starts: the clip's progress blocks, cancel
    // flag and output name (PrepareRip), and the cut in the report.
    CReaderThread(CPVRFile& clip, const RunReport& report, std::atomic<bool>& idle,
                  QObject* parent = nullptr)
        : QThread(parent), m_Clip(clip), m_Report(report), m_Idle(idle) {}

    const RunReport& Report() const { return m_Report; }

protected:
    void run() override;

private:
    CPVRFile& m_Clip;
    RunReport m_Report;
    std::atomic<bool>& m_Idle;
};

} // namespace quorin
