#include "ui_kit/KitTest.h"
#include "platform/AppSettings.h"
#include "screens/ReplyCachePage.h"
#include "ui_kit/CvnButton.h"

#include <QApplication>
#include <QLineEdit>

using namespace cvn;
using namespace cvn::test;

namespace {

const QString kMemory = QString::fromLatin1(AppSettings::promptCacheMemoryMb);
const QString kDisk = QString::fromLatin1(AppSettings::promptCacheDiskMb);
constexpr int64_t kMiB = 1024 * 1024;

struct ReplyCachePageTest : KitTest {
    void SetUp() override
    {
        KitTest::SetUp();
        AppSettings::registerDefaults();
        AppSettings::setValue(kMemory, 2048);
        AppSettings::setValue(kDisk, 4096);
    }
    void TearDown() override
    {
        AppSettings::remove(kMemory);
        AppSettings::remove(kDisk);
        KitTest::TearDown();
    }
};

// Saves `text` through the budget dialog that `change` opens; true when the
// dialog took it and closed.
bool saveThroughDialog(ReplyCachePage& page, CvnButton* change, const QString& text)
{
    if (!page.budgetDialog())
        change->click();
    page.budgetDialog()->field()->setText(text);
    page.budgetDialog()->saveButton()->click();
    return !page.budgetDialog();
}

} // namespace

// The figures are the cache's bytes in MiB against the stored budgets; the
// dialogs take whole numbers from 0 (off) to the maximum and nothing else.
TEST_F(ReplyCachePageTest, ShowsUsageAgainstTheBudgetsAndStoresEditedBudgets)
{
    int clears = 0;
    ReplyCachePage page({}, [&] { ++clears; });
    page.setUsage(312 * kMiB, 1 * kMiB + 1);
    EXPECT_EQ(page.memoryValue()->text(), QStringLiteral("312 MiB of 2,048 MiB"));
    EXPECT_EQ(page.diskValue()->text(), QStringLiteral("1 MiB of 4,096 MiB"));
    page.setUsage(100, 0);
    EXPECT_EQ(page.memoryValue()->text(), QStringLiteral("1 MiB of 2,048 MiB"));

    for (const char* refused : {"-1", "1.5", "12a", "1048577"})
        EXPECT_FALSE(saveThroughDialog(page, page.changeMemoryButton(), QString::fromLatin1(refused))) << refused;
    EXPECT_EQ(AppSettings::value(kMemory).toInt(), 2048);
    EXPECT_TRUE(saveThroughDialog(page, page.changeMemoryButton(), QStringLiteral("0")));
    EXPECT_EQ(AppSettings::value(kMemory).toInt(), 0);
    EXPECT_EQ(page.memoryValue()->text(), QStringLiteral("Off"));
    EXPECT_TRUE(saveThroughDialog(page, page.changeDiskButton(), QStringLiteral("1048576")));
    EXPECT_EQ(AppSettings::value(kDisk).toInt(), 1048576);
    EXPECT_EQ(AppSettings::value(kMemory).toInt(), 0);
    EXPECT_EQ(page.diskValue()->text(), QStringLiteral("0 MiB of 1,048,576 MiB"));

    page.clearButton()->click();
    EXPECT_EQ(clears, 1);
}

// Every text of the page is as wide as painting needs it, with the widest
// figures the budgets allow, in the window's smallest usual size.
TEST_F(ReplyCachePageTest, NothingIsCut)
{
    AppSettings::setValue(kMemory, ReplyCachePage::kMaxBudgetMb);
    AppSettings::setValue(kDisk, ReplyCachePage::kMaxBudgetMb);
    ReplyCachePage page({}, {});
    page.setUsage(int64_t(ReplyCachePage::kMaxBudgetMb) * kMiB, int64_t(ReplyCachePage::kMaxBudgetMb) * kMiB);
    page.resize(720, 560);
    showAndSettle(page);
    QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
    QStringList cut;
    // OneLineText has no meta-object of its own, so findChildren cannot tell it.
    for (const QWidget* child : page.findChildren<QWidget*>()) {
        const auto* text = dynamic_cast<const OneLineText*>(child);
        if (text && text->isVisible() && text->width() < Theme::textWidth(Theme::interMedium13(), text->text()))
            cut.append(text->text());
    }
    EXPECT_TRUE(cut.isEmpty()) << cut.join(QStringLiteral(" | ")).toStdString();
    EXPECT_EQ(page.memoryValue()->text(), QStringLiteral("1,048,576 MiB of 1,048,576 MiB"));
}
