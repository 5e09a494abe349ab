#include "screens/ReplyCachePage.h"

#include "models/NumberText.h"
#include "platform/AppSettings.h"
#include "platform/SettingsNotifier.h"
#include "ui_kit/CvnButton.h"

#include <QHBoxLayout>
#include <QVBoxLayout>

#include <algorithm>

namespace cvn {

namespace {

const QString kMemoryKey = QString::fromLatin1(AppSettings::promptCacheMemoryMb);
const QString kDiskKey = QString::fromLatin1(AppSettings::promptCacheDiskMb);
constexpr int64_t kMiB = 1024 * 1024;

int storedBudget(const QString& key)
{
    return AppSettings::value(key).toInt();
}

// The used figure next to its budget: rounded to the nearest MiB, but a cache
// that holds anything never reads as empty.
int64_t usedMiB(int64_t bytes)
{
    if (bytes <= 0)
        return 0;
    return std::max<int64_t>(1, (bytes + kMiB / 2) / kMiB);
}

OneLineText* valueText()
{
    OneLineText* text = cardText(QString());
    text->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    return text;
}

} // namespace

QString ReplyCachePage::usageText(int64_t usedBytes, int budgetMb)
{
    if (budgetMb <= 0)
        return QStringLiteral("Off");
    return QStringLiteral("%1 MiB of %2 MiB")
        .arg(formatGroupedNumber(usedMiB(usedBytes)), formatGroupedNumber(budgetMb));
}

ReplyCachePage::ReplyCachePage(std::function<void()> onBack, std::function<void()> onClear, QWidget* parent)
    : QWidget(parent)
{
    auto* content = new QWidget;
    content->setFixedWidth(SettingsKit::kControlColumnWidth);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(new PageTitle(QStringLiteral("REPLY CACHE")));
    column->addSpacing(SettingsKit::kTitleToCard);

    auto* card = new SettingsCard;
    card->setObjectName(QStringLiteral("cvn.replyCache.card"));
    QHBoxLayout* memory = addControlRow(card, QStringLiteral("MEMORY"));
    m_memory = valueText();
    memory->addWidget(m_memory);
    m_changeMemory = new CvnCompactOutlinePillButton(QStringLiteral("CHANGE"));
    memory->addWidget(m_changeMemory);

    QHBoxLayout* disk = addControlRow(card, QStringLiteral("DISK"));
    m_disk = valueText();
    disk->addWidget(m_disk);
    m_changeDisk = new CvnCompactOutlinePillButton(QStringLiteral("CHANGE"));
    disk->addWidget(m_changeDisk);

    QHBoxLayout* clear = addControlRow(card, QStringLiteral("Chats kept decoded so their replies start sooner"));
    m_clear = new CvnCompactOutlinePillButton(QStringLiteral("CLEAR"));
    clear->addWidget(m_clear);
    column->addWidget(card);

    m_frame = new SettingsPageFrame(SettingsKit::kControlPageMargin, content,
                                    new PageBackButton(QStringLiteral("Back"), std::move(onBack)), this);

    connect(m_changeMemory, &QAbstractButton::clicked, this,
            [this] { askBudget(QStringLiteral("Memory in MiB, 0 for off"), kMemoryKey); });
    connect(m_changeDisk, &QAbstractButton::clicked, this,
            [this] { askBudget(QStringLiteral("Disk in MiB, 0 for off"), kDiskKey); });
    connect(m_clear, &QAbstractButton::clicked, this, [onClear = std::move(onClear)] {
        if (onClear)
            onClear();
    });
    connect(&SettingsNotifier::instance(), &SettingsNotifier::changed, this, [this](const QString& changed) {
        if (changed == kMemoryKey || changed == kDiskKey)
            showUsage();
    });
    showUsage();
}

void ReplyCachePage::setUsage(int64_t memoryBytes, int64_t diskBytes)
{
    m_memoryBytes = memoryBytes;
    m_diskBytes = diskBytes;
    showUsage();
}

void ReplyCachePage::showUsage()
{
    m_memory->setText(usageText(m_memoryBytes, storedBudget(kMemoryKey)));
    m_memory->updateGeometry();
    m_disk->setText(usageText(m_diskBytes, storedBudget(kDiskKey)));
    m_disk->updateGeometry();
}

void ReplyCachePage::askBudget(const QString& title, const QString& key)
{
    if (m_budgetDialog)
        return;
    m_budgetDialog = new CvnInputDialog(
        title, QString::number(storedBudget(key)), int(QString::number(kMaxBudgetMb).size()),
        [this, key](const QString& text) {
            if (key == kMemoryKey ? saveMemoryBudget(text) : saveDiskBudget(text))
                closeBudgetDialog();
        },
        [this] { closeBudgetDialog(); }, this);
    m_budgetDialog->show();
}

namespace {

bool saveBudget(const QString& key, const QString& text)
{
    bool ok = false;
    const int budget = text.trimmed().toInt(&ok);
    if (!ok || budget < 0 || budget > ReplyCachePage::kMaxBudgetMb)
        return false;
    AppSettings::setValue(key, budget);
    return true;
}

} // namespace

bool ReplyCachePage::saveMemoryBudget(const QString& text)
{
    return saveBudget(kMemoryKey, text);
}

bool ReplyCachePage::saveDiskBudget(const QString& text)
{
    return saveBudget(kDiskKey, text);
}

void ReplyCachePage::closeBudgetDialog()
{
    if (m_budgetDialog) {
        // Called from inside the dialog's own click handler.
        m_budgetDialog->hide();
        m_budgetDialog->deleteLater();
        m_budgetDialog.clear();
    }
}

void ReplyCachePage::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_frame->setGeometry(rect());
}

} // namespace cvn
