#include "gui/reader_thread.h"

namespace quorin {

void CReaderThread::run() {
    ExecuteRip(m_Clip, m_Report);
    m_Idle.store(true);
}

} // namespace quorin
