// The worker of one rip: runs the engine on the prepared clip, then sets the idle flag.
#pragma once

#include "rip/rip_runner.h"

#include <QThread>
#include <atomic>

namespace quorin {

class CReaderThread : public QThread {
    Q_OBJECT
public:
    // The runner has prepared the run (its cut is in the report) before the worker starts.
    CReaderThread(RipRunner& runner, const RipRunReport& report, std::atomic<bool>& idle,
                  QObject* parent = nullptr)
        : QThread(parent), m_Runner(runner), m_Report(report), m_Idle(idle) {}

    const RipRunReport& Report() const { return m_Report; }

protected:
    void run() override;

private:
    RipRunner& m_Runner;
    RipRunReport m_Report;
    std::atomic<bool>& m_Idle;
};

} // namespace quorin
