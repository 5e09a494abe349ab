#include "chat/composer/Composer.h"

#include "chat/composer/ComposerControls.h"
#include "chat/composer/MentionPopup.h"
#include "chat/shared/LayoutProbe.h"
#include "support/TempEnv.h"
#include "support/Wait.h"
#include "ui_kit/KitTest.h"

#include <QApplication>
#include <QBuffer>
#include <QClipboard>
#include <QDropEvent>
#include <QImage>
#include <QMimeData>
#include <QStyleHints>
#include <QTest>

using namespace cvn;

namespace {

ModelInfo model(const QString& name)
{
    ModelInfo info;
    info.displayName = name;
    return info;
}

QList<ModelInfo> models(int count)
{
    QList<ModelInfo> list;
    for (int i = 0; i < count; ++i)
        list.append(model(QStringLiteral("Model %1").arg(i)));
    return list;
}

// The composer on a page, 40 px from the page's top, as the chat page holds it.
class ComposerTest : public cvn::test::KitTest {
protected:
    void SetUp() override
    {
        KitTest::SetUp();
        page.resize(900, 700);
        composer = new Composer(&page);
        composer->move(50, 400);
        composer->onSend = [this](const QString& text) { sent.append(text); };
        composer->onHeightChange = [this](int h) { heights.append(h); };
        cvn::test::showAndSettle(page);
        composer->editor()->setFocus();
    }
    void type(const QString& text) { QTest::keyClicks(composer->editor(), text); }
    void key(Qt::Key k, Qt::KeyboardModifiers m = {}) { QTest::keyClick(composer->editor(), k, m); }
    bool popupShown() const { return composer->popup()->isVisible(); }

    QWidget page;
    Composer* composer = nullptr;
    QStringList sent;
    QList<int> heights;
};

} // namespace

TEST_F(ComposerTest, LaysOutThePanelToTheSizesOfTheDesign)
{
    EXPECT_EQ(heights, QList<int>{140});
    EXPECT_EQ(composer->size(), QSize(797, 140));
    // 116 panel: 92 inside the padding, 81 of content centred 5 below it.
    EXPECT_EQ(composer->editor()->geometry(), QRect(28, 12 + 5 + 7, 745, 28));
    EXPECT_EQ(composer->attachButton()->geometry(), QRect(28, 12 + 5 + 35 + 8, 38, 38));
    EXPECT_EQ(composer->sendButton()->geometry(), QRect(735, 60, 38, 38));
    const int pill = composer->modelPill()->pillWidth();
    EXPECT_EQ(composer->modelPill()->geometry(), QRect(735 - 20 - pill, 60, pill, 38));

    // Glass at its opaque blend behind, the send disc in ink, corner clear.
    const QImage image = cvn::test::renderOver(*composer, Qt::transparent);
    EXPECT_TRUE(cvn::test::pixelNear(image, 400, 8, QColor(0xEA, 0xEA, 0xEA), 1));
    EXPECT_TRUE(cvn::test::pixelNear(image, 735 + 4, 60 + 19, cvn::test::kInk));
    EXPECT_EQ(cvn::test::alphaAt(image, 400, 130), 0); // the bottom margin
}

TEST_F(ComposerTest, PanelHeightFollowsTheEditorAndIsReported)
{
    const QList<std::pair<qreal, int>> cases = {{35, 116}, {46, 116}, {47, 117}, {100, 170}, {180, 250}, {400, 250}};
    for (const auto& [editor, panel] : cases)
        EXPECT_EQ(Composer::panelHeightFor(editor), panel) << editor;

    QStringList lines;
    for (int i = 0; i < 20; ++i)
        lines << QStringLiteral("line");
    composer->editor()->setPlainText(lines.join(u'\n'));
    EXPECT_EQ(heights.last(), 274);
    EXPECT_EQ(composer->height(), 274);
    EXPECT_EQ(composer->editor()->height(), 173);
    // Nothing below the button row leaves the panel.
    EXPECT_LE(composer->attachButton()->geometry().bottom() + 1, 250 - 12);
}

TEST_F(ComposerTest, SendTakesTheTextAsTypedAndResets)
{
    composer->editor()->setPlainText(QStringLiteral("a\nb\nc\nd"));
    ASSERT_GT(heights.last(), 140);
    composer->editor()->setPlainText(QStringLiteral("  "));
    key(Qt::Key_Return);
    EXPECT_EQ(sent, QStringList{QStringLiteral("  ")});
    EXPECT_EQ(composer->text(), QString());
    EXPECT_EQ(heights.last(), 140);
    QTest::mouseClick(composer->sendButton(), Qt::LeftButton, {}, QPoint(19, 19));
    EXPECT_EQ(sent, (QStringList{QStringLiteral("  "), QString()}));
}

TEST_F(ComposerTest, NothingTypedIsLostWhileAReplyStreamsOrASendWaits)
{
    int attached = 0, stopped = 0;
    composer->onAttach = [&] { ++attached; };
    composer->onStop = [&] { ++stopped; };
    type(QStringLiteral("next question"));
    composer->setStreaming(true);
    EXPECT_TRUE(composer->stopDisc()->isVisible());
    EXPECT_FALSE(composer->sendButton()->isVisible());
    key(Qt::Key_Return);
    QTest::mouseClick(composer->attachButton(), Qt::LeftButton, {}, QPoint(19, 19));
    QTest::mouseClick(composer->stopDisc(), Qt::LeftButton, {}, QPoint(19, 19));
    EXPECT_EQ(composer->text(), QStringLiteral("next question"));
    EXPECT_TRUE(sent.isEmpty());
    EXPECT_EQ(attached, 0);
    EXPECT_EQ(stopped, 1);

    composer->setStreaming(false);
    composer->setSendPending(true);
    key(Qt::Key_Return);
    EXPECT_EQ(composer->text(), QStringLiteral("next question"));
    composer->setSendPending(false);
    QTest::mouseClick(composer->attachButton(), Qt::LeftButton, {}, QPoint(19, 19));
    key(Qt::Key_Return);
    EXPECT_EQ(sent, QStringList{QStringLiteral("next question")});
    EXPECT_EQ(attached, 1);
}

TEST_F(ComposerTest, CouncilOffLeavesMentionsToTheEditor)
{
    composer->setMentionModels({model(QStringLiteral("ab"))});
    composer->editor()->setPlainText(QStringLiteral("x\n@ab"));
    composer->editor()->moveCursor(QTextCursor::End);
    EXPECT_FALSE(popupShown());
    key(Qt::Key_Up);
    EXPECT_LT(composer->editor()->caret(), 2);
    // Still drawn heavier: it names a known model.
    EXPECT_EQ(composer->editor()->boldRanges().size(), 1);
    key(Qt::Key_Return);
    EXPECT_EQ(sent, QStringList{QStringLiteral("x\n@ab")});
}

TEST_F(ComposerTest, PopupHeightsFollowTheCandidateCount)
{
    composer->setCouncilOn(true);
    type(QStringLiteral("@"));
    for (const auto& [count, height] : {std::pair{1, 61}, {2, 106}, {5, 241}, {6, 256}, {9, 256}}) {
        composer->setMentionModels(models(count));
        ASSERT_TRUE(popupShown()) << count;
        EXPECT_EQ(composer->popup()->height(), height) << count;
        // On the page, its bottom on the panel's top, centred on the panel.
        EXPECT_EQ(composer->popup()->geometry(), QRect(50, 400 - height, 797, height)) << count;
    }
    EXPECT_TRUE(LayoutProbe::snapshot().filter(QStringLiteral("mention popup")).first().endsWith(
        QStringLiteral("(9 rows)")));
}

TEST_F(ComposerTest, ArrowsWrapEscapeDismissesOnlyThatTokenTypingResets)
{
    composer->setCouncilOn(true);
    composer->setMentionModels(
        {model(QStringLiteral("Tiny")), model(QStringLiteral("Tidy")), model(QStringLiteral("Tin"))});
    type(QStringLiteral("@ti"));
    ASSERT_EQ(composer->candidates().size(), 3);
    key(Qt::Key_Up);
    EXPECT_EQ(composer->popup()->highlighted(), 2);
    key(Qt::Key_Down);
    EXPECT_EQ(composer->popup()->highlighted(), 0);
    key(Qt::Key_Down);
    type(QStringLiteral("n"));
    EXPECT_EQ(composer->highlight(), 0);

    key(Qt::Key_Escape);
    EXPECT_FALSE(popupShown());
    key(Qt::Key_Backspace);
    EXPECT_TRUE(popupShown());
    // The dismissal went with the token: the same token retyped is offered.
    type(QStringLiteral("n"));
    EXPECT_TRUE(popupShown());
}

TEST_F(ComposerTest, AcceptingRewritesTheTokenPlacesTheCaretAndUndoes)
{
    composer->setCouncilOn(true);
    composer->setMentionModels({model(QStringLiteral("Tiny · 2B Chat")), model(QStringLiteral("Other"))});
    composer->editor()->setPlainText(QStringLiteral("ask @ti now"));
    composer->editor()->setPendingCaret(7);
    ASSERT_TRUE(popupShown());
    key(Qt::Key_Return);
    EXPECT_TRUE(sent.isEmpty());
    EXPECT_EQ(composer->text(), QStringLiteral("ask @Tiny_2B_Chat  now"));
    EXPECT_EQ(composer->editor()->caret(), 18);
    EXPECT_FALSE(popupShown());
    composer->editor()->undo();
    EXPECT_EQ(composer->text(), QStringLiteral("ask @ti now"));

    // A pick by the pointer does the same.
    composer->editor()->setPendingCaret(7);
    QWidget* rows = composer->popup()->rowsWidget();
    QTest::mouseClick(rows, Qt::LeftButton, {}, QPoint(3, 45 * 0 + 20));
    EXPECT_EQ(composer->text(), QStringLiteral("ask @Tiny_2B_Chat  now"));
}

TEST_F(ComposerTest, ModelPillNamesTheModelWithinItsWidths)
{
    ModelPill* pill = composer->modelPill();
    EXPECT_EQ(pill->label(), QStringLiteral("SELECT A MODEL"));
    const QFontMetricsF metrics(ComposerEditor::textFont());
    const int label = qCeil(metrics.horizontalAdvance(QStringLiteral("SELECT A MODEL"))) + 1;
    EXPECT_EQ(pill->labelWidth(), label);
    EXPECT_EQ(pill->pillWidth(), qBound(102, label + 56, 240));

    composer->setCurrentModelName(QStringLiteral("a"));
    EXPECT_EQ(pill->label(), QStringLiteral("A"));
    EXPECT_EQ(pill->pillWidth(), 102);
    composer->setCurrentModelName(QString(200, u'x'));
    EXPECT_EQ(pill->labelWidth(), 182);
    EXPECT_EQ(pill->pillWidth(), 238);
    EXPECT_EQ(pill->geometry().right() + 1, 735 - 20);
    EXPECT_TRUE(LayoutProbe::snapshot().contains(QStringLiteral("model pill: x %1  y %2  w 238  h 38  (width 238)")
                                                     .arg(50 + 735 - 20 - 238)
                                                     .arg(400 + 60)));
    EXPECT_TRUE(LayoutProbe::snapshot().filter(QStringLiteral("model pill text")).first().endsWith(
        QStringLiteral("(200 chars)")));
}

namespace {

// Counts the paint events a widget receives.
class PaintCounter : public QObject {
public:
    explicit PaintCounter(QWidget* widget) { widget->installEventFilter(this); }
    int paints = 0;

protected:
    bool eventFilter(QObject*, QEvent* event) override
    {
        paints += event->type() == QEvent::Paint;
        return false;
    }
};

} // namespace

TEST_F(ComposerTest, ALongParagraphLeftAloneIsNeverLaidOutOrDrawnAgain)
{
    // Every blink of the caret would lay out and draw its whole paragraph.
    QStyleHints* hints = QGuiApplication::styleHints();
    const int flashTime = hints->cursorFlashTime();
    hints->setCursorFlashTime(20);
    QApplication::setActiveWindow(&page);
    ComposerEditor* editor = composer->editor();
    editor->setFocus();
    const auto paintsWhileIdle = [&] {
        QTest::qWait(50);
        PaintCounter counter(editor->viewport());
        QTest::qWait(200);
        return counter.paints;
    };
    editor->setPlainText(QString(ComposerEditor::longestBlinkingParagraph + 1, u'a'));
    editor->setPendingCaret(editor->text().size());
    EXPECT_EQ(paintsWhileIdle(), 0);

    // Short again, the caret blinks; other fields blink once it is elsewhere.
    key(Qt::Key_Backspace);
    EXPECT_GT(paintsWhileIdle(), 0);
    key(Qt::Key_A);
    EXPECT_EQ(hints->cursorFlashTime(), 0);
    editor->clearFocus();
    EXPECT_EQ(hints->cursorFlashTime(), 20);
    hints->setCursorFlashTime(flashTime);
}

TEST_F(ComposerTest, PastedPicturesAndDroppedFilesAreStagedNotTyped)
{
    QList<QUrl> staged;
    composer->onStageFiles = [&](const QList<QUrl>& files) { staged += files; };
    const QString folder = cvn::test::makeTempFolder(QStringLiteral("pasted"));
    composer->setPasteFolder(folder);
    QImage shot(40, 30, QImage::Format_RGB32);
    shot.fill(Qt::red);
    for (const QString& name : {QStringLiteral("Pasted image.png"), QStringLiteral("Pasted image 2.png")}) {
        QGuiApplication::clipboard()->setImage(shot);
        key(Qt::Key_V, Qt::ControlModifier);
        ASSERT_TRUE(cvn::test::waitUntil([&] { return !staged.isEmpty() && staged.last().fileName() == name; }, 20000))
            << name.toStdString();
        EXPECT_EQ(QImage(staged.last().toLocalFile()).pixel(5, 5), QColor(Qt::red).rgb());
    }
    EXPECT_EQ(composer->text(), QString());

    // A dropped file on this computer is staged; text still drops as text.
    const QString file = folder + QStringLiteral("/photo.jpg");
    ASSERT_TRUE(shot.save(file));
    const auto drop = [this](QMimeData& data) {
        QDragEnterEvent enter(QPoint(20, 10), Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(composer->editor()->viewport(), &enter);
        QDropEvent event(QPointF(20, 10), Qt::CopyAction, &data, Qt::LeftButton, {});
        QApplication::sendEvent(composer->editor()->viewport(), &event);
    };
    QMimeData files;
    files.setUrls({QUrl::fromLocalFile(file), QUrl(QStringLiteral("https://example.com/a.png"))});
    drop(files);
    EXPECT_EQ(staged.size(), 3);
    EXPECT_EQ(staged.last(), QUrl::fromLocalFile(file));
    QMimeData text;
    text.setText(QStringLiteral("hello"));
    drop(text);
    EXPECT_EQ(composer->text(), QStringLiteral("hello"));
    EXPECT_EQ(staged.size(), 3);

    // A folder that cannot be made: the paste says so and stages nothing.
    QString failure;
    composer->onPasteFailed = [&](const QString& message) { failure = message; };
    composer->setPasteFolder(file + QStringLiteral("/inside"));
    QGuiApplication::clipboard()->setImage(shot);
    key(Qt::Key_V, Qt::ControlModifier);
    ASSERT_TRUE(cvn::test::waitUntil([&] { return !failure.isEmpty(); }, 20000));
    EXPECT_TRUE(failure.startsWith(QStringLiteral("Couldn't keep the pasted image: "))) << failure.toStdString();
    EXPECT_EQ(staged.size(), 3);
}

// A picture as another program offers it on the clipboard: its bytes under
// their type, and the picture Qt would decode from them, whatever the type.
class OfferedPicture : public QMimeData {
public:
    OfferedPicture(QString type, QByteArray bytes) : m_type(std::move(type)), m_bytes(std::move(bytes)) {}
    QStringList formats() const override { return {m_type, QStringLiteral("application/x-qt-image")}; }

protected:
    QVariant retrieveData(const QString& type, QMetaType) const override
    {
        return type == m_type ? QVariant(m_bytes) : QVariant(QImage::fromData(m_bytes));
    }

private:
    QString m_type;
    QByteArray m_bytes;
};

// A paste is decoded only from a kind the program reads (an SVG would open
// the local files it names), a refusal says why, and a pasted picture goes
// to the stager as a file of its own.
TEST_F(ComposerTest, APasteIsDecodedOnlyFromAKindTheProgramReadsAndARefusalSaysWhy)
{
    QList<QUrl> pasted;
    QStringList failures;
    composer->onStageFiles = [&](const QList<QUrl>& files) { pasted += files; };
    composer->onStagePasted = [&](const QUrl& file) { pasted.append(file); };
    composer->onPasteFailed = [&](const QString& message) { failures.append(message); };
    composer->setPasteFolder(cvn::test::makeTempFolder(QStringLiteral("pasted")));
    const OfferedPicture drawing(QStringLiteral("image/svg+xml"),
                                 "<svg xmlns='http://www.w3.org/2000/svg' width='4' height='3'><rect width='4' "
                                 "height='3' fill='red'/></svg>");
    EXPECT_TRUE(composer->takeAttachments(&drawing, false));
    EXPECT_EQ(failures, QStringList{"Couldn't keep the pasted image: it is not a PNG, JPEG, WebP, GIF or BMP image."});

    QImage shot(40, 30, QImage::Format_RGB32);
    shot.fill(Qt::blue);
    QByteArray png;
    QBuffer buffer(&png);
    ASSERT_TRUE(buffer.open(QIODevice::WriteOnly) && shot.save(&buffer, "PNG"));
    const OfferedPicture screenshot(QStringLiteral("image/png"), png);
    EXPECT_TRUE(composer->takeAttachments(&screenshot, false));
    ASSERT_TRUE(cvn::test::waitUntil([&] { return !pasted.isEmpty(); }, 20000));
    EXPECT_EQ(QImage(pasted[0].toLocalFile()).pixel(5, 5), QColor(Qt::blue).rgb());
    EXPECT_EQ(failures.size(), 1);
}
