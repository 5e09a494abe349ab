#include "screens/AppearancePage.h"

#include "platform/AppSettings.h"
#include "platform/SettingsNotifier.h"

#include <QApplication>
#include <QVBoxLayout>

namespace cvn {

namespace {

const QString kLight = QStringLiteral("light");
const QString kDark = QStringLiteral("dark");

QString storedMode()
{
    return AppSettings::value(QString::fromLatin1(AppSettings::appearanceMode)).toString();
}

} // namespace

void applyAppearance()
{
    const QString stored = storedMode();
    Theme::setAppearanceMode(stored == kLight  ? AppearanceMode::Light
                             : stored == kDark ? AppearanceMode::Dark
                                               : AppearanceMode::System);
    // Not every widget listens for the switch (plain Qt children, custom
    // paints outside the kit); a repaint of all brings them along.
    for (QWidget* widget : QApplication::allWidgets())
        widget->update();
}

AppearancePage::AppearancePage(std::function<void()> onBack, QWidget* parent) : QWidget(parent)
{
    QVBoxLayout* column = nullptr;
    QWidget* content = SettingsPageFrame::pageColumn(&column);
    column->addWidget(new PageTitle(QStringLiteral("APPEARANCE")));
    column->addWidget(new SectionHeader(QStringLiteral("THEME"), 0));
    m_card = new SettingsCard;
    m_light = new CardRowButton(QStringLiteral("Light"), CardRowButton::Trailing::None, [this] { choose(kLight); });
    m_dark = new CardRowButton(QStringLiteral("Dark"), CardRowButton::Trailing::None, [this] { choose(kDark); });
    m_card->addRow(m_light);
    m_card->addRow(m_dark);
    column->addWidget(m_card);
    m_frame = new SettingsPageFrame(0, content, new PageBackButton(QStringLiteral("Back"), std::move(onBack)), this);

    markCurrent();
    connect(&SettingsNotifier::instance(), &SettingsNotifier::changed, this, [this](const QString& key) {
        if (key == QLatin1String(AppSettings::appearanceMode))
            markCurrent();
    });
}

void AppearancePage::choose(const QString& stored)
{
    AppSettings::setValue(QString::fromLatin1(AppSettings::appearanceMode), stored);
    markCurrent();
    applyAppearance();
}

void AppearancePage::markCurrent()
{
    const QString stored = storedMode();
    for (auto [row, value] : {std::pair{m_light, kLight}, std::pair{m_dark, kDark}}) {
        const bool current = stored == value;
        row->setTrailing(current ? CardRowButton::Trailing::CheckMark : CardRowButton::Trailing::None);
        row->setAccessibleDescription(current ? QStringLiteral("selected") : QString());
    }
}

void AppearancePage::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_frame->setGeometry(rect());
}

} // namespace cvn
