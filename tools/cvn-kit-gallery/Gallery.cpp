#include "Gallery.h"

#include "AttachmentGallery.h"
#include "ChatGallery.h"
#include "DebugGallery.h"
#include "PagesGallery.h"
#include "ModelsGallery.h"
#include "ReplyGallery.h"
#include "SidebarGallery.h"
#include "TranscriptGallery.h"

#include "ui_kit/CentredCardLayout.h"
#include "ui_kit/ContextWarningDialog.h"
#include "ui_kit/CouncilIntroDialog.h"
#include "ui_kit/CvnActionSheet.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnCardSlider.h"
#include "ui_kit/CvnComboBox.h"
#include "ui_kit/CvnConfirmDialog.h"
#include "ui_kit/CvnContentDialog.h"
#include "ui_kit/CvnInputDialog.h"
#include "ui_kit/CvnTextAreaDialog.h"
#include "ui_kit/Icons.h"

#include <QApplication>
#include <QDir>
#include <QEnterEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QVBoxLayout>

#include <functional>
#include <memory>
#include <stdexcept>

namespace cvn::gallery {

namespace {

constexpr int kGap = 16;
constexpr int kCaption = 22;

using Build = std::function<void(QWidget* host)>;
using Apply = std::function<void(QWidget* host)>;

// One state of one control: built on a host of the control's surface colour,
// shown (offscreen) so layouts and child geometry are real, then driven into
// its state with the same events a user's pointer would send.
struct Cell {
    QString state;
    QSize size;
    Theme::Surface surface;
    Build build;
    Apply apply = {};
};

class Host : public QWidget {
public:
    explicit Host(Theme::Surface surface) : m_surface(surface) {}

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter(this).fillRect(rect(), m_surface == Theme::Surface::Card ? Theme::card() : Theme::pageBackground());
    }

private:
    Theme::Surface m_surface;
};

void hover(QWidget* w, QPoint pos = {4, 4})
{
    QEnterEvent enter(pos, w->mapTo(w->window(), pos), w->mapToGlobal(pos));
    QApplication::sendEvent(w, &enter);
}

void press(QWidget* w, QPoint pos)
{
    QMouseEvent event(QEvent::MouseButtonPress, pos, w->mapToGlobal(pos), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

QImage renderCell(const Cell& cell)
{
    Host host(cell.surface);
    host.setAttribute(Qt::WA_DontShowOnScreen);
    host.resize(cell.size);
    cell.build(&host);
    host.show();
    settle();
    if (cell.apply)
        cell.apply(&host);
    settle();
    QImage image(cell.size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    host.render(&image);
    return image;
}

template <typename T>
T* only(QWidget* host)
{
    return host->findChild<T*>();
}

// Lays the control out in the host with a margin, the way a card row would.
template <typename T>
Build placed(std::function<T*()> make, Qt::Alignment alignment = Qt::AlignVCenter)
{
    return [make, alignment](QWidget* host) {
        auto* layout = new QVBoxLayout(host);
        layout->setContentsMargins(16, 16, 16, 16);
        layout->addWidget(make(), 0, alignment);
    };
}

QImage composeSheet(const QString& title, const QList<Cell>& cells)
{
    QList<QImage> images;
    int width = kGap;
    int height = 0;
    for (const Cell& cell : cells) {
        images.append(renderCell(cell));
        width += cell.size.width() + kGap;
        height = qMax(height, cell.size.height());
    }
    const int top = kGap + kCaption + kCaption;
    QImage sheet(width, top + height + kGap, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(Theme::pageBackground());
    QPainter p(&sheet);
    p.setRenderHint(QPainter::Antialiasing);
    p.setFont(Theme::interMedium13());
    p.setPen(Theme::text());
    p.drawText(QPointF(kGap, kGap + 14), title);
    p.setFont(Theme::interRegular13());
    p.setPen(Theme::secondaryText());
    int x = kGap;
    for (int i = 0; i < cells.size(); ++i) {
        p.drawText(QPointF(x, kGap + kCaption + 14), cells[i].state);
        p.drawImage(QPoint(x, top), images[i]);
        x += cells[i].size.width() + kGap;
    }
    return sheet;
}

QList<Cell> buttonCells(CvnButton::Style style, const QString& label, Theme::Surface surface)
{
    const bool icon = style == CvnButton::Style::Icon || style == CvnButton::Style::CompactIcon;
    const QSize size = icon ? QSize(80, 70) : QSize(260, 70);
    const Build build = placed<CvnButton>(
        [style, label, icon] { return icon ? new CvnButton(style, new SearchIcon) : new CvnButton(style, label); },
        Qt::AlignCenter);
    return {
        {QStringLiteral("normal"), size, surface, build},
        {QStringLiteral("hover"), size, surface, build, [](QWidget* h) { hover(only<CvnButton>(h)); }},
        {QStringLiteral("pressed"), size, surface, build, [](QWidget* h) { only<CvnButton>(h)->setDown(true); }},
        {QStringLiteral("disabled"), size, surface, build, [](QWidget* h) { only<CvnButton>(h)->setEnabled(false); }},
    };
}

QImage paletteSheet()
{
    struct Swatch {
        const char* name;
        DynamicColor color;
    };
    const QList<Swatch> swatches = {
        {"pageBackground", Theme::pageBackground}, {"text", Theme::text},
        {"secondaryText", Theme::secondaryText},   {"danger", Theme::danger},
        {"warning", Theme::warning},               {"card", Theme::card},
        {"onCard", Theme::onCard},                 {"onCard70", Theme::onCard70},
        {"onCardSecondary", Theme::onCardSecondary}, {"onCardDanger", Theme::onCardDanger},
        {"statusGrey", Theme::statusGrey},         {"statusGreen", Theme::statusGreen},
        {"statusAmber", Theme::statusAmber},       {"statusRed", Theme::statusRed},
        {"muted", Theme::muted},                   {"silhouette", Theme::silhouette},
        {"composerInk", Theme::composerInk},       {"composerContrast", Theme::composerContrast},
        {"ink10", Theme::ink10},                   {"destructive", Theme::destructive},
        {"onDestructive", Theme::onDestructive},   {"scrim", Theme::scrim},
    };
    const int row = 30;
    QImage sheet(420, kGap * 2 + row * int(swatches.size()), QImage::Format_ARGB32_Premultiplied);
    sheet.fill(Theme::pageBackground());
    QPainter p(&sheet);
    p.setRenderHint(QPainter::Antialiasing);
    int y = kGap;
    for (const Swatch& s : swatches) {
        // Each chip sits half on the page, half on a card, so alphas show.
        p.fillRect(QRect(kGap, y, 30, 24), Theme::card());
        p.fillRect(QRect(kGap, y, 60, 24), s.color());
        p.setPen(Theme::muted());
        p.setBrush(Qt::NoBrush);
        p.drawRect(QRectF(kGap + 0.5, y + 0.5, 59, 23));
        p.setFont(Theme::interMedium13());
        p.setPen(Theme::text());
        p.drawText(QPointF(kGap + 76, y + 17), QString::fromLatin1(s.name));
        p.setFont(Theme::interRegular13());
        p.setPen(Theme::secondaryText());
        p.drawText(QPointF(kGap + 230, y + 17), s.color().name(QColor::HexArgb).toUpper());
        y += row;
    }
    return sheet;
}

QImage typeSheet()
{
    struct Sample {
        const char* name;
        QFont font;
    };
    const QList<Sample> samples = {
        {"interRegular40", Theme::interRegular40()}, {"interRegular32", Theme::interRegular32()},
        {"interRegular16", Theme::interRegular16()}, {"interRegular13", Theme::interRegular13()},
        {"interMedium16", Theme::interMedium16()},   {"interMedium13", Theme::interMedium13()},
    };
    QImage sheet(640, 340, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(Theme::pageBackground());
    QPainter p(&sheet);
    int y = kGap;
    for (const Sample& s : samples) {
        const QFontMetrics metrics(s.font);
        y += metrics.ascent();
        p.setFont(s.font);
        p.setPen(Theme::text());
        p.drawText(QPointF(kGap, y), QStringLiteral("%1 Quick models 0123").arg(QString::fromLatin1(s.name)));
        y += metrics.descent() + 10;
    }
    return sheet;
}

QImage iconSheet()
{
    const auto centred = [](std::function<QWidget*()> make) {
        return [make](QWidget* host) {
            auto* layout = new QVBoxLayout(host);
            layout->addWidget(make(), 0, Qt::AlignCenter);
        };
    };
    const QSize cell(110, 70);
    const Theme::Surface page = Theme::Surface::Page;
    const Theme::Surface card = Theme::Surface::Card;
    return composeSheet(
        QStringLiteral("Icons"),
        {
            {QStringLiteral("Search"), cell, page, centred([] { return new SearchIcon; })},
            {QStringLiteral("NewChat"), cell, page, centred([] { return new NewChatIcon; })},
            {QStringLiteral("DrawerClosed"), cell, page, centred([] { return new DrawerClosedIcon; })},
            {QStringLiteral("DrawerOpen"), cell, page, centred([] { return new DrawerOpenIcon; })},
            {QStringLiteral("BackArrow"), cell, page, centred([] { return new BackArrowIcon; })},
            {QStringLiteral("AddButton"), cell, page, centred([] { return new AddButtonIcon; })},
            {QStringLiteral("Info"), cell, card, centred([] { return new InfoIcon; })},
            {QStringLiteral("MoreHorizontal"), cell, card, centred([] { return new MoreHorizontalIcon; })},
            {QStringLiteral("ChevronDown"), cell, card, centred([] { return new ChevronDownIcon; })},
            {QStringLiteral("Diroru 100"), QSize(130, 130), page,
             centred([] { return new DiroruView(100, Theme::silhouette, 1); })},
            {QStringLiteral("Diroru 0.4"), QSize(130, 130), page,
             centred([] { return new DiroruView(100, Theme::silhouette, 0.4); })},
        });
}

QImage sliderSheet()
{
    const QSize size(270, 64);
    const Theme::Surface card = Theme::Surface::Card;
    auto make = [](int value, int steps, bool enabled) {
        return placed<CvnCardSlider>([=] { return new CvnCardSlider(value, steps, enabled, 6, 22); });
    };
    return composeSheet(
        QStringLiteral("CvnCardSlider (track 6, thumb 22)"),
        {
            {QStringLiteral("normal, 5 steps, value 1"), size, card, make(1, 5, true)},
            {QStringLiteral("hover"), size, card, make(1, 5, true),
             [](QWidget* h) { hover(only<CvnCardSlider>(h)); }},
            {QStringLiteral("pressed at the end"), size, card, make(1, 5, true),
             [](QWidget* h) {
                 auto* s = only<CvnCardSlider>(h);
                 press(s, QPoint(s->width() - 1, 16));
             }},
            {QStringLiteral("disabled"), size, card, make(3, 5, false)},
            {QStringLiteral("1 step"), size, card, make(0, 1, true)},
        });
}

QImage radioSheet()
{
    const QSize size(250, 64);
    const Theme::Surface card = Theme::Surface::Card;
    auto make = [](bool on, bool enabled) {
        return placed<CvnRadioButton>([=] { return new CvnRadioButton(QStringLiteral("Auto context"), on, enabled); });
    };
    return composeSheet(
        QStringLiteral("CvnRadioButton"),
        {
            {QStringLiteral("normal"), size, card, make(false, true)},
            {QStringLiteral("selected"), size, card, make(true, true)},
            {QStringLiteral("hover"), size, card, make(true, true),
             [](QWidget* h) { hover(only<CvnRadioButton>(h)); }},
            {QStringLiteral("pressed"), size, card, make(true, true),
             [](QWidget* h) { only<CvnRadioButton>(h)->setDown(true); }},
            {QStringLiteral("disabled, hovered"), size, card, make(true, false),
             [](QWidget* h) { hover(only<CvnRadioButton>(h)); }},
            {QStringLiteral("long label"), QSize(250, 100), card,
             placed<CvnRadioButton>([] {
                 return new CvnRadioButton(QStringLiteral("Manual context: pick the size yourself below"), false,
                                           true);
             })},
        });
}

QImage comboSheet()
{
    const QStringList options = {QStringLiteral("Auto"), QStringLiteral("ChatML"), QStringLiteral("Llama 3"),
                                 QStringLiteral("Mistral")};
    const Theme::Surface card = Theme::Surface::Card;
    auto make = [options](int selection, QStringList choices = {}) {
        return [choices = choices.isEmpty() ? options : choices, selection](QWidget* host) {
            auto* combo = new CvnComboBox(choices, selection, host);
            combo->setGeometry(16, host->height() - 16 - 38, host->width() - 32, 38);
        };
    };
    const QSize closed(260, 70);
    const QSize open(260, 220);
    return composeSheet(
        QStringLiteral("CvnComboBox"),
        {
            {QStringLiteral("normal"), closed, card, make(1)},
            {QStringLiteral("hover"), closed, card, make(1), [](QWidget* h) { hover(only<CvnComboBox>(h)); }},
            {QStringLiteral("pressed"), closed, card, make(1),
             [](QWidget* h) { only<CvnComboBox>(h)->setDown(true); }},
            {QStringLiteral("disabled"), closed, card, make(1),
             [](QWidget* h) { only<CvnComboBox>(h)->setEnabled(false); }},
            {QStringLiteral("out of range"), closed, card, make(-1)},
            {QStringLiteral("open, row 3 hovered"), open, card, make(1),
             [](QWidget* h) {
                 auto* combo = only<CvnComboBox>(h);
                 combo->setOpen(true);
                 settle();
                 if (auto* row = combo->popup()->findChild<QWidget*>(QStringLiteral("cvn.row.3")))
                     hover(row);
             }},
            {QStringLiteral("open, ten options: scrolls"), QSize(260, 320), card,
             make(1, options + options + options.mid(0, 2)), [](QWidget* h) { only<CvnComboBox>(h)->setOpen(true); }},
        });
}

QImage layoutSheet()
{
    auto make = [](int contentHeight) {
        return [contentHeight](QWidget* host) {
            auto* content = new Host(Theme::Surface::Card);
            content->setFixedSize(160, contentHeight);
            auto* layout = new QVBoxLayout(host);
            layout->setContentsMargins(0, 0, 0, 0);
            layout->addWidget(new CentredCardLayout(20, content));
        };
    };
    const QSize size(260, 240);
    return composeSheet(QStringLiteral("CentredCardLayout (margin 20)"),
                        {
                            {QStringLiteral("short content: centred"), size, Theme::Surface::Page, make(100)},
                            {QStringLiteral("tall content: scrolls"), size, Theme::Surface::Page, make(400)},
                        });
}

QImage actionSheetSheet()
{
    const QList<CvnActionSheet::Item> items = {
        {QStringLiteral("rename"), QStringLiteral("Rename"), false},
        {QStringLiteral("pin"), QStringLiteral("Pin"), false},
        {QStringLiteral("delete"), QStringLiteral("Delete"), true},
    };
    auto make = [items](QWidget* host) {
        new CvnActionSheet(QStringLiteral("Chat actions"), items, [](std::optional<QString>) {}, host);
    };
    const QSize size(460, 300);
    const Theme::Surface page = Theme::Surface::Page;
    auto rowOf = [](QWidget* h, const char* id) {
        return h->findChild<QWidget*>(QStringLiteral("cvn.row.") + QLatin1String(id));
    };
    return composeSheet(
        QStringLiteral("CvnActionSheet"),
        {
            {QStringLiteral("normal"), size, page, make},
            {QStringLiteral("hover on Pin"), size, page, make, [rowOf](QWidget* h) { hover(rowOf(h, "pin")); }},
            {QStringLiteral("pressed on Delete"), size, page, make,
             [rowOf](QWidget* h) { press(rowOf(h, "delete"), QPoint(20, 20)); }},
            {QStringLiteral("no items"), size, page,
             [](QWidget* host) {
                 new CvnActionSheet(QStringLiteral("Nothing to do"), {}, [](std::optional<QString>) {}, host);
             }},
        });
}

// A stand-in for a hosted form: captioned fields down to `height`.
QWidget* sampleForm(int height)
{
    auto* form = new QWidget;
    auto* layout = new QVBoxLayout(form);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(12);
    for (int y = 0; y + 60 <= height; y += 62) {
        auto* caption = new QLabel(QStringLiteral("Field %1").arg(y / 62 + 1));
        caption->setFont(Theme::interMedium13());
        Theme::keepPalette(caption, Theme::Surface::Card);
        auto* field = new QLineEdit(QStringLiteral("value"));
        field->setFont(Theme::interMedium16());
        Theme::keepPalette(field, Theme::Surface::Card);
        field->setFixedHeight(30);
        layout->addWidget(caption);
        layout->addWidget(field);
    }
    layout->addStretch(1);
    form->setFixedHeight(height);
    return form;
}

QImage contentDialogSheet()
{
    auto make = [](int bodyHeight, bool cancel, const QString& title) {
        return [=](QWidget* host) {
            std::optional<QString> cancelText;
            if (cancel)
                cancelText = QStringLiteral("CANCEL");
            new CvnContentDialog(title, sampleForm(bodyHeight), [] {}, [] {}, QStringLiteral("SAVE"), cancelText,
                                 host);
        };
    };
    const QSize size(760, 720);
    const Theme::Surface page = Theme::Surface::Page;
    return composeSheet(
        QStringLiteral("CvnContentDialog"),
        {
            {QStringLiteral("short form"), size, page, make(200, true, QStringLiteral("Edit model"))},
            {QStringLiteral("tall form: 440 high, scrolls"), size, page, make(1000, true, QStringLiteral("Edit model"))},
            {QStringLiteral("no cancel, long title"), size, page,
             make(120, false, QStringLiteral("A title long enough to wrap onto a second centred line"))},
            {QStringLiteral("short window"), QSize(760, 460), page, make(1000, true, QStringLiteral("Edit model"))},
        });
}

QImage confirmDialogSheet()
{
    auto make = [](const QString& body, std::optional<QString> cancel, bool destructive) {
        return [=](QWidget* host) {
            new CvnConfirmDialog(QStringLiteral("Delete chat"), body, destructive ? QStringLiteral("DELETE")
                                                                                   : QStringLiteral("OK"),
                                 cancel, destructive, [] {}, [] {}, host);
        };
    };
    const QSize size(580, 300);
    const Theme::Surface page = Theme::Surface::Page;
    const QString body = QStringLiteral("This chat and its messages will be removed for good.");
    return composeSheet(
        QStringLiteral("CvnConfirmDialog"),
        {
            {QStringLiteral("destructive"), size, page, make(body, QStringLiteral("CANCEL"), true)},
            {QStringLiteral("not destructive"), size, page, make(body, QStringLiteral("CANCEL"), false)},
            {QStringLiteral("no body, no cancel"), size, page, make({}, std::nullopt, false)},
            {QStringLiteral("confirm pressed"), size, page, make(body, QStringLiteral("CANCEL"), true),
             [](QWidget* h) { only<CvnConfirmDialog>(h)->confirmButton()->setDown(true); }},
        });
}

QImage inputDialogSheet()
{
    auto make = [](const QString& text, int maxLength) {
        return [=](QWidget* host) {
            new CvnInputDialog(QStringLiteral("Rename chat"), text, maxLength, [](const QString&) {}, [] {}, host);
        };
    };
    const QSize size(580, 260);
    const Theme::Surface page = Theme::Surface::Page;
    return composeSheet(
        QStringLiteral("CvnInputDialog"),
        {
            {QStringLiteral("with text"), size, page, make(QStringLiteral("Weekend trip plans"), 40)},
            {QStringLiteral("spaces only: SAVE disabled"), size, page, make(QStringLiteral("   "), 40)},
            {QStringLiteral("accents, cut to 12 characters"), size, page,
             make(QStringLiteral("Cafe\u0301 re\u0301sume\u0301 and notes"), 12)},
        });
}

QImage textAreaDialogSheet()
{
    auto make = [](const QString& text) {
        return [=](QWidget* host) {
            new CvnTextAreaDialog(QStringLiteral("Chat instructions"), text,
                                  QStringLiteral("You are a concise assistant. Answer in plain English."), 20000,
                                  [](const QString&) {}, [] {}, host);
        };
    };
    const QSize size(580, 400);
    const Theme::Surface page = Theme::Surface::Page;
    QString many;
    for (int i = 1; i <= 14; ++i)
        many += QStringLiteral("Rule %1: keep answers short and cite the file you used.\n").arg(i);
    return composeSheet(QStringLiteral("CvnTextAreaDialog"),
                        {
                            {QStringLiteral("empty: the model's instructions as placeholder"), size, page, make({})},
                            {QStringLiteral("the chat's own, two lines"), size, page,
                             make(QStringLiteral("Answer in French.\nUse metric units."))},
                            {QStringLiteral("longer than the field: it scrolls"), size, page, make(many)},
                        });
}

QImage contextWarningSheet()
{
    auto make = [](ContextWarning warning) {
        return [=](QWidget* host) { new ContextWarningDialog(warning, [] {}, [] {}, host); };
    };
    const QSize size(580, 560);
    const Theme::Surface page = Theme::Surface::Page;
    return composeSheet(QStringLiteral("ContextWarningDialog"),
                        {
                            {QStringLiteral("4,096 context, 5,000 attached"), size, page, make({4096, 5000, 0})},
                            {QStringLiteral("8,192 context, 7,000 + 500"), size, page, make({8192, 7000, 500})},
                            {QStringLiteral("nine-digit figures"), size, page,
                             make({123456789, 987654321, 12345})},
                        });
}

QImage councilIntroSheet()
{
    return composeSheet(QStringLiteral("CouncilIntroDialog"),
                        {{QStringLiteral("normal"), QSize(580, 700), Theme::Surface::Page,
                          [](QWidget* host) { new CouncilIntroDialog([] {}, host); }}});
}

} // namespace

void settle()
{
    for (int i = 0; i < 3; ++i)
        QApplication::processEvents();
}

CaptionedPage::CaptionedPage(int width) : width(width)
{
    widget.setAttribute(Qt::WA_DontShowOnScreen);
}

int CaptionedPage::place(const QString& caption, QWidget* item, int y, int above)
{
    y += kCaption + above;
    item->move(kMargin, y);
    items.append({caption, item});
    return y + item->height() + kMargin;
}

QImage CaptionedPage::render(int height)
{
    widget.resize(width, height);
    widget.show();
    settle();
    QImage sheet(widget.size(), QImage::Format_ARGB32_Premultiplied);
    sheet.fill(Theme::pageBackground());
    widget.render(&sheet, QPoint(), QRegion(), QWidget::DrawChildren);
    QPainter p(&sheet);
    p.setFont(Theme::interRegular13());
    p.setPen(Theme::secondaryText());
    for (const auto& [caption, item] : items)
        p.drawText(QPointF(kMargin, item->y() - 8 - (item->property("above").toInt())), caption);
    if (outlineItems) {
        p.setPen(QColor(128, 128, 128, 60));
        for (const auto& [caption, item] : items)
            p.drawRect(QRectF(item->geometry()).adjusted(-0.5, -0.5, -0.5, -0.5));
    }
    return sheet;
}

QList<Sheet> renderSheets(Appearance appearance)
{
    Theme::setAppearance(appearance);
    const Theme::Surface card = Theme::Surface::Card;
    const Theme::Surface page = Theme::Surface::Page;
    using S = CvnButton::Style;
    QList<Sheet> sheets = {
        {QStringLiteral("palette"), paletteSheet()},
        {QStringLiteral("fonts"), typeSheet()},
        {QStringLiteral("icons"), iconSheet()},
        {QStringLiteral("selected-pill"),
         composeSheet(QStringLiteral("CvnSelectedPillButton"), buttonCells(S::SelectedPill, QStringLiteral("NEW CHAT"), card))},
        {QStringLiteral("compact-surface-pill"),
         composeSheet(QStringLiteral("CvnCompactSurfacePillButton"),
                      buttonCells(S::CompactSurfacePill, QStringLiteral("ADD MODEL"), page))},
        {QStringLiteral("outline-pill"),
         composeSheet(QStringLiteral("CvnOutlinePillButton"), buttonCells(S::OutlinePill, QStringLiteral("CANCEL"), card))},
        {QStringLiteral("compact-outline-pill"),
         composeSheet(QStringLiteral("CvnCompactOutlinePillButton"),
                      buttonCells(S::CompactOutlinePill, QStringLiteral("CANCEL"), card))},
        {QStringLiteral("icon-button"),
         composeSheet(QStringLiteral("CvnIconButton"), buttonCells(S::Icon, {}, card))},
        {QStringLiteral("compact-icon-button"),
         composeSheet(QStringLiteral("CvnCompactIconButton"), buttonCells(S::CompactIcon, {}, card))},
        {QStringLiteral("destructive-pill"),
         composeSheet(QStringLiteral("Destructive pill"), buttonCells(S::Destructive, QStringLiteral("DELETE"), card))},
        {QStringLiteral("card-slider"), sliderSheet()},
        {QStringLiteral("radio-button"), radioSheet()},
        {QStringLiteral("combo-box"), comboSheet()},
        {QStringLiteral("centred-card-layout"), layoutSheet()},
        {QStringLiteral("action-sheet"), actionSheetSheet()},
        {QStringLiteral("content-dialog"), contentDialogSheet()},
        {QStringLiteral("confirm-dialog"), confirmDialogSheet()},
        {QStringLiteral("input-dialog"), inputDialogSheet()},
        {QStringLiteral("text-area-dialog"), textAreaDialogSheet()},
        {QStringLiteral("context-warning-dialog"), contextWarningSheet()},
        {QStringLiteral("council-intro-dialog"), councilIntroSheet()},
    };
    sheets += replySheets();
    sheets += attachmentSheets();
    sheets += chatSheets();
    sheets += sidebarSheets();
    sheets += pagesSheets();
    sheets += modelsSheets();
    sheets += transcriptSheets();
    sheets += debugSheets();
    return sheets;
}

QStringList writeGallery(const QString& folder)
{
    if (!QDir().mkpath(folder))
        throw std::runtime_error("cannot create the folder " + folder.toStdString());
    QStringList written;
    const AppearanceMode before = Theme::appearanceMode();
    for (const Appearance appearance : {Appearance::Light, Appearance::Dark}) {
        const QString suffix = appearance == Appearance::Dark ? QStringLiteral("-dark.png") : QStringLiteral("-light.png");
        for (const Sheet& sheet : renderSheets(appearance)) {
            const QString path = QDir(folder).filePath(sheet.name + suffix);
            if (!sheet.image.save(path, "PNG"))
                throw std::runtime_error("cannot write " + path.toStdString());
            written.append(path);
        }
    }
    Theme::setAppearanceMode(before);
    return written;
}

} // namespace cvn::gallery
