#include "screens/SettingsPage.h"

#include "bridge/AppInfo.h"

#include <QDesktopServices>
#include <QFontMetrics>
#include <QHBoxLayout>
#include <QPainter>
#include <QVBoxLayout>

#ifndef CVN_WEBSITE_URL
#define CVN_WEBSITE_URL "https://corvanthelis.com"
#endif

namespace cvn {

namespace {

constexpr int kSectionTop = 13;
constexpr int kCapsuleInsetX = 22;
constexpr int kCapsuleInsetY = 13;
constexpr int kLinkRowGap = 19;
constexpr int kLinkSpacing = 3;
constexpr QMargins kLinkPadding{5, 2, 5, 2};

// "VERSION" and the version on an ink capsule. Not a button: clicks on it
// land nowhere.
class VersionCapsule : public QWidget {
public:
    explicit VersionCapsule(const QString& version, QWidget* parent = nullptr) : QWidget(parent)
    {
        setObjectName(QStringLiteral("cvn.settings.version"));
        auto* row = new QHBoxLayout(this);
        row->setContentsMargins(kCapsuleInsetX, kCapsuleInsetY, kCapsuleInsetX, kCapsuleInsetY);
        row->setSpacing(10);
        row->addWidget(new OneLineText(QStringLiteral("VERSION"), Theme::interMedium13(), Theme::paper));
        row->addStretch(1);
        auto* value = new OneLineText(version, Theme::interMedium13(), Theme::mutedOnInk);
        value->setObjectName(QStringLiteral("cvn.settings.versionText"));
        row->addWidget(value);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
        Theme::repaintOnAppearanceChange(this);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        paintInkCard(p, QRectF(rect()), height() / 2.0);
    }
};

// A link without chrome: its label in ink, padded 2 and 5, the whole padded
// rectangle clickable.
class LinkButton : public QAbstractButton {
public:
    explicit LinkButton(const QString& label, QWidget* parent = nullptr) : QAbstractButton(parent)
    {
        setText(label);
        setAccessibleName(label);
        setCursor(Qt::PointingHandCursor);
        setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
        Theme::repaintOnAppearanceChange(this);
    }
    QSize sizeHint() const override
    {
        const QFont font = Theme::interRegular13();
        return QSize(Theme::textWidth(font, text()), QFontMetrics(font).height()).grownBy(kLinkPadding);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.setPen(Theme::ink());
        p.setFont(Theme::interRegular13());
        p.drawText(rect().marginsRemoved(kLinkPadding), Qt::AlignCenter, text());
    }
};

QWidget* linkRow(const SettingsPage::OpenUrl& openUrl)
{
    auto* frame = new QWidget;
    frame->setObjectName(QStringLiteral("cvn.settings.links"));
    auto* outer = new QHBoxLayout(frame);
    outer->setContentsMargins(0, kLinkRowGap, 0, kLinkRowGap);
    outer->setSpacing(kLinkSpacing);
    outer->addStretch(1);
    bool first = true;
    for (const SettingsPage::Link& link : SettingsPage::links()) {
        if (!first) {
            auto* bar = new OneLineText(QStringLiteral("|"), Theme::interRegular13(), Theme::mutedOnPaper);
            bar->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
            outer->addWidget(bar);
        }
        first = false;
        auto* button = new LinkButton(link.label);
        const QString address = SettingsPage::websiteBase() + link.path;
        QObject::connect(button, &QAbstractButton::clicked, button, [openUrl, address] {
            const QUrl url(address, QUrl::StrictMode);
            if (url.isValid())
                openUrl(url); // whether it opened is not ours to report
        });
        outer->addWidget(button);
    }
    outer->addStretch(1);
    return frame;
}

} // namespace

const QList<SettingsPage::Link>& SettingsPage::links()
{
    static const QList<Link> list = {
        {QStringLiteral("Docs"), QStringLiteral("/app/docs/")},
        {QStringLiteral("Terms"), QStringLiteral("/terms/")},
        {QStringLiteral("Privacy"), QStringLiteral("/privacy/")},
        {QStringLiteral("Licences"), QStringLiteral("/licenses/")},
    };
    return list;
}

QString SettingsPage::websiteBase()
{
    QString base = QStringLiteral(CVN_WEBSITE_URL);
    while (base.endsWith(QLatin1Char('/')))
        base.chop(1);
    return base;
}

SettingsPage::SettingsPage(std::function<void()> onClose, std::function<void()> onAppearance,
                           std::function<void()> onModels, std::function<void()> onHardware,
                           std::function<void()> onChats, OpenUrl openUrl,
                           QWidget* parent)
    : QWidget(parent)
{
    if (!openUrl)
        openUrl = [](const QUrl& url) { QDesktopServices::openUrl(url); };

    QVBoxLayout* column = nullptr;
    QWidget* content = SettingsPageFrame::pageColumn(&column);
    column->addWidget(new PageTitle(QStringLiteral("SETTINGS")));
    column->addWidget(new SectionHeader(QStringLiteral("GENERAL"), kSectionTop));
    m_general = new SettingsCard;
    m_general->addRow(new SettingsNavRow(QStringLiteral("APPEARANCE"), std::move(onAppearance)));
    m_general->addRow(new SettingsNavRow(QStringLiteral("MODELS"), std::move(onModels)));
    m_general->addRow(new SettingsNavRow(QStringLiteral("HARDWARE"), std::move(onHardware)));
    m_general->addRow(new SettingsNavRow(QStringLiteral("CHATS"), std::move(onChats)));
    column->addWidget(m_general);
    column->addWidget(new SectionHeader(QStringLiteral("ABOUT"), kSectionTop));
    column->addWidget(new VersionCapsule(AppInfo::version()));
    column->addWidget(linkRow(openUrl));

    m_frame = new SettingsPageFrame(0, content, new PageBackButton(QStringLiteral("Close"), std::move(onClose)), this);
}

void SettingsPage::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_frame->setGeometry(rect());
}

} // namespace cvn
