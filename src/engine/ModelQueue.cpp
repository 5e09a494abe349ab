#include "engine/ModelQueue.h"

namespace cvn {

// Linux keeps 15 characters of a thread name, so the label stays for logs and
// the thread gets a short name of its own.
ModelQueue::ModelQueue(const QString& label)
    : m_queue(label, QStringLiteral("cvn.llama.ctx"))
{
}

} // namespace cvn
