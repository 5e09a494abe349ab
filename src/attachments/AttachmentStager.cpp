#include "attachments/AttachmentStager.h"

#include "attachments/AttachmentText.h"
#include "attachments/ImageCheck.h"
#include "attachments/SentAttachments.h"
#include "platform/MainThread.h"
#include "platform/RegularFile.h"

#include <QFile>
#include <QFileDialog>
#include <QPointer>
#include <QStandardPaths>
#include <QStringList>

#include <algorithm>

namespace cvn {

AttachmentStager::AttachmentStager(QObject* parent)
    : QObject(parent)
    , m_reader(&readAttachment)
    , m_onToast([](const QString&, ToastKind) {})
{
}

AttachmentStager::~AttachmentStager()
{
    for (const auto& stop : std::as_const(m_readingStops))
        stop->store(true);
    for (const QString& path : std::as_const(m_pasted))
        QFile::remove(path);
}

void AttachmentStager::setReader(Reader reader)
{
    m_reader = reader ? std::move(reader) : Reader(&readAttachment);
}

void AttachmentStager::setStaged(QList<StagedAttachment> staged)
{
    m_staged = std::move(staged);
    stopLeftReadings();
    emit stagedChanged();
    updateStatus();
}

void AttachmentStager::stopLeftReadings()
{
    const auto isStaged = [this](const QUuid& id) {
        return std::any_of(m_staged.cbegin(), m_staged.cend(), [&id](const StagedAttachment& file) { return file.id == id; });
    };
    for (auto it = m_readingStops.begin(); it != m_readingStops.end();) {
        if (!isStaged(it.key())) {
            it.value()->store(true);
            it = m_readingStops.erase(it);
        } else {
            ++it;
        }
    }
    for (auto it = m_pasted.begin(); it != m_pasted.end();) {
        if (!isStaged(it.key())) {
            QFile::remove(it.value());
            it = m_pasted.erase(it);
        } else {
            ++it;
        }
    }
}

uint64_t AttachmentStager::setOnToast(ToastHandler onToast)
{
    m_onToast = onToast ? std::move(onToast) : [](const QString&, ToastKind) {};
    return ++m_onToastToken;
}

void AttachmentStager::clearOnToast(uint64_t token)
{
    if (token == m_onToastToken)
        setOnToast({});
}

QString AttachmentStager::dialogFilter(bool documents)
{
    QStringList patterns;
    for (const QString& extension : attachmentExtensions(!documents))
        patterns << QStringLiteral("*.") + extension << QStringLiteral("*.") + extension.toUpper();
    return (documents ? QStringLiteral("Documents (") : QStringLiteral("Images (")) + patterns.join(QLatin1Char(' '))
        + QLatin1Char(')');
}

void AttachmentStager::pickFiles(bool documents)
{
    const QStringList folders = QStandardPaths::standardLocations(
        documents ? QStandardPaths::DocumentsLocation : QStandardPaths::PicturesLocation);
    auto* dialog = new QFileDialog(nullptr, QString(), folders.value(0), dialogFilter(documents));
    dialog->setFileMode(QFileDialog::ExistingFiles);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    QPointer<AttachmentStager> self(this);
    // Qt's own panel (no desktop theme) reports only filesSelected;
    // urlsSelected comes from native panels alone. filesSelected comes from
    // both.
    connect(dialog, &QFileDialog::filesSelected, dialog, [self](const QStringList& files) {
        if (!self)
            return;
        for (const QString& file : files)
            self->stage(QUrl::fromLocalFile(file));
    });
    dialog->open();
}

void AttachmentStager::stage(const QUrl& url)
{
    const QString name = url.fileName();
    if (m_staged.size() >= maxFiles) {
        m_onToast(QStringLiteral("Maximum 5 attachments per message"), ToastKind::error);
        return;
    }
    const bool isImage = hasAttachmentExtension(name, true);
    if (!isImage && !hasAttachmentExtension(name, false)) {
        m_onToast(QStringLiteral("Format not supported: ") + name, ToastKind::error);
        return;
    }
    const QString path = url.toLocalFile();
    // A name that leads nowhere would stage a file that can never be read,
    // and the user would learn it only at the send: gone since it was
    // chosen, or a name that reached us decoded into other bytes (one that
    // is not UTF-8).
    if (RegularFile::kindOf(path) == RegularFile::Kind::none) {
        m_onToast(QStringLiteral("Couldn't open file: ") + name, ToastKind::error);
        return;
    }
    // stat() follows links, so a link to a huge file is measured as that file.
    const int64_t size = RegularFile::sizeOf(path).value_or(0);
    if (size > maxAttachmentBytes) {
        m_onToast(QStringLiteral("File too large: %1 (%2 MB, max 50 MB)").arg(name).arg(size / 1'048'576),
                  ToastKind::error);
        return;
    }
    StagedAttachment file;
    file.id = QUuid::createUuid();
    file.url = url;
    file.originalFilename = name;
    file.isImage = isImage;
    file.sizeBytes = size;
    m_staged.append(file);
    emit stagedChanged();
    startExtraction(file);
}

void AttachmentStager::stagePasted(const QUrl& url)
{
    const qsizetype before = m_staged.size();
    stage(url);
    if (m_staged.size() == before) {
        // Refused, and said why: nothing else will ever read the file.
        QFile::remove(url.toLocalFile());
        return;
    }
    m_pasted.insert(m_staged.last().id, url.toLocalFile());
}

void AttachmentStager::startExtraction(const StagedAttachment& file)
{
    updateStatus();
    QPointer<AttachmentStager> self(this);
    auto stopped = std::make_shared<std::atomic<bool>>(false);
    m_readingStops.insert(file.id, stopped);
    runInBackground([self, reader = m_reader, stopped, id = file.id, path = file.url.toLocalFile(),
                     isImage = file.isImage] {
        // The reading time counts from here, not from the staging: the pool
        // may hold the work back behind other files.
        const AttachmentReading reading = reader(path, isImage, readingDeadline(stopped));
        runOnMain([self, id, reading] {
            if (self)
                self->finishExtraction(id, reading);
        });
    });
}

void AttachmentStager::finishExtraction(const QUuid& id, const AttachmentReading& reading)
{
    m_readingStops.remove(id);
    for (StagedAttachment& file : m_staged) {
        if (file.id == id && reading.refusal) {
            // Refused here, before a message could keep it: an image that
            // cannot be decoded would fail every later reply of its chat.
            m_onToast(*reading.refusal, ToastKind::error);
            remove(id);
            return;
        }
        if (file.id == id) {
            file.extractedText = reading.text.value_or(QString());
            file.extracted = true;
            file.approxTokens = reading.approxTokens;
            emit stagedChanged();
            break;
        }
    }
    updateStatus();
}

void AttachmentStager::updateStatus()
{
    // Derived from the list rather than cleared by the first result, so it
    // stays while any file is unread and clears when a reading file is
    // removed.
    const bool reading = std::any_of(m_staged.cbegin(), m_staged.cend(),
                                     [](const StagedAttachment& file) { return !file.extracted; });
    std::optional<QString> status;
    if (reading)
        status = QStringLiteral("Reading attachment...");
    if (status != m_status) {
        m_status = status;
        emit statusChanged();
    }
}

void AttachmentStager::remove(const QUuid& id)
{
    const auto removed = m_staged.removeIf([&id](const StagedAttachment& file) { return file.id == id; });
    if (removed == 0)
        return;
    stopLeftReadings();
    emit stagedChanged();
    updateStatus();
}

std::optional<QByteArray> AttachmentStager::imageBytes(const StagedAttachment& file) const
{
    std::optional<QByteArray> bytes = readAttachmentFile(file.url.toLocalFile());
    if (!bytes || file.extracted)
        return bytes;
    if (const std::optional<QString> refusal = imageRefusal(*bytes, file.originalFilename)) {
        m_onToast(*refusal, ToastKind::error);
        return std::nullopt;
    }
    return bytes;
}

void AttachmentStager::setImagePositions(int64_t positions)
{
    positions = std::max<int64_t>(0, positions);
    if (positions == m_imagePositions)
        return;
    m_imagePositions = positions;
    emit stagedChanged(); // the strip's total
}

int64_t AttachmentStager::totalApproxTokens() const
{
    int64_t total = 0;
    for (const StagedAttachment& file : m_staged)
        total += file.approxTokens + (file.isImage ? m_imagePositions : 0);
    return total;
}

std::optional<QString> AttachmentStager::composePrompt(const QString& text, int64_t contextTokens,
                                                       const QList<QUuid>& shownAsImages) const
{
    return cvn::composePrompt(m_staged, text, contextTokens, m_onToast, shownAsImages);
}

} // namespace cvn
