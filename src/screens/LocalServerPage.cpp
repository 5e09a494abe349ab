#include "screens/LocalServerPage.h"

#include "platform/AppSettings.h"
#include "platform/SettingsNotifier.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnCardToggle.h"
#include "ui_kit/CvnDialogCard.h"
#include "ui_kit/CvnInputDialog.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QRandomGenerator>
#include <QVBoxLayout>

namespace cvn {

namespace {

const QString kEnabledKey = QString::fromLatin1(AppSettings::localServerEnabled);
const QString kPortKey = QString::fromLatin1(AppSettings::localServerPort);
const QString kApiKeyKey = QString::fromLatin1(AppSettings::localServerApiKey);

int storedPort()
{
    return AppSettings::value(kPortKey).toInt();
}

} // namespace

QString LocalServerPage::randomKey()
{
    QString key = QStringLiteral("cvn-");
    QRandomGenerator* random = QRandomGenerator::system();
    for (int i = 0; i < 4; ++i)
        key += QStringLiteral("%1").arg(random->generate(), 8, 16, QLatin1Char('0'));
    return key;
}

LocalServerPage::LocalServerPage(std::function<void()> onBack, QWidget* parent) : QWidget(parent)
{
    auto* content = new QWidget;
    content->setFixedWidth(SettingsKit::kControlColumnWidth);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(new PageTitle(QStringLiteral("LOCAL SERVER")));
    column->addSpacing(SettingsKit::kTitleToCard);

    auto* card = new SettingsCard;
    card->setObjectName(QStringLiteral("cvn.localServer.card"));
    QVBoxLayout* serveStack = nullptr;
    QHBoxLayout* serve =
        addControlRow(card, QStringLiteral("Serve models to other programs on this computer"), &serveStack);
    m_toggle = new CvnCardToggle(false, QStringLiteral("Serve models to other programs on this computer"), true);
    serve->addWidget(m_toggle);
    m_state = cardText(QString(), Theme::mutedOnInk);
    serveStack->addWidget(m_state);

    QHBoxLayout* port = addControlRow(card, QStringLiteral("PORT"));
    m_port = cardText(QString());
    m_port->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    port->addWidget(m_port);
    m_changePort = new CvnCompactOutlinePillButton(QStringLiteral("CHANGE"));
    port->addWidget(m_changePort);

    QVBoxLayout* keyStack = nullptr;
    QHBoxLayout* key = addControlRow(card, QStringLiteral("API KEY"), &keyStack);
    m_newKey = new CvnCompactOutlinePillButton(QStringLiteral("NEW KEY"));
    key->addWidget(m_newKey);
    m_removeKey = new CvnCompactOutlinePillButton(QStringLiteral("REMOVE"));
    key->addWidget(m_removeKey);
    m_key = cardText(QString(), Theme::mutedOnInk);
    keyStack->addWidget(m_key);

    QVBoxLayout* urlStack = nullptr;
    QHBoxLayout* url = addControlRow(card, QStringLiteral("BASE URL"), &urlStack);
    m_copy = new CvnCompactOutlinePillButton(QStringLiteral("COPY"));
    url->addWidget(m_copy);
    m_url = cardText(QString(), Theme::mutedOnInk);
    urlStack->addWidget(m_url);
    column->addWidget(card);

    m_frame = new SettingsPageFrame(SettingsKit::kControlPageMargin, content,
                                    new PageBackButton(QStringLiteral("Back"), std::move(onBack)), this);

    connect(m_toggle, &CvnCardToggle::writeRequested, this, [](bool on) { AppSettings::setValue(kEnabledKey, on); });
    connect(m_changePort, &QAbstractButton::clicked, this, &LocalServerPage::askPort);
    connect(m_newKey, &QAbstractButton::clicked, this, [] { AppSettings::setValue(kApiKeyKey, randomKey()); });
    connect(m_removeKey, &QAbstractButton::clicked, this, [] { AppSettings::setValue(kApiKeyKey, QString()); });
    connect(m_copy, &QAbstractButton::clicked, this, [this] { QGuiApplication::clipboard()->setText(m_url->text()); });
    connect(&SettingsNotifier::instance(), &SettingsNotifier::changed, this, [this](const QString& changed) {
        if (changed == kEnabledKey || changed == kPortKey || changed == kApiKeyKey)
            showSettings();
    });
    setStateText(QStringLiteral("Off"));
    showSettings();
}

void LocalServerPage::showSettings()
{
    m_toggle->setOn(AppSettings::boolValue(kEnabledKey));
    m_port->setText(QString::number(storedPort()));
    m_port->updateGeometry();
    const QString key = AppSettings::value(kApiKeyKey).toString();
    m_key->setText(key.isEmpty() ? QStringLiteral("None: every program on this computer may connect.") : key);
    m_removeKey->setVisible(!key.isEmpty());
    m_url->setText(QStringLiteral("http://127.0.0.1:%1/v1").arg(storedPort()));
}

void LocalServerPage::setStateText(const QString& text)
{
    m_state->setText(text);
}

void LocalServerPage::askPort()
{
    if (m_portDialog)
        return;
    m_portDialog = new CvnInputDialog(
        QStringLiteral("Port"), QString::number(storedPort()), 5,
        [this](const QString& text) {
            if (savePort(text))
                closePortDialog();
        },
        [this] { closePortDialog(); }, this);
    m_portDialog->show();
}

bool LocalServerPage::savePort(const QString& text)
{
    bool ok = false;
    const int port = text.trimmed().toInt(&ok);
    if (!ok || port < 1 || port > 65535)
        return false;
    AppSettings::setValue(kPortKey, port);
    return true;
}

void LocalServerPage::closePortDialog()
{
    if (m_portDialog) {
        // Called from inside the dialog's own click handler.
        m_portDialog->hide();
        m_portDialog->deleteLater();
        m_portDialog.clear();
    }
}

void LocalServerPage::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_frame->setGeometry(rect());
}

} // namespace cvn
