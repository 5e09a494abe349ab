#include "PagesGallery.h"

#include "models/SystemFacts.h"
#include "platform/AppSettings.h"
#include "screens/AppearancePage.h"
#include "screens/AttachSheetOverlay.h"
#include "screens/ChatsPage.h"
#include "screens/HardwarePage.h"
#include "screens/LocalServerPage.h"
#include "screens/ReplyCachePage.h"
#include "screens/ModelPickerOverlay.h"
#include "screens/RigCardLines.h"
#include "screens/SettingsPage.h"
#include "storage/ChatStore.h"
#include "ui_kit/CvnButton.h"
#include "ui_kit/CvnCardToggle.h"

#include <QApplication>
#include <QHBoxLayout>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollArea>
#include <QScrollBar>
#include <QSemaphore>
#include <QTemporaryDir>
#include <QThreadPool>

namespace cvn::gallery {

namespace {

constexpr int kMargin = 16;
constexpr int kCaption = 22;
constexpr int64_t kMiB = 1024 * 1024;

// A stand-in for the page under an overlay: the page colour and a few lines
// of text, so the dim shows over something.
class FakePage : public QWidget {
protected:
    void paintEvent(QPaintEvent*) override
    {
        QPainter p(this);
        p.fillRect(rect(), Theme::pageBackground());
        p.setPen(Theme::text());
        p.setFont(Theme::interMedium16());
        for (int y = 60; y < height(); y += 70)
            p.drawText(QPointF(60, y), QStringLiteral("A message in the chat behind the overlay."));
    }
};

struct Panel {
    QString caption;
    QImage image;
};

QImage grab(QWidget& widget)
{
    widget.setAttribute(Qt::WA_DontShowOnScreen);
    if (!widget.isVisible())
        widget.show();
    settle();
    QImage image(widget.size(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    widget.render(&image);
    return image;
}

QImage compose(const QList<Panel>& panels)
{
    int width = kMargin;
    int height = 0;
    for (const Panel& panel : panels) {
        width += panel.image.width() + kMargin;
        height = qMax(height, panel.image.height());
    }
    const int top = kMargin + kCaption;
    QImage sheet(width, top + height + kMargin, QImage::Format_ARGB32_Premultiplied);
    sheet.fill(Theme::pageBackground());
    QPainter p(&sheet);
    p.setFont(Theme::interRegular13());
    p.setPen(Theme::secondaryText());
    int x = kMargin;
    for (const Panel& panel : panels) {
        p.drawText(QPointF(x, kMargin + 13), panel.caption);
        p.drawImage(QPoint(x, top), panel.image);
        x += panel.image.width() + kMargin;
    }
    return sheet;
}

QList<ModelInfo> sampleModels(int n)
{
    static const char* names[] = {"Llama 3.2 3B Instruct", "Qwen2.5 7B Instruct", "Mistral 7B v0.3",
                                  "Gemma 2 9B", "Phi-3.5 Mini", "DeepSeek R1 Distill Qwen 14B",
                                  "OLMo 2 13B", "A model with a name far too long for its pill to show whole"};
    QList<ModelInfo> models;
    for (int i = 0; i < n; ++i) {
        models.emplaceBack().displayName =
            i < 8 ? QString::fromUtf8(names[i]) : QStringLiteral("Model %1").arg(i + 1);
    }
    return models;
}

QImage pickerImage(QSize window, int count, int current, qreal inset, int scrollTo = 0)
{
    FakePage page;
    page.resize(window);
    QList<ModelInfo> models = sampleModels(count);
    // The first two see images through a projector of their width.
    for (int i = 0; i < std::min(count, 2); ++i)
        models[i].discoveredMetadata = GgufInfo{.nEmbd = 2560};
    QList<ModelInfo> all = models;
    all.emplaceBack().fileName = QStringLiteral("mmproj-gemma-3-4b-it-f16.gguf");
    all.last().visionAdapterFile = true;
    all.last().projectionWidth = 2560;
    std::optional<QUuid> id;
    if (current >= 0 && current < count)
        id = models[current].id;
    auto* overlay = new ModelPickerOverlay(models, all, id, inset, [](const QUuid&) {}, [] {}, &page);
    overlay->show();
    grab(page);
    if (scrollTo)
        overlay->list()->verticalScrollBar()->setValue(scrollTo);
    return grab(page);
}

QImage attachImage(QSize window)
{
    FakePage page;
    page.resize(window);
    auto* sheet = new AttachSheetOverlay([](bool) {}, [] {}, &page);
    sheet->show();
    return grab(page);
}

void press(QWidget* widget)
{
    const QPoint pos(widget->width() / 2, widget->height() / 2);
    QMouseEvent event(QEvent::MouseButtonPress, pos, widget->mapToGlobal(pos), Qt::LeftButton, Qt::LeftButton,
                      Qt::NoModifier);
    QApplication::sendEvent(widget, &event);
}

QImage settingsImage(bool pressed)
{
    SettingsPage page([] {}, [] {}, [] {}, [] {}, [] {}, [](const QUrl&) {});
    page.generalCard()->addRow(new SettingsNavRow(QStringLiteral("LOCAL SERVER"), [] {}));
    page.generalCard()->addRow(new SettingsNavRow(QStringLiteral("REPLY CACHE"), [] {}));
    page.resize(720, 640);
    grab(page);
    if (pressed)
        press(page.generalCard()->findChildren<CardRowButton*>().at(1));
    return grab(page);
}

// The chats page over a database of its own in a temporary folder: as it
// opens, after an import that stopped at a bad line, or under its progress
// card (as an import shows it while the database cannot be written).
QImage chatsImage(int state)
{
    QTemporaryDir folder;
    ChatDatabase db(folder.filePath(QStringLiteral("chats.db")));
    ChatStore store(db);
    ChatsPage page(store, [] {});
    page.resize(720, 480);
    grab(page);
    if (state == 1) {
        QFile file(folder.filePath(QStringLiteral("bad.jsonl")));
        if (file.open(QIODevice::WriteOnly))
            file.write("{\"format\": \"corvanthelis-chat\"}\n");
        file.close();
        page.importFrom(file.fileName());
        for (int i = 0; i < 100 && page.isRunning(); ++i)
            QApplication::processEvents();
    } else if (state == 2) {
        auto* overlay = new CopyProgressOverlay({3, 8, 0}, {}, &page);
        overlay->setTitle(QStringLiteral("IMPORTING CHATS"));
        overlay->setFigures(QStringLiteral("Chats are not being saved"));
        overlay->show();
    }
    return grab(page);
}

QImage appearanceImage(bool pressed)
{
    AppearancePage page([] {});
    page.resize(720, 420);
    // The stored choice is the user's; the sheet shows the row of its own look.
    const bool dark = Theme::appearance() == Appearance::Dark;
    page.lightRow()->setTrailing(dark ? CardRowButton::Trailing::None : CardRowButton::Trailing::CheckMark);
    page.darkRow()->setTrailing(dark ? CardRowButton::Trailing::CheckMark : CardRowButton::Trailing::None);
    grab(page);
    if (pressed)
        press(page.darkRow());
    return grab(page);
}

SystemFacts intelFacts(bool gpuUsable)
{
    SystemFacts facts;
    facts.rig.ramTotalMb = 16000;
    facts.rig.ramFreeMb = 8000;
    facts.rig.cpuShortName = QStringLiteral("Intel Core i7-9750H");
    facts.processorCount = 8;
    facts.gpuUsable = gpuUsable;
    return facts;
}

RigInfo discreteGpu()
{
    RigInfo rig;
    rig.ramTotalMb = 16384;
    rig.ramFreeMb = 9000;
    rig.cpuShortName = QStringLiteral("AMD Ryzen 7 7700X");
    rig.gpuName = QStringLiteral("AMD Radeon RX 7600");
    rig.gpuVramMb = 8176;
    rig.isUsableForInference = true;
    return rig;
}

QImage hardwareImage(bool read, bool gpuUsable, bool dialog, HardwarePage::Run run = {})
{
    // The reading state is the page before its first read lands: the read
    // waits at the gate until the picture is taken.
    QSemaphore gate;
    SystemFacts::Override facts([&gate, gpuUsable] {
        gate.acquire();
        return intelFacts(gpuUsable);
    });
    QImage image;
    {
        HardwarePage page([] {}, nullptr, [run] { return run; });
        page.resize(720, 900);
        if (!read) {
            image = grab(page);
        } else {
            page.setAttribute(Qt::WA_DontShowOnScreen);
            page.show();
            gate.release();
            while (!page.facts())
                QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
            if (dialog)
                page.metalToggle()->toggleIfEnabled();
            image = grab(page);
        }
        gate.release(8);
        QThreadPool::globalInstance()->waitForDone();
        QApplication::processEvents();
    }
    return image;
}

// The switch in its states on a card.
QImage toggleImage(bool on, bool enabled)
{
    QWidget host;
    host.resize(72, 52);
    host.setAutoFillBackground(true);
    QPalette palette;
    palette.setColor(QPalette::Window, Theme::card());
    host.setPalette(palette);
    auto* toggle = new CvnCardToggle(on, QStringLiteral("GPU offload"), enabled, &host);
    toggle->move(16, 16);
    return grab(host);
}

QImage rigLinesImage(const RigInfo& rig, bool compact)
{
    QWidget host;
    host.setAutoFillBackground(true);
    QPalette palette;
    palette.setColor(QPalette::Window, Theme::card());
    host.setPalette(palette);
    auto* layout = new QHBoxLayout(&host);
    layout->setContentsMargins(30, 24, 30, 24);
    auto* lines = new RigCardLines(rig, compact, compact ? 20 : 0);
    layout->addWidget(lines);
    host.resize(compact ? 544 : 480, 10);
    host.resize(host.width(), lines->heightForWidth(host.width() - 60) + 48);
    return grab(host);
}

// The local server page over settings of its own, put back afterwards.
QImage localServerImage(bool on, const QString& key, const QString& state, bool portDialog)
{
    const QString enabledKey = QString::fromLatin1(AppSettings::localServerEnabled);
    const QString apiKey = QString::fromLatin1(AppSettings::localServerApiKey);
    const QString portKey = QString::fromLatin1(AppSettings::localServerPort);
    AppSettings::setValue(enabledKey, on);
    AppSettings::setValue(apiKey, key);
    AppSettings::setValue(portKey, 47830);
    QImage image;
    {
        LocalServerPage page([] {});
        page.resize(720, 560);
        page.setStateText(state);
        if (portDialog) {
            grab(page);
            page.changePortButton()->click();
        }
        image = grab(page);
    }
    AppSettings::remove(enabledKey);
    AppSettings::remove(apiKey);
    AppSettings::remove(portKey);
    return image;
}

// The reply cache page over budgets of its own, removed afterwards from
// the gallery's scratch settings.
QImage replyCacheImage(int memoryMb, int diskMb, int64_t memoryBytes, int64_t diskBytes, bool budgetDialog)
{
    const QString memoryKey = QString::fromLatin1(AppSettings::promptCacheMemoryMb);
    const QString diskKey = QString::fromLatin1(AppSettings::promptCacheDiskMb);
    AppSettings::setValue(memoryKey, memoryMb);
    AppSettings::setValue(diskKey, diskMb);
    QImage image;
    {
        ReplyCachePage page([] {}, {});
        page.resize(720, 560);
        page.setUsage(memoryBytes, diskBytes);
        if (budgetDialog) {
            grab(page);
            page.changeMemoryButton()->click();
        }
        image = grab(page);
    }
    AppSettings::remove(memoryKey);
    AppSettings::remove(diskKey);
    return image;
}

} // namespace

QList<Sheet> pagesSheets()
{
    const QSize window(1280, 800);
    RigInfo intel = intelFacts(false).rig;
    return {
        {QStringLiteral("model-picker"),
         compose({{QStringLiteral("7 models, the third current"), pickerImage(window, 7, 2, 0)}})},
        {QStringLiteral("model-picker-drawer"),
         compose({{QStringLiteral("drawer open: inset 378, one model"), pickerImage(window, 1, 0, 378)}})},
        {QStringLiteral("model-picker-empty"),
         compose({{QStringLiteral("no models, 900 wide"), pickerImage({900, 560}, 0, -1, 0)}})},
        {QStringLiteral("model-picker-scrolling"),
         compose({{QStringLiteral("30 models, no current"), pickerImage({900, 560}, 30, -1, 0)},
                  {QStringLiteral("scrolled"), pickerImage({900, 560}, 30, 9, 0, 200)}})},
        {QStringLiteral("attach-sheet"),
         compose({{QStringLiteral("900 wide"), attachImage({900, 420})},
                  {QStringLiteral("1600 wide"), attachImage({1600, 420})}})},
        {QStringLiteral("settings"), compose({{QStringLiteral("settings page"), settingsImage(false)}})},
        {QStringLiteral("settings-pressed"),
         compose({{QStringLiteral("MODELS held down"), settingsImage(true)}})},
        {QStringLiteral("chats"),
         compose({{QStringLiteral("chats page"), chatsImage(0)},
                  {QStringLiteral("an import stopped at a bad line"), chatsImage(1)}})},
        {QStringLiteral("chats-progress"),
         compose({{QStringLiteral("an import waiting for the database"), chatsImage(2)}})},
        {QStringLiteral("appearance"),
         compose({{QStringLiteral("the current look checked"), appearanceImage(false)},
                  {QStringLiteral("Dark held down"), appearanceImage(true)}})},
        {QStringLiteral("local-server"),
         compose({{QStringLiteral("off, no key"), localServerImage(false, {}, QStringLiteral("Off"), false)},
                  {QStringLiteral("listening, with a key"),
                   localServerImage(true, QStringLiteral("cvn-0f3a9c21d4e85b7a6c10e2f94b3d8a57"),
                                    QStringLiteral("Listening on http://127.0.0.1:47830/v1"), false)}})},
        {QStringLiteral("local-server-port-taken"),
         compose({{QStringLiteral("the port is taken"),
                   localServerImage(true, {}, QStringLiteral("Not listening: port 47830 is taken by another program."),
                                    false)},
                  {QStringLiteral("CHANGE: the port dialog"), localServerImage(true, {}, QStringLiteral("Off"), true)}})},
        {QStringLiteral("reply-cache"),
         compose({{QStringLiteral("in use"), replyCacheImage(2048, 4096, 312 * kMiB, 1234 * kMiB, false)},
                  {QStringLiteral("widest figures, memory off"),
                   replyCacheImage(0, 1048576, 0, 1048576 * kMiB, false)}})},
        {QStringLiteral("reply-cache-dialog"),
         compose({{QStringLiteral("CHANGE: the memory dialog"), replyCacheImage(2048, 4096, 0, 0, true)}})},
        {QStringLiteral("hardware-reading"),
         compose({{QStringLiteral("before the first read"), hardwareImage(false, false, false)}})},
        {QStringLiteral("hardware"),
         compose({{QStringLiteral("8 processors, no usable GPU"), hardwareImage(true, false, false)}})},
        {QStringLiteral("hardware-metal-dialog"),
         compose({{QStringLiteral("a usable GPU: the switch asks first"), hardwareImage(true, true, true)}})},
        {QStringLiteral("hardware-loaded-model"),
         compose({{QStringLiteral("switched off, the loaded model keeps 12 layers on the GPU"),
                   hardwareImage(true, true, false, {.gpuLayers = 12})},
                  {QStringLiteral("the GPU stopped during a reply"),
                   hardwareImage(true, true, false, {.gpuStopped = true, .gpuLayers = 0})}})},
        {QStringLiteral("hardware-toggle"),
         compose({{QStringLiteral("off"), toggleImage(false, true)},
                  {QStringLiteral("on"), toggleImage(true, true)},
                  {QStringLiteral("off, disabled"), toggleImage(false, false)},
                  {QStringLiteral("on, disabled"), toggleImage(true, false)}})},
        {QStringLiteral("hardware-rig-lines"),
         compose({{QStringLiteral("compact, no GPU"), rigLinesImage(intel, true)},
                  {QStringLiteral("intro size, no GPU"), rigLinesImage(intel, false)},
                  {QStringLiteral("intro size, discrete GPU"), rigLinesImage(discreteGpu(), false)}})},
    };
}

} // namespace cvn::gallery
