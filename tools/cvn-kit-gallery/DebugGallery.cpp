#include "DebugGallery.h"

#include "chat/shared/DebugPanel.h"
#include "chat/transcript/ChatScrollController.h"
#include "chat/transcript/ScrollToNewestButton.h"
#include "ui_kit/ScrollBars.h"

#include <QLabel>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

namespace cvn::gallery {

namespace {

constexpr int kMargin = 16;
constexpr int kCaption = 22;

// Fixed readings, so the sheet does not change from run to run.
DebugPanelModel::Inputs freshInputs()
{
    DebugPanelModel::Inputs in;
    in.now = QDateTime(QDate(2026, 3, 1), QTime(14, 3, 7));
    in.memory = {212, 148};
    return in;
}

LlamaSession::Snapshot session(const QString& id, const QString& model, bool streaming, std::optional<double> rate)
{
    LlamaSession::Snapshot s;
    s.shortId = id;
    s.modelName = model;
    s.contextSize = 8192;
    s.architecture = QStringLiteral("qwen2");
    s.isStreaming = streaming;
    s.tokensPerSecond = rate;
    return s;
}

DebugPanelModel::Inputs busyInputs(bool failed)
{
    DebugPanelModel::Inputs in = freshInputs();
    in.now = QDateTime(QDate(2026, 3, 1), QTime(14, 5, 42));
    in.lastLoad =
        LoadAttempt{QStringLiteral("Qwen2.5-7B-Instruct-Q4_K_M.gguf"), QDateTime(QDate(2026, 3, 1), QTime(14, 3, 7)),
                    failed ? LoadAttempt::Outcome(LoadAttempt::Failed{QStringLiteral("Not enough RAM")})
                           : LoadAttempt::Outcome(LoadAttempt::Ok{8192, QStringLiteral("qwen2")})};
    in.sessions = {session(QStringLiteral("3F2A9C1B"), QStringLiteral("Qwen2.5 7B Instruct"), true, 12.345),
                   session(QStringLiteral("81C0D2E4"), QStringLiteral("Llama 3.2 3B"), true, std::nullopt)};
    in.scroll = {418, 6, false, 1204, 3310, 612, 2840};
    in.memory = {5321, 4870};
    // The GPU summary's forms, from devices as the GPU layer reports them.
    if (failed) {
        in.gpu = GpuDevice{QStringLiteral("Intel(R) Iris(R) Plus Graphics"), false, true, 1536ull * 1048576, false};
        // The model loaded before the failed one still runs, on the CPU.
        in.liveModels = {{1, QStringLiteral("Llama-3.2-3B-Instruct-Q8_0.gguf"), 8192, QStringLiteral("llama"), 0, 28}};
    } else {
        in.gpu = GpuDevice{QStringLiteral("NVIDIA GeForce RTX 4070"), false, false, 12282ull * 1048576, true};
        in.liveModels = {{1, QStringLiteral("Qwen2.5-7B-Instruct-Q4_K_M.gguf"), 8192, QStringLiteral("qwen2"), 28, 28}};
    }
    in.probes = {QStringLiteral("mention popup: x 262  y 418  w 400  h 241  (5 rows)"),
                 QStringLiteral("model pill: x 262  y 680  w 188  h 32  (width 188)"),
                 QStringLiteral("model pill text: x 290  y 688  w 138  h 16  (19 chars)")};
    return in;
}

QImage panelSheet()
{
    struct Item {
        QString caption;
        DebugPanelModel::Inputs inputs;
        int width;
    };
    const QList<Item> items = {
        {QStringLiteral("Fresh start"), freshInputs(), 560},
        {QStringLiteral("Failed load, two replies streaming, scrolled up, probes"), busyInputs(true), 560},
        {QStringLiteral("OK load, a narrow card: values wrap"), busyInputs(false), 380}};
    int height = kMargin;
    QList<QImage> images;
    for (const Item& item : items) {
        QWidget host;
        host.setAttribute(Qt::WA_DontShowOnScreen);
        auto* panel = new DebugPanel(&host);
        panel->setSource([in = item.inputs] { return DebugPanelModel::build(in); });
        panel->setGeometry(0, 0, item.width, panel->heightForWidth(item.width));
        host.resize(panel->size());
        host.show();
        settle();
        QImage image(panel->size(), QImage::Format_ARGB32_Premultiplied);
        image.fill(Theme::pageBackground());
        panel->render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
        images.append(image);
        height += kCaption + image.height() + kMargin;
    }
    QImage sheet(560 + 2 * kMargin, height, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(Theme::pageBackground());
    QPainter p(&sheet);
    p.setFont(Theme::interRegular13());
    int y = kMargin;
    for (int i = 0; i < items.size(); ++i) {
        p.setPen(Theme::secondaryText());
        p.drawText(QPointF(kMargin, y + 14), items[i].caption);
        y += kCaption;
        p.drawImage(QPoint(kMargin, y), images[i]);
        y += images[i].height() + kMargin;
    }
    return sheet;
}

// A transcript of plain lines in the kit's scroll area, scrolled up from the
// bottom, with the button where the chat view puts it.
QImage pausedTranscript(QSize size)
{
    QWidget host;
    host.setAttribute(Qt::WA_DontShowOnScreen);
    host.resize(size);
    auto* area = new QScrollArea(&host);
    area->setFrameShape(QFrame::NoFrame);
    area->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    ScrollBars::styleScrollBars(area);
    Theme::keepPalette(area, Theme::Surface::Page);
    area->setGeometry(QRect(QPoint(), size));
    auto* column = new QWidget;
    auto* layout = new QVBoxLayout(column);
    layout->setContentsMargins(40, 16, 40, 16);
    layout->setSpacing(10);
    for (int i = 1; i <= 40; ++i) {
        auto* line = new QLabel(QStringLiteral("%1. A line of an earlier reply, long enough to read as text.").arg(i));
        line->setFont(Theme::interRegular16());
        QPalette palette = line->palette();
        palette.setColor(QPalette::WindowText, Theme::ink());
        line->setPalette(palette);
        layout->addWidget(line);
    }
    column->setFixedWidth(size.width());
    column->adjustSize();
    area->setWidget(column);
    auto* controller = new ChatScrollController(area, [](const QString&) {});
    // The tail marker sits at the very end, above the composer's band.
    controller->observe(column, {{}, [column] { return column->height() - 140.0; }});
    auto* button = new ScrollToNewestButton(&host);
    button->connectTo(controller);
    button->setGeometry(ScrollToNewestButton::frameIn(host.rect()));
    controller->follower().onChatChange({{QUuid::createUuid(), true}});
    host.show();
    settle();
    // The user scrolls up: the button appears.
    area->verticalScrollBar()->setValue(area->verticalScrollBar()->maximum());
    settle();
    area->verticalScrollBar()->triggerAction(QAbstractSlider::SliderPageStepSub);
    settle();
    button->raise();
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Theme::pageBackground());
    host.render(&image, QPoint(), QRegion(), QWidget::DrawChildren);
    return image;
}

QImage buttonSheet()
{
    ScrollToNewestButton button;
    button.setAttribute(Qt::WA_DontShowOnScreen);
    button.show();
    settle();
    QImage actual(button.size(), QImage::Format_ARGB32_Premultiplied);
    actual.fill(Theme::pageBackground());
    button.render(&actual, QPoint(), QRegion(), QWidget::DrawChildren);
    const int zoom = 6;
    QImage enlarged(button.size() * zoom, QImage::Format_ARGB32_Premultiplied);
    enlarged.setDevicePixelRatio(zoom);
    enlarged.fill(Theme::pageBackground());
    button.render(&enlarged, QPoint(), QRegion(), QWidget::DrawChildren);
    enlarged.setDevicePixelRatio(1);
    const QImage context = pausedTranscript(QSize(560, 420));

    const int width = kMargin + std::max(enlarged.width() + kMargin + 120, context.width()) + kMargin;
    const int height = kMargin + kCaption + enlarged.height() + kMargin + kCaption + context.height() + kMargin;
    QImage sheet(width, height, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(Theme::pageBackground());
    QPainter p(&sheet);
    p.setFont(Theme::interRegular13());
    p.setPen(Theme::secondaryText());
    p.drawText(QPointF(kMargin, kMargin + 14), QStringLiteral("Actual size"));
    p.drawImage(QPoint(kMargin, kMargin + kCaption), actual);
    const int zx = kMargin + 120;
    p.drawText(QPointF(zx, kMargin + 14), QStringLiteral("Enlarged %1\u00D7").arg(zoom));
    p.drawImage(QPoint(zx, kMargin + kCaption), enlarged);
    const int cy = kMargin + kCaption + enlarged.height() + kMargin;
    p.drawText(QPointF(kMargin, cy + 14), QStringLiteral("Scrolled up in a transcript: 156 above the bottom"));
    p.drawImage(QPoint(kMargin, cy + kCaption), context);
    p.setPen(Theme::muted());
    p.setBrush(Qt::NoBrush);
    p.drawRect(QRect(QPoint(kMargin, cy + kCaption), context.size()).adjusted(0, 0, -1, -1));
    return sheet;
}

} // namespace

DebugPanelModel::Inputs busyRuntimeInputs()
{
    return busyInputs(true);
}

QList<Sheet> debugSheets()
{
    return {{QStringLiteral("debug-panel"), panelSheet()}, {QStringLiteral("scroll-to-newest"), buttonSheet()}};
}

} // namespace cvn::gallery
