#include "ui_kit/KitTest.h"
#include "platform/AppSettings.h"
#include "screens/LocalServerPage.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnCardToggle.h"

#include <QApplication>
#include <QClipboard>
#include <QFontMetricsF>
#include <QGuiApplication>
#include <QRegularExpression>

using namespace cvn;
using namespace cvn::test;

namespace {

const QString kEnabled = QString::fromLatin1(AppSettings::localServerEnabled);
const QString kPort = QString::fromLatin1(AppSettings::localServerPort);
const QString kKey = QString::fromLatin1(AppSettings::localServerApiKey);

struct LocalServerPageTest : KitTest {
    void SetUp() override
    {
        KitTest::SetUp();
        AppSettings::registerDefaults();
        for (const QString& key : {kEnabled, kPort, kKey})
            AppSettings::remove(key);
    }
    void TearDown() override
    {
        SetUp();
        KitTest::TearDown();
    }
};

} // namespace

// The page writes the settings the server follows and shows them back as
// they are stored, whoever wrote them.
TEST_F(LocalServerPageTest, WritesTheSettingsAndShowsWhatIsStored)
{
    LocalServerPage page({});
    EXPECT_FALSE(page.toggle()->isOn());
    EXPECT_EQ(page.urlValue()->text(), QStringLiteral("http://127.0.0.1:47830/v1"));
    EXPECT_TRUE(page.removeKeyButton()->isHidden());

    page.toggle()->toggleIfEnabled();
    EXPECT_TRUE(AppSettings::boolValue(kEnabled));
    EXPECT_TRUE(page.toggle()->isOn());

    for (const char* refused : {"0", "65536", "80a", ""})
        EXPECT_FALSE(page.savePort(QString::fromLatin1(refused))) << refused;
    EXPECT_EQ(AppSettings::value(kPort).toInt(), 47830);
    EXPECT_TRUE(page.savePort(QStringLiteral("8080")));
    EXPECT_EQ(page.portValue()->text(), QStringLiteral("8080"));
    EXPECT_EQ(page.urlValue()->text(), QStringLiteral("http://127.0.0.1:8080/v1"));
    page.copyButton()->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("http://127.0.0.1:8080/v1"));

    page.newKeyButton()->click();
    const QString key = AppSettings::value(kKey).toString();
    EXPECT_TRUE(QRegularExpression(QStringLiteral("^cvn-[0-9a-f]{32}$")).match(key).hasMatch()) << key.toStdString();
    EXPECT_EQ(page.keyValue()->text(), key);
    page.newKeyButton()->click();
    EXPECT_NE(AppSettings::value(kKey).toString(), key);
    EXPECT_FALSE(page.removeKeyButton()->isHidden());
    page.removeKeyButton()->click();
    EXPECT_TRUE(AppSettings::value(kKey).toString().isEmpty());
    EXPECT_TRUE(page.removeKeyButton()->isHidden());

    page.setStateText(QStringLiteral("Not listening: port 8080 is taken by another program."));
    EXPECT_EQ(page.stateLine()->text(), QStringLiteral("Not listening: port 8080 is taken by another program."));
}

// Rows are as wide as painting needs their text: its exact advance, not a
// rounded one, which left the port elided ("488…" for 48813). The settings
// page's rows measure the same way.
TEST_F(LocalServerPageTest, ThePortAndTheSettingsRowsShowTheirWholeText)
{
    LocalServerPage page({});
    page.resize(900, 700);
    page.show();
    const QFontMetricsF metrics(Theme::interMedium13());
    const auto whole = [&](qreal width, const QString& text) {
        return metrics.elidedText(text, Qt::ElideRight, width) == text;
    };
    QStringList cut;
    for (int port = 1; port <= 65535; port += port < 48000 ? 997 : 1) {
        const QString text = QString::number(port);
        ASSERT_TRUE(page.savePort(text));
        QApplication::sendPostedEvents(nullptr, QEvent::LayoutRequest);
        if (!whole(page.portValue()->width(), text))
            cut.append(text);
        if (port == 49000)
            break;
    }
    EXPECT_TRUE(cut.isEmpty()) << cut.size() << " cut, first " << cut.value(0).toStdString();

    QStringList cutRows;
    for (const QString& title : {QStringLiteral("APPEARANCE"), QStringLiteral("HARDWARE"), QStringLiteral("LOCAL SERVER"),
                                 QStringLiteral("REPLY CACHE"), QStringLiteral("CHATS"), QStringLiteral("Light"),
                                 QStringLiteral("Dark"), QStringLiteral("System"), QStringLiteral("48813")}) {
        CardRowButton row(title, CardRowButton::Trailing::None, {});
        if (!whole(row.sizeHint().width() - 2 * SettingsKit::kRowInset, title))
            cutRows.append(title);
    }
    EXPECT_TRUE(cutRows.isEmpty()) << cutRows.join(QLatin1Char(' ')).toStdString();
}
