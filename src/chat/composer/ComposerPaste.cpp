#include "chat/composer/Composer.h"

#include "platform/ImageSignature.h"
#include "platform/MainThread.h"

#include <QBuffer>

#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QImageReader>
#include <QMimeData>
#include <QMutex>
#include <QPointer>
#include <QSaveFile>
#include <QStandardPaths>

// A paste or drop of files or image data on the composer's editor: staged
// as attachments, never inserted as text.

namespace cvn {

namespace {

QList<QUrl> localFiles(const QMimeData* source)
{
    QList<QUrl> files;
    if (!source || !source->hasUrls())
        return files;
    for (const QUrl& url : source->urls()) {
        if (url.isLocalFile() && QFileInfo(url.toLocalFile()).isFile())
            files.append(url);
    }
    return files;
}

// The clipboard's picture, decoded only from a kind the program takes: Qt
// would decode whatever the copying program offers, an SVG among them,
// which opens the local files it names. Image data put on the clipboard by
// this process is a picture already and is taken as it is. A null image,
// with `why` saying so, when there is no picture to take.
QImage pastedImage(const QMimeData* source, QString* why)
{
    bool offersOthers = false;
    for (const QString& type : source->formats()) {
        if (!type.startsWith(QLatin1String("image/")))
            continue;
        QByteArray bytes = source->data(type);
        const QByteArray format = ImageSignature::formatOf(bytes);
        if (format.isEmpty()) {
            offersOthers = true;
            continue;
        }
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::ReadOnly);
        QImageReader reader(&buffer, format);
        reader.setAutoDetectImageFormat(false);
        if (const QImage image = reader.read(); !image.isNull())
            return image;
    }
    if (offersOthers) {
        *why = QStringLiteral("it is not a %1 image.").arg(ImageSignature::kindsText());
        return {};
    }
    const QImage image = qvariant_cast<QImage>(source->imageData());
    if (image.isNull())
        *why = QStringLiteral("the clipboard's picture cannot be read.");
    return image;
}

QString pasteRefusal(const QString& reason)
{
    return QStringLiteral("Couldn't keep the pasted image: ") + reason;
}

} // namespace

QString Composer::pasteFolder() const
{
    if (!m_pasteFolder.isEmpty())
        return m_pasteFolder;
    return QStandardPaths::writableLocation(QStandardPaths::CacheLocation) + QStringLiteral("/pasted");
}

bool Composer::takeAttachments(const QMimeData* source, bool dryRun)
{
    if (!onStageFiles)
        return false;
    const QList<QUrl> files = localFiles(source);
    // A browser's copied picture also carries its web address: only files
    // on this computer are taken as files.
    if (!files.isEmpty()) {
        if (!dryRun)
            onStageFiles(files);
        return true;
    }
    if (!source || !source->hasImage())
        return false;
    if (dryRun)
        return true;
    QString why;
    const QImage image = pastedImage(source, &why);
    if (image.isNull()) {
        // Text that came with the picture is still pasted as text.
        if (source->hasText())
            return false;
        if (onPasteFailed)
            onPasteFailed(pasteRefusal(why));
        return true;
    }
    // Encoding a screen-sized PNG takes a good part of a second: off the
    // main thread, then staged back on it while the composer lives.
    QPointer<Composer> self(this);
    const QString folder = pasteFolder();
    runInBackground([self, image, folder] {
        QString error;
        const std::optional<QString> path = writePastedImage(image, folder, &error);
        runOnMain([self, path, error] {
            if (!self)
                return;
            if (path && self->onStagePasted)
                self->onStagePasted(QUrl::fromLocalFile(*path));
            else if (path && self->onStageFiles)
                self->onStageFiles({QUrl::fromLocalFile(*path)});
            else if (!path && self->onPasteFailed)
                self->onPasteFailed(error);
        });
    });
    return true;
}

std::optional<QString> Composer::writePastedImage(const QImage& image, const QString& folder, QString* error)
{
    const auto fail = [error](const QString& reason) -> std::optional<QString> {
        if (error)
            *error = pasteRefusal(reason);
        return std::nullopt;
    };
    if (image.isNull())
        return fail(QStringLiteral("the clipboard holds no picture."));
    QDir dir(folder);
    if (!dir.mkpath(QStringLiteral(".")))
        return fail(QStringLiteral("cannot create ") + QDir::toNativeSeparators(folder) + u'.');
    // Every paste keeps a file of its own: a staged image must not change
    // under the message it waits for.
    static QMutex naming;
    const QMutexLocker lock(&naming);
    QString path;
    for (int n = 1; path.isEmpty() || QFileInfo::exists(path); ++n) {
        path = dir.filePath(n == 1 ? QStringLiteral("Pasted image.png") : QStringLiteral("Pasted image %1.png").arg(n));
        if (n > 100000)
            return fail(QStringLiteral("too many pasted images in ") + QDir::toNativeSeparators(folder) + u'.');
    }
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !image.save(&file, "PNG") || !file.commit())
        return fail(file.errorString() + u'.');
    return path;
}

} // namespace cvn
