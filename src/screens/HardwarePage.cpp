#include "screens/HardwarePage.h"

#include "engine/LlamaModel.h"
#include "platform/AppSettings.h"
#include "platform/SettingsNotifier.h"
#include "platform/SystemInfo.h"
#include "screens/RigCardLines.h"
#include "ui_kit/CvnCardSlider.h"
#include "ui_kit/CvnCardToggle.h"
#include "ui_kit/CvnConfirmDialog.h"
#include "ui_kit/CvnDialogCard.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QPainter>
#include <QThreadPool>
#include <QVBoxLayout>

#include <algorithm>

namespace cvn {

namespace {

constexpr int kColumnWidth = 544;
constexpr int kVerticalMargin = 19;
constexpr int kTitleToCard = 28;
constexpr int kCardToIntro = 22;
constexpr int kIntroToSection = 28;
constexpr int kRigMinHeight = 134;
constexpr QMargins kRigInsets{30, 24, 30, 24};
constexpr QMargins kRowInsets{22, 13, 22, 13};
constexpr int kRowSpacing = 6;
constexpr int kRigBottomPadding = 20;

const QString kMetalKey = QString::fromLatin1(AppSettings::metalOffload);
const QString kThreadsKey = QString::fromLatin1(AppSettings::threadCountKey);

// An ink card of at least 134 whose content stands at its top-leading corner.
class RigCard : public QWidget {
public:
    RigCard()
    {
        setMinimumHeight(kRigMinHeight);
        setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
        Theme::repaintOnAppearanceChange(this);
    }

protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        paintInkCard(p, QRectF(rect()), SettingsKit::kCardRadius);
    }
};

DialogText* explanation(const QString& text)
{
    return new DialogText(text, Theme::interRegular13(), Theme::mutedOnInk);
}

// Swaps the text in place: DialogText keeps its text for life.
void replaceText(DialogText*& slot, const QString& text)
{
    if (slot->text() == text)
        return;
    DialogText* next = explanation(text);
    slot->parentWidget()->layout()->replaceWidget(slot, next);
    delete slot;
    slot = next;
    next->show();
}

QWidget* rowWith(QVBoxLayout** stack)
{
    auto* row = new QWidget;
    auto* layout = new QVBoxLayout(row);
    layout->setContentsMargins(kRowInsets);
    layout->setSpacing(kRowSpacing);
    *stack = layout;
    return row;
}

// The label, a flexible space and the control of a row, on a widget of its
// own so the line can carry a tooltip.
QHBoxLayout* headLine(QVBoxLayout* stack, QWidget** line = nullptr)
{
    auto* widget = new QWidget;
    auto* head = new QHBoxLayout(widget);
    head->setContentsMargins(0, 0, 0, 0);
    head->setSpacing(10);
    stack->addWidget(widget);
    if (line)
        *line = widget;
    return head;
}

HardwarePage::Run engineRun()
{
    HardwarePage::Run run;
    run.gpuStopped = LlamaModel::gpuStopped();
    for (const LoadedModelSnapshot& model : LlamaModel::liveModels())
        run.gpuLayers = std::max(run.gpuLayers.value_or(0), model.gpuLayersOffloaded);
    return run;
}

} // namespace

QString HardwarePage::threadsExplanationText(int processors)
{
    const int n = std::max(processors, 1);
    return QStringLiteral("CPU threads for reading your prompt and writing the reply. More is not always faster: "
                          "memory bandwidth runs out long before the CPU ")
           + QStringLiteral("does. ") + QString::number(n) + QStringLiteral(" available, default ")
           + QString::number(std::min(2, n)) + QStringLiteral(". Both settings take effect the ")
           + QStringLiteral("next time a model is loaded.");
}

HardwarePage::HardwarePage(std::function<void()> onBack, QWidget* parent, std::function<Run()> readRun)
    : QWidget(parent)
    , m_readRun(readRun ? std::move(readRun) : std::function<Run()>(engineRun))
{
    auto* content = new QWidget;
    content->setFixedWidth(kColumnWidth);
    auto* column = new QVBoxLayout(content);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);

    auto* title = new DialogText(QStringLiteral("HARDWARE\nYOUR RIG"), Theme::interRegular32(), Theme::ink);
    title->setAlignment(Qt::AlignHCenter);
    column->addWidget(title);
    column->addSpacing(kTitleToCard);

    m_rigCard = new RigCard;
    m_rigCard->setObjectName(QStringLiteral("cvn.hardware.rig"));
    auto* rigLayout = new QVBoxLayout(m_rigCard);
    rigLayout->setContentsMargins(kRigInsets);
    rigLayout->setSpacing(0);
    m_reading = new OneLineText(QStringLiteral("Reading hardware…"), Theme::interMedium13(), Theme::paper);
    rigLayout->addWidget(m_reading, 0, Qt::AlignTop | Qt::AlignLeft);
    column->addWidget(m_rigCard);
    column->addSpacing(kCardToIntro);

    auto* intro = new DialogText(QStringLiteral("This is what Corvanthelis sees.\n"
                                                "Numbers update when you open this screen —\n"
                                                "free RAM changes as you use your computer."),
                                 Theme::interMedium13(), Theme::ink);
    intro->setAlignment(Qt::AlignHCenter);
    column->addWidget(intro);
    column->addSpacing(kIntroToSection);
    column->addWidget(new SectionHeader(QStringLiteral("PERFORMANCE"), 0));

    auto* card = new SettingsCard;
    card->setObjectName(QStringLiteral("cvn.hardware.performance"));
    QVBoxLayout* metal = nullptr;
    m_metalRow = rowWith(&metal);
    QHBoxLayout* metalHead = headLine(metal, &m_metalLine);
    metalHead->addWidget(new OneLineText(QStringLiteral("GPU OFFLOAD"), Theme::interMedium13(), Theme::paper), 1);
    m_toggle = new CvnCardToggle(false, QStringLiteral("GPU offload"), false);
    metalHead->addWidget(m_toggle);
    m_metalText = explanation(QString());
    metal->addWidget(m_metalText);
    card->addRow(m_metalRow);

    QVBoxLayout* threads = nullptr;
    QWidget* threadsRow = rowWith(&threads);
    QHBoxLayout* threadsHead = headLine(threads);
    threadsHead->addWidget(new OneLineText(QStringLiteral("THREADS"), Theme::interMedium13(), Theme::paper), 1);
    m_threadValue = new OneLineText(QString(), Theme::interMedium13(), Theme::paper);
    m_threadValue->setSizePolicy(QSizePolicy::Fixed, QSizePolicy::Fixed);
    threadsHead->addWidget(m_threadValue);
    m_slider = new CvnCardSlider(0, 1, true, 6, 22);
    threads->addWidget(m_slider);
    m_threadsText = explanation(QString());
    threads->addWidget(m_threadsText);
    card->addRow(threadsRow);
    column->addWidget(card);

    m_frame = new SettingsPageFrame(kVerticalMargin, content,
                                    new PageBackButton(QStringLiteral("Back"), std::move(onBack)), this);

    connect(m_toggle, &CvnCardToggle::writeRequested, this, &HardwarePage::askMetal);
    connect(m_slider, &CvnCardSlider::valueWritten, this,
            [](int position) { AppSettings::setValue(kThreadsKey, position + 1); });
    connect(&SettingsNotifier::instance(), &SettingsNotifier::changed, this, [this](const QString& key) {
        if (key == kMetalKey || key == kThreadsKey)
            showSettings();
    });
    showSettings();
}

int HardwarePage::processors() const
{
    // Until the first read arrives, the count the system gives right here.
    return std::max(1, m_facts ? m_facts->processorCount : cvn::processorCount());
}

bool HardwarePage::gpuUsable() const
{
    // Unknown until the first read: the switch stays dimmed rather than
    // offering what the machine may not have. A GPU that stopped stays
    // stopped in this process (its device is lost for good), so the switch
    // could only promise what the next load cannot keep.
    return m_facts && m_facts->gpuUsable && !m_run.gpuStopped;
}

QString HardwarePage::metalExplanationText(bool usable, bool on) const
{
    if (m_run.gpuStopped) {
        return QStringLiteral("The GPU stopped during a reply, so GPU offload is off until Corvanthelis restarts: "
                              "restart Corvanthelis to use the GPU again.");
    }
    if (!usable) {
        // These two the user can act on, so they are said outright rather
        // than left to the tooltip.
        const GpuAbsence reason = machineGpuAbsenceReason();
        if (m_facts && (reason == GpuAbsence::driverFailed || reason == GpuAbsence::badVisibleDevices))
            return machineGpuAbsence() + QStringLiteral(" Corvanthelis runs on your CPU.");
        return QStringLiteral("Not available on this computer's GPU. Corvanthelis runs on your CPU.");
    }
    QString text = QStringLiteral("Runs the model's layers on the GPU. Off keeps everything on the CPU.");
    // The switch speaks of the next load; the model loaded now keeps what
    // its own load chose until then.
    const int64_t layers = m_run.gpuLayers.value_or(0);
    if (m_run.gpuLayers && on && layers == 0)
        text += QStringLiteral(" The model loaded now runs on the CPU until the next load.");
    else if (m_run.gpuLayers && !on && layers > 0)
        text += QStringLiteral(" The model loaded now keeps %1 %2 on the GPU until the next load.")
                    .arg(layers)
                    .arg(layers == 1 ? QStringLiteral("layer") : QStringLiteral("layers"));
    return text;
}

void HardwarePage::showSettings()
{
    const bool usable = gpuUsable();
    const bool on = AppSettings::boolValue(kMetalKey) && usable;
    m_toggle->setToggleEnabled(usable);
    m_toggle->setOn(on);
    QString why;
    if (m_run.gpuStopped)
        why = metalExplanationText(usable, on);
    else if (!usable)
        why = HardwareInfo::metalUnavailableText().value_or(QString());
    m_metalLine->setToolTip(why);
    replaceText(m_metalText, metalExplanationText(usable, on));

    const int n = processors();
    const QVariant storedValue = AppSettings::value(kThreadsKey);
    const qlonglong stored = storedValue.isValid() ? storedValue.toLongLong() : std::min(2, n);
    // The value shows what is stored, unclamped; the slider shows where a
    // load would land.
    m_threadValue->setText(QString::asprintf("%lld", stored));
    m_slider->setSteps(n);
    m_slider->setValue(int(std::min<qlonglong>(n, std::max<qlonglong>(stored, 1))) - 1);
    if (n != m_explainedProcessors) {
        m_explainedProcessors = n;
        replaceText(m_threadsText, threadsExplanationText(n));
    }
}

void HardwarePage::refreshRig()
{
    const uint64_t serial = ++m_started;
    QPointer<HardwarePage> page(this);
    QThreadPool::globalInstance()->start([page, serial, readRun = m_readRun] {
        const SystemFacts facts = SystemFacts::read();
        const Run run = readRun();
        QMetaObject::invokeMethod(
            qApp, [page, serial, facts, run] {
                if (page)
                    page->deliver(serial, facts, run);
            },
            Qt::QueuedConnection);
    });
}

void HardwarePage::deliver(uint64_t serial, const SystemFacts& facts, const Run& run)
{
    // Reads overlap and may finish in any order: an older one must not
    // replace what a newer one already showed.
    if (serial <= m_shown)
        return;
    m_shown = serial;
    m_facts = facts;
    m_run = run;
    if (!m_lines) {
        m_lines = new RigCardLines(facts.rig, true, kRigBottomPadding);
        m_rigCard->layout()->replaceWidget(m_reading, m_lines);
        m_reading->hide();
        m_lines->show();
    } else {
        m_lines->setRig(facts.rig);
    }
    showSettings();
}

void HardwarePage::askMetal(bool value)
{
    if (m_dialog)
        return;
    m_pendingMetal = value;
    m_dialog = new CvnConfirmDialog(
        value ? QStringLiteral("Turn on GPU offload?") : QStringLiteral("Turn off GPU offload?"),
        QStringLiteral("This takes effect the next time a model is loaded. To apply it now, pick the model again in "
                       "SELECT A MODEL."),
        value ? QStringLiteral("TURN ON") : QStringLiteral("TURN OFF"), QStringLiteral("CANCEL"), false,
        [this, value] { applyPendingMetal(value); }, [this] { closeDialog(); }, this);
    m_dialog->show();
}

void HardwarePage::applyPendingMetal(bool value)
{
    AppSettings::setValue(kMetalKey, value);
    closeDialog();
    refreshRig();
}

void HardwarePage::closeDialog()
{
    m_pendingMetal.reset();
    if (m_dialog) {
        // Called from inside the dialog's own click handler.
        m_dialog->hide();
        m_dialog->deleteLater();
        m_dialog.clear();
    }
}

void HardwarePage::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    refreshRig();
}

void HardwarePage::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    m_frame->setGeometry(rect());
}

} // namespace cvn
