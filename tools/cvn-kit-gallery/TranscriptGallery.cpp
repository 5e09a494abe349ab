#include "TranscriptGallery.h"

#include "attachments/AttachmentStager.h"
#include "chat/ChatSession.h"
#include "chat/ChatView.h"
#include "chat/composer/Composer.h"
#include "chat/composer/ComposerControls.h"
#include "chat/transcript/EditMessageDialog.h"
#include "chat/transcript/MessageBubble.h"
#include "chat/transcript/TranscriptColumn.h"
#include "engine/Turn.h"
#include "storage/ChatHistory.h"

#include <QApplication>
#include <QClipboard>
#include <QPainter>
#include <QPlainTextEdit>
#include <QScrollArea>
#include <QScrollBar>

namespace cvn::gallery {

namespace {

constexpr int kMargin = CaptionedPage::kMargin;
constexpr int kCaption = CaptionedPage::kCaption;
constexpr int kPageWidth = MessageBubble::columnWidth + 2 * kMargin;

// A session that only holds turns: the page draws them and ignores the rest.
class ShownSession : public ChatSession {
public:
    QList<Turn> list;
    bool streaming = false;
    std::optional<QString> status;
    std::optional<QUuid> firstSeen;
    const QList<Turn>& turns() const override { return list; }
    std::optional<QUuid> firstSeenTurnId() const override { return firstSeen; }
    bool isStreaming() const override { return streaming; }
    std::optional<QString> statusText() const override { return status; }
    int64_t loadedContextSize() const override { return 8192; }
    void send(const QString&, const QList<ChatImage>&) override {}
    void sendCouncil(const QString&, const QString&, const QList<ModelInfo>&, const QStringList&,
                     const QList<ChatImage>&) override {}
    void appendUserTurn(const QString&, const QStringList&) override {}
    void stop() override {}
    void regenerate(const QUuid&) override {}
    void resend(const QUuid&, const QString&) override {}
    void deleteTurn(const QUuid&) override {}
    void toggleReasoning(const QUuid&) override {}
};

Turn make(ChatMessage::Role role, const QString& content, Turn::State state = Turn::State::complete())
{
    Turn t;
    t.role = role;
    t.content = content;
    t.state = state;
    return t;
}

QString fileBlock(const QString& name)
{
    return QStringLiteral("[Attached file: %1]\nQuarterly figures...\n[End file]\n\n").arg(name);
}

const QString kCodeAndTable = QStringLiteral(
    "Here is a function that sums the **even** numbers, and how it compares:\n\n"
    "```python\ndef sum_even(values):\n    # keep only the even ones\n    return sum(v for v in values if v % 2 == 0)\n\n"
    "print(sum_even([1, 2, 3, 4]))  # 6\n```\n\n"
    "| Approach | Time | Memory |\n|---|---|---|\n| Generator | O(n) | O(1) |\n| List comprehension | O(n) | O(n) |\n\n"
    "The generator never builds the intermediate list.");

const QString kReasoning = QStringLiteral(
    "The user wants the even numbers summed. A generator expression avoids the intermediate list, "
    "so memory stays constant.\n\nI should show a short example and compare it with a list comprehension.");

// The 797 column's edges drawn faint, so the paddings can be checked.
struct Page : CaptionedPage {
    Page() : CaptionedPage(kPageWidth) { outlineItems = true; }
};

MessageBubble* bubble(QWidget* page, const Turn& turn)
{
    auto* b = new MessageBubble(turn, page);
    b->resize(MessageBubble::columnWidth, b->heightForWidth(MessageBubble::columnWidth));
    return b;
}

QImage userSheet()
{
    Page page;
    int y = kMargin;
    y = page.place(QStringLiteral("User: one line, a pill with Copy, Edit, Resend, Delete"),
                   bubble(&page.widget, make(ChatMessage::Role::user, QStringLiteral("What is a monad?"))), y);
    y = page.place(QStringLiteral("User: two files above the typed text, no gap"),
                   bubble(&page.widget, make(ChatMessage::Role::user,
                                             fileBlock(QStringLiteral("report-q3.pdf")) +
                                                 fileBlock(QStringLiteral("notes.md")) +
                                                 QStringLiteral("Summarise both in three bullet points."))),
                   y);
    y = page.place(
        QStringLiteral("User: long text wraps at 523, line breaks kept, 34.5 corners"),
        bubble(&page.widget,
               make(ChatMessage::Role::user,
                    QStringLiteral("I am planning a three-day trip through the mountains in late autumn and "
                                   "would like a packing list that covers cold mornings and warm afternoons.\n\n"
                                   "Also: which boots?"))),
        y);
    return page.render(y);
}

QImage assistantSheet()
{
    Page page;
    int y = kMargin;
    y = page.place(QStringLiteral("Assistant: streaming, nothing yet"),
                   bubble(&page.widget, make(ChatMessage::Role::assistant, {}, Turn::State::streaming())), y);
    Turn thinking = make(ChatMessage::Role::assistant, {}, Turn::State::streaming());
    thinking.reasoning = kReasoning;
    thinking.reasoningElapsedMs = 3400;
    y = page.place(QStringLiteral("Assistant: thinking, reasoning collapsed"), bubble(&page.widget, thinking), y);
    Turn streaming = make(ChatMessage::Role::assistant,
                          QStringLiteral("A monad is a way to chain computations that carry some context — "
                                         "an optional value, a list, a"),
                          Turn::State::streaming());
    y = page.place(QStringLiteral("Assistant: answer streaming in (no actions yet)"), bubble(&page.widget, streaming),
                   y);
    Turn expanded = make(ChatMessage::Role::assistant, QStringLiteral("Use a generator: it keeps memory constant."));
    expanded.reasoning = kReasoning;
    expanded.reasoningDurationMs = 2400;
    expanded.reasoningExpanded = true;
    y = page.place(QStringLiteral("Assistant: reasoning expanded, then the answer, Copy and Delete"),
                   bubble(&page.widget, expanded), y);
    return page.render(y);
}

QImage richSheet()
{
    Page page;
    int y = kMargin;
    y = page.place(QStringLiteral("Assistant: a code block and a table"),
                   bubble(&page.widget, make(ChatMessage::Role::assistant, kCodeAndTable)), y);
    Turn council = make(ChatMessage::Role::assistant,
                        QStringLiteral("From my side: a generator is the idiomatic choice here."));
    council.modelName = QStringLiteral("Qwen2.5 7B Instruct");
    y = page.place(QStringLiteral("Council answer: the model tag at 60 %"), bubble(&page.widget, council), y);
    Turn collapsed = council;
    collapsed.modelName = QStringLiteral("Qwen3 · 4B Thinking");
    collapsed.reasoning = kReasoning;
    collapsed.reasoningDurationMs = 1000;
    y = page.place(QStringLiteral("Council answer with reasoning collapsed"), bubble(&page.widget, collapsed), y);
    return page.render(y);
}

QImage failedSheet()
{
    Page page;
    int y = kMargin;
    y = page.place(QStringLiteral("Failed: a note"),
                   bubble(&page.widget, make(ChatMessage::Role::assistant, {},
                                             Turn::State::failed(QStringLiteral(
                                                 "Model @nope not found. Available: @Qwen2.5_7B_Instruct, "
                                                 "@Llama_3.2_3B, @Gemma_3_12B")))),
                   y);
    y = page.place(QStringLiteral("Failed: a council member"),
                   bubble(&page.widget,
                          make(ChatMessage::Role::assistant, {},
                               Turn::State::failed(QStringLiteral("Gemma 3 · 12B couldn't respond — Not enough RAM")))),
                   y);
    y = page.place(QStringLiteral("Failed: an empty message still shows the sign"),
                   bubble(&page.widget, make(ChatMessage::Role::user, QStringLiteral("hi"), Turn::State::failed({}))),
                   y);
    return page.render(y);
}

// The last `height` pixels of a bubble too tall for a sheet.
QWidget* bubbleEnd(QWidget* page, const Turn& turn, int height)
{
    auto* frame = new QWidget(page);
    frame->resize(MessageBubble::columnWidth, height);
    MessageBubble* b = bubble(frame, turn);
    b->move(0, height - b->height());
    return frame;
}

QImage longSheet()
{
    QString prose;
    while (prose.size() <= MessageBubble::shownCharacters)
        prose += QStringLiteral("The tide rose over the old harbour wall, and the boats knocked gently together. ");
    Page page;
    int y = kMargin;
    y = page.place(QStringLiteral("User: a message too long to draw whole, its end and the ending line"),
                   bubbleEnd(&page.widget, make(ChatMessage::Role::user, prose), 200), y);
    y = page.place(QStringLiteral("Assistant: the same, under the reply"),
                   bubbleEnd(&page.widget, make(ChatMessage::Role::assistant, prose), 200), y);
    return page.render(y);
}

QList<Turn> conversation()
{
    QList<Turn> turns;
    turns.append(make(ChatMessage::Role::user, fileBlock(QStringLiteral("numbers.csv")) +
                                                   QStringLiteral("How do I sum the even numbers in this file?\n"
                                                                  "Only the second column counts.")));
    Turn reply = make(ChatMessage::Role::assistant, kCodeAndTable);
    reply.reasoning = kReasoning;
    reply.reasoningDurationMs = 2400;
    turns.append(reply);
    turns.append(make(ChatMessage::Role::user, QStringLiteral("And in one line?")));
    turns.append(make(ChatMessage::Role::assistant,
                      QStringLiteral("`sum(v for v in values if v % 2 == 0)` does it in one expression"),
                      Turn::State::streaming()));
    return turns;
}

enum class PageState { streaming, editing, editingLong, editingPasted, empty, notSaved, pastTheContext };

// A long chat whose oldest messages the model no longer sees.
QList<Turn> longChat()
{
    const char* const exchanges[][2] = {
        {"Which rivers run through Lyon?", "The Rhône and the Saône, which meet at the south end of the city."},
        {"And which is longer?", "The Rhône, at about 810 km; the Saône runs about 470 km."},
        {"Where does the Rhône begin?", "At the Rhône Glacier in the Swiss Alps, and it flows through Lake Geneva."},
        {"How long does the water take to reach the sea?",
         "Several weeks in all: it rests in Lake Geneva for years on average before it goes on to the Mediterranean."},
    };
    QList<Turn> turns;
    for (const auto& [question, answer] : exchanges) {
        turns.append(make(ChatMessage::Role::user, QString::fromUtf8(question)));
        turns.append(make(ChatMessage::Role::assistant, QString::fromUtf8(answer)));
    }
    return turns;
}

// A pasted log of many lines: the edit dialog's field at its tallest,
// scrolled to the caret at the end.
QString longMessage()
{
    QString text = QStringLiteral("Why does the import stop here? The whole log:\n");
    for (int i = 1; i <= 400; ++i)
        text += QStringLiteral("2026-12-07 08:%1:%2 worker %3 imported batch %4 of 400, 2,500 rows, no errors\n")
                    .arg(i / 60, 2, 10, QLatin1Char('0'))
                    .arg(i % 60, 2, 10, QLatin1Char('0'))
                    .arg(i % 4)
                    .arg(i);
    return text + QStringLiteral("and then nothing more, not even an error.");
}

// The whole page at 1280 x 800 (the first window size), scrolled to its end.
QImage pageSheet(PageState state)
{
    const bool editing =
        state == PageState::editing || state == PageState::editingLong || state == PageState::editingPasted;
    ShownSession session;
    AttachmentStager stager;
    if (state == PageState::empty) {
        session.status = QStringLiteral("Loading Qwen2.5 7B Instruct...");
        StagedAttachment file;
        file.id = QUuid::createUuid();
        file.originalFilename = QStringLiteral("quarterly-report.pdf");
        file.extracted = true;
        file.extractedText = QStringLiteral("text");
        file.approxTokens = 5200;
        file.sizeBytes = 1'200'000;
        stager.setStaged({file});
    } else if (state == PageState::pastTheContext) {
        session.list = longChat();
        session.firstSeen = session.list[4].id;
    } else {
        session.list = conversation();
    }
    if (state == PageState::editingLong)
        session.list.first().content = longMessage();
    session.streaming = state == PageState::streaming;
    if (editing || state == PageState::notSaved)
        session.list.last().state = Turn::State::complete();
    // A database without a file stays closed: nothing the page shows is saved.
    ChatDatabase closed{QString()};
    ChatStore store(closed);
    ChatHistory history(closed, store);
    ChatView view(&session, &stager, state == PageState::notSaved ? &history : nullptr);
    view.setAttribute(Qt::WA_DontShowOnScreen);
    view.setCurrentModelName(QStringLiteral("Qwen2.5 7B Instruct"));
    view.setCouncilOn(state == PageState::empty);
    view.setContextSize(8192);
    view.resize(1280, 800);
    view.show();
    settle();
    QScrollBar* bar = view.scrollArea()->verticalScrollBar();
    bar->setValue(qMax(0, view.tailTop() + view.transcript()->tailHeight() - view.scrollArea()->viewport()->height()));
    if (state == PageState::pastTheContext)
        bar->setValue(0);
    if (editing)
        view.editTurn(session.list.first());
    if (state == PageState::editingPasted) {
        // The old question taken out and a rewritten one pasted into the
        // empty field: it holds it all at once, with no key pressed after.
        settle();
        QPlainTextEdit* field = view.findChild<EditMessageDialog*>()->field();
        field->selectAll();
        field->textCursor().removeSelectedText();
        settle();
        QGuiApplication::clipboard()->setText(QStringLiteral(
            "How do I sum the even numbers in the second column of this file? The first row holds the headers, "
            "some cells are empty and a few hold text such as \"n/a\", which should be skipped rather than "
            "counted as zero. I would like a short Python function that reads the file with the csv module, "
            "returns the sum, and says how many rows it skipped."));
        field->paste();
    }
    view.composer()->stopDisc()->setSpinning(false);
    settle();
    // The page framed in the sheet's margin, with its caption above.
    const QPoint at(kMargin, kMargin + kCaption);
    QImage image(view.width() + 2 * kMargin, view.height() + at.y() + kMargin, QImage::Format_ARGB32_Premultiplied);
    image.fill(Theme::pageBackground());
    view.render(&image, at, QRegion(), QWidget::DrawChildren);
    QPainter p(&image);
    p.setFont(Theme::interRegular13());
    p.setPen(Theme::secondaryText());
    p.drawText(QPointF(kMargin, at.y() - 8),
               state == PageState::editingLong
                   ? QStringLiteral("ChatView 1280 x 800: editing a long message, the field at its tallest, the caret at the end")
               : state == PageState::editingPasted
                   ? QStringLiteral("ChatView 1280 x 800: a paragraph pasted into the emptied edit field, the field grown to hold it")
               : editing ? QStringLiteral("ChatView 1280 x 800: editing a message with a file, only the typed text")
               : state == PageState::empty
                   ? QStringLiteral("ChatView 1280 x 800: a new chat, council on, a model loading, a file staged")
               : state == PageState::notSaved
                   ? QStringLiteral("ChatView 1280 x 800: the chat database cannot be written")
               : state == PageState::pastTheContext
                   ? QStringLiteral("ChatView 1280 x 800: the model no longer sees the oldest messages")
                   : QStringLiteral("ChatView 1280 x 800: a reply streaming at the end of the transcript"));
    p.setPen(QColor(128, 128, 128, 60));
    p.drawRect(QRectF(QRect(at, view.size())).adjusted(-0.5, -0.5, 0.5, 0.5));
    return image;
}

} // namespace

QList<Sheet> transcriptSheets()
{
    return {
        {QStringLiteral("bubble-user"), userSheet()},
        {QStringLiteral("bubble-assistant"), assistantSheet()},
        {QStringLiteral("bubble-rich"), richSheet()},
        {QStringLiteral("bubble-failed"), failedSheet()},
        {QStringLiteral("bubble-too-long"), longSheet()},
        {QStringLiteral("chat-view"), pageSheet(PageState::streaming)},
        {QStringLiteral("chat-view-edit"), pageSheet(PageState::editing)},
        {QStringLiteral("chat-view-edit-long"), pageSheet(PageState::editingLong)},
        {QStringLiteral("chat-view-edit-pasted"), pageSheet(PageState::editingPasted)},
        {QStringLiteral("chat-view-new"), pageSheet(PageState::empty)},
        {QStringLiteral("chat-view-not-saved"), pageSheet(PageState::notSaved)},
        {QStringLiteral("chat-view-past-the-context"), pageSheet(PageState::pastTheContext)},
    };
}

} // namespace cvn::gallery
