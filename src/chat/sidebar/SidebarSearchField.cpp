#include "chat/sidebar/SidebarSearchField.h"

#include "ui_kit/Theme.h"

#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QTimer>

namespace cvn {

SidebarSearchField::SidebarSearchField(const QString& text, QWidget* parent) : QLineEdit(text, parent)
{
    setFrame(false);
    setFont(Theme::interMedium16());
    setAccessibleName(QStringLiteral("Search chats"));
    setAttribute(Qt::WA_MacShowFocusRect, false);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    applyPalette();
    connect(&ThemeNotifier::instance(), &ThemeNotifier::appearanceChanged, this, [this] { applyPalette(); });
    connect(this, &QLineEdit::textEdited, this, &SidebarSearchField::queryEdited);
}

void SidebarSearchField::applyPalette()
{
    // The caret and the text both take QPalette::Text; the pill behind shows
    // through the base.
    QPalette p = Theme::palette(Theme::Surface::Card, Theme::appearance());
    p.setColor(QPalette::Base, Qt::transparent);
    p.setColor(QPalette::Text, Theme::surface());
    setPalette(p);
}

void SidebarSearchField::setQuery(const QString& query)
{
    if (text() != query)
        setText(query);
}

void SidebarSearchField::setFocusToken(int token)
{
    if (token == m_focusedToken)
        return;
    m_focusedToken = token;
    QTimer::singleShot(0, this, [this] {
        if (window() && isVisible())
            setFocus(Qt::OtherFocusReason);
    });
}

void SearchCloseGlyph::paint(QPainter& painter, const QRectF& target)
{
    painter.save();
    painter.setRenderHint(QPainter::Antialiasing);
    painter.translate(target.topLeft());
    painter.scale(target.width() / naturalSize.width(), target.height() / naturalSize.height());
    QPainterPath path;
    path.moveTo(0, 0);
    path.lineTo(14, 14);
    path.moveTo(14, 0);
    path.lineTo(0, 14);
    painter.setPen(iconStroke(Theme::surface()));
    painter.setBrush(Qt::NoBrush);
    painter.drawPath(path);
    painter.restore();
}

} // namespace cvn
