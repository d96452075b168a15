#include "gui/reader_thread.h"

namespace quorin {

void CReaderThread::run() {
    m_Runner.Execute(m_Report);
    m_Idle.store(true);
}

} // namespace quorin
