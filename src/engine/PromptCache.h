#pragma once

// The reply cache as the interface sees it: what it holds against its two
// budgets, and a way to empty it. The states themselves live in a
// PromptStore that the slot's models save to and restore from on their own
// queues (engine/PromptStore.h says what an entry is and when it goes).
//
// The budgets are the settings promptCache.memoryMb and promptCache.diskMb
// (0 turns that part off), followed as they change.
//
// Threads: lives on the main thread, and every function is called there.

#include "engine/PromptStore.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>

namespace cvn {

class PromptCache : public QObject {
    Q_OBJECT

public:
    struct Usage {
        int64_t memoryBytes = 0; // bytes of entries held in memory now
        int64_t memoryBudgetBytes = 0; // promptCache.memoryMb in bytes (0: off)
        int64_t diskBytes = 0; // bytes of entry files in the cache folder now
        int64_t diskBudgetBytes = 0; // promptCache.diskMb in bytes (0: off)
    };

    explicit PromptCache(QObject* parent = nullptr);
    ~PromptCache() override;

    // Cheap: counts kept as entries come and go, no look at the disk.
    Usage usage() const;
    // Empties memory and disk, then usageChanged().
    void clear();
    // $XDG_CACHE_HOME/corvanthelis/decoded
    QString folder() const;

    // What the models save to and restore from.
    const std::shared_ptr<PromptStore>& store() const { return m_store; }

    // The budget a setting gives, in bytes; a setting never written reads
    // as its registered default, and a value that is no number as 0.
    static int64_t memoryBudgetSetting();
    static int64_t diskBudgetSetting();

signals:
    void usageChanged();

private:
    void readBudgets();

    std::shared_ptr<PromptStore> m_store;
    // Many saves and evictions in a row make one usageChanged().
    std::shared_ptr<std::atomic<bool>> m_changePosted = std::make_shared<std::atomic<bool>>(false);
};

} // namespace cvn
