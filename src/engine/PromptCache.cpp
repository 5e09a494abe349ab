#include "engine/PromptCache.h"

#include "platform/AppSettings.h"
#include "platform/MainThread.h"
#include "platform/SettingsNotifier.h"

#include <QPointer>
#include <QStandardPaths>

#include <functional>

namespace cvn {

namespace {

constexpr int64_t kMiB = 1024 * 1024;

int64_t budgetOf(const char* key, const std::function<int64_t()>& unregistered)
{
    QVariant value = AppSettings::value(QString::fromLatin1(key));
    if (!value.isValid())
        value = qlonglong(unregistered());
    bool ok = false;
    const qlonglong mb = value.toLongLong(&ok);
    return ok && mb > 0 ? int64_t(mb) * kMiB : 0;
}

} // namespace

PromptCache::PromptCache(QObject* parent)
    : QObject(parent)
    , m_store(std::make_shared<PromptStore>(
          QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QStringLiteral("/corvanthelis/decoded")))
{
    QPointer<PromptCache> self(this);
    m_store->setOnChange([self, posted = m_changePosted] {
        if (posted->exchange(true))
            return;
        runOnMain([self, posted] {
            posted->store(false);
            if (self)
                emit self->usageChanged();
        });
    });
    readBudgets();
    connect(&SettingsNotifier::instance(), &SettingsNotifier::changed, this, [this](const QString& key) {
        if (key == QLatin1String(AppSettings::promptCacheMemoryMb) || key == QLatin1String(AppSettings::promptCacheDiskMb))
            readBudgets();
    });
}

PromptCache::~PromptCache()
{
    m_store->setOnChange({});
}

int64_t PromptCache::memoryBudgetSetting()
{
    return budgetOf(AppSettings::promptCacheMemoryMb,
                    [] { return int64_t(AppSettings::promptCacheMemoryDefaultMb(readMemoryFigures())); });
}

int64_t PromptCache::diskBudgetSetting()
{
    return budgetOf(AppSettings::promptCacheDiskMb, [] { return int64_t(AppSettings::promptCacheDiskDefaultMb); });
}

void PromptCache::readBudgets()
{
    m_store->setMemoryBudget(memoryBudgetSetting());
    m_store->setDiskBudget(diskBudgetSetting());
    emit usageChanged();
}

PromptCache::Usage PromptCache::usage() const
{
    return Usage{m_store->memoryBytes(), m_store->memoryBudget(), m_store->diskBytes(), m_store->diskBudget()};
}

void PromptCache::clear()
{
    m_store->clear();
    emit usageChanged();
}

QString PromptCache::folder() const
{
    return m_store->folder();
}

} // namespace cvn
