#include "ChatGallery.h"

#include "chat/composer/Composer.h"
#include "chat/composer/ComposerControls.h"
#include "chat/composer/MentionPopup.h"
#include "chat/shared/EmptyState.h"
#include "chat/shared/Toasts.h"

#include <QApplication>
#include <QDeadlineTimer>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>

namespace cvn::gallery {

namespace {

constexpr int kMargin = CaptionedPage::kMargin;
constexpr int kPageWidth = Composer::panelWidth + 2 * kMargin;

ModelInfo model(const QString& name)
{
    ModelInfo info;
    info.displayName = name;
    return info;
}

QList<ModelInfo> councilModels()
{
    return {model(QStringLiteral("Qwen2.5 7B Instruct")), model(QStringLiteral("Qwen3 · 4B Thinking")),
            model(QStringLiteral("Llama 3.2 3B")), model(QStringLiteral("Gemma 3 · 12B")),
            model(QStringLiteral("Mistral Small 24B")), model(QStringLiteral("Phi-4 Mini")),
            model(QStringLiteral("DeepSeek R1 Distill Qwen 14B")), model(QStringLiteral("OLMo 2 · 13B"))};
}

// Items stand under the composer's panel width; the mention popup's room is
// kept with place()'s `above`.
struct Page : CaptionedPage {
    Page() : CaptionedPage(kPageWidth) {}
};

Composer* composer(QWidget* page, const std::optional<QString>& name, const QString& text)
{
    auto* c = new Composer(page);
    c->setCurrentModelName(name);
    c->setMentionModels(councilModels());
    c->editor()->setPlainText(text);
    c->editor()->setPendingCaret(text.size());
    return c;
}

QImage composerSheet()
{
    Page page;
    int y = kMargin;
    y = page.place(QStringLiteral("Composer: empty, no model loaded"), composer(&page.widget, std::nullopt, {}), y);
    y = page.place(QStringLiteral("Composer: four lines, a known @mention drawn heavier"),
                   composer(&page.widget, QStringLiteral("Qwen2.5 7B Instruct"),
                            QStringLiteral("Summarise the attached report in three bullet points.\n"
                                           "Keep each one under twenty words,\nthen ask @Llama_3.2_3B for a "
                                           "second opinion\non the conclusions.")),
                   y);
    auto* streaming = composer(&page.widget, QStringLiteral("Qwen3 · 4B Thinking"), {});
    streaming->setStreaming(true);
    streaming->stopDisc()->setSpinning(false); // the arc at rest, so both sheets match
    y = page.place(QStringLiteral("Composer: streaming, the stop disc in place of send"), streaming, y);
    y = page.place(QStringLiteral("Composer: a 200-character model name, elided in a 238 pill"),
                   composer(&page.widget, QString(200, u'm'), {}), y);

    auto* toggles = new QWidget(&page.widget);
    toggles->resize(200, CouncilToggle::trackHeight);
    new CouncilToggle(toggles);
    auto* on = new CouncilToggle(toggles);
    on->setChecked(true);
    on->move(CouncilToggle::trackWidth + 24, 0);
    y = page.place(QStringLiteral("CouncilToggle: off, on"), toggles, y);
    return page.render(y);
}

QImage councilSheet()
{
    Page page;
    auto* c = composer(&page.widget, QStringLiteral("Qwen2.5 7B Instruct"), QStringLiteral("Compare @qw"));
    c->setPopupHost(&page.widget);
    c->setCouncilOn(true);
    c->handleMentionKey(ComposerEditor::MentionKey::down);
    const int popup = MentionPopup::heightFor(c->candidates().size());
    c->setProperty("above", popup);
    const int y = page.place(QStringLiteral("Composer: council on, \"@qw\" typed, the second match highlighted"), c,
                             kMargin, popup);
    return page.render(y);
}

MentionPopup* popup(QWidget* page, const QList<ModelInfo>& models, int highlighted)
{
    auto* p = new MentionPopup(page);
    p->resize(Composer::panelWidth, MentionPopup::heightFor(models.size()));
    p->setModels(models, highlighted);
    p->show();
    return p;
}

QImage popupSheet()
{
    Page page;
    const QList<ModelInfo> all = councilModels();
    int y = kMargin;
    y = page.place(QStringLiteral("MentionPopup: one row, 61 high"), popup(&page.widget, all.mid(0, 1), 0), y);
    y = page.place(QStringLiteral("MentionPopup: five rows, the third highlighted, 241 high"),
                   popup(&page.widget, all.mid(0, 5), 2), y);
    auto* scrolled = popup(&page.widget, all, 0);
    y = page.place(QStringLiteral("MentionPopup: eight rows scroll in 240, the last highlighted"), scrolled, y);
    y = page.place(QStringLiteral("MentionPopup: a 200-character name on one line"),
                   popup(&page.widget, {model(QString(200, u'W')), all[1]}, 1), y);
    // Highlight the last row once the list is laid out, as the arrow keys
    // would, and let the scroll to it finish.
    page.widget.resize(kPageWidth, y);
    page.widget.show();
    settle();
    scrolled->setHighlighted(7);
    const QDeadlineTimer deadline(1000);
    QScrollBar* bar = scrolled->scrollArea()->verticalScrollBar();
    while (bar->value() < bar->maximum() && !deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    return page.render(y);
}

QImage toastSheet()
{
    Page page;
    QList<std::pair<ToastCenter*, ToastView*>> toasts;
    auto area = [&](const QString& text, ToastKind kind, int height) {
        auto* chat = new QWidget(&page.widget);
        chat->resize(Composer::panelWidth, height);
        auto* center = new ToastCenter(chat);
        auto* view = new ToastView(center, chat);
        toasts.append({center, view});
        center->show(text, kind);
        return chat;
    };
    int y = kMargin;
    y = page.place(QStringLiteral("Toast: information (130 below it is the chat area's bottom)"),
                   area(QStringLiteral("Copied"), ToastKind::info, 190), y);
    y = page.place(QStringLiteral("Toast: error"),
                   area(QStringLiteral("Couldn't read report.pdf: the file is damaged."), ToastKind::error, 190), y);
    QString longText;
    while (longText.size() < 300)
        longText += QStringLiteral("A long message wraps on centred lines inside the full-width box. ");
    y = page.place(QStringLiteral("Toast: a 300-character message"), area(longText.left(300), ToastKind::info, 280),
                   y);
    page.widget.resize(kPageWidth, y);
    page.widget.show();
    const QDeadlineTimer deadline(2000);
    auto entered = [&] {
        for (const auto& toast : toasts)
            if (toast.second->entrance() < 1)
                return false;
        return true;
    };
    while (!entered() && !deadline.hasExpired())
        QApplication::processEvents(QEventLoop::AllEvents, 20);
    return page.render(y);
}

QImage emptyStateSheet()
{
    Page page;
    auto* empty = new EmptyState(&page.widget);
    empty->resize(Composer::panelWidth, 400);
    const int y = page.place(QStringLiteral("EmptyState: 797 by 400, the silhouette 45 above the middle"), empty,
                             kMargin);
    return page.render(y);
}

} // namespace

QList<Sheet> chatSheets()
{
    return {
        {QStringLiteral("composer"), composerSheet()},
        {QStringLiteral("composer-council"), councilSheet()},
        {QStringLiteral("mention-popup"), popupSheet()},
        {QStringLiteral("toast"), toastSheet()},
        {QStringLiteral("empty-state"), emptyStateSheet()},
    };
}

} // namespace cvn::gallery
