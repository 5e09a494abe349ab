#include "AttachmentGallery.h"

#include "attachments/AttachmentStager.h"
#include "attachments/views/AttachmentTile.h"
#include "attachments/views/StagedStrip.h"

#include <QDir>
#include <QLinearGradient>
#include <QPainter>
#include <QTemporaryDir>

namespace cvn::gallery {

namespace {

constexpr int kMargin = 16;
constexpr int kCaption = 22;

StagedAttachment file(const QString& name, int64_t size, int64_t tokens, const QString& path = {})
{
    StagedAttachment item;
    item.id = QUuid::createUuid();
    item.url = QUrl::fromLocalFile(path.isEmpty() ? QStringLiteral("/gallery/") + name : path);
    item.originalFilename = name;
    item.isImage = !path.isEmpty();
    item.sizeBytes = size;
    item.extracted = true;
    item.approxTokens = tokens;
    return item;
}

// A picture to stage: a gradient, so stretching and corners show.
QString samplePicture(const QTemporaryDir& folder)
{
    QImage image(320, 200, QImage::Format_RGB32);
    QPainter painter(&image);
    QLinearGradient gradient(0, 0, 320, 200);
    gradient.setColorAt(0, QColor(0x3A, 0x7B, 0xD5));
    gradient.setColorAt(1, QColor(0xF2, 0xA6, 0x5A));
    painter.fillRect(image.rect(), gradient);
    painter.end();
    const QString path = QDir(folder.path()).filePath(QStringLiteral("photo.png"));
    image.save(path);
    return path;
}

// A pasted screenshot, wide and tall in turn with a ring in its middle:
// the tile shows the middle square, the ring round, not squashed.
QString pastedPicture(const QTemporaryDir& folder)
{
    QImage image(480, 270, QImage::Format_RGB32);
    image.fill(QColor(0xEE, 0xEE, 0xF2));
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.fillRect(QRect(0, 0, 480, 40), QColor(0x29, 0x29, 0x2A));
    painter.setPen(QPen(QColor(0xB3, 0x20, 0x2B), 14));
    painter.drawEllipse(QPoint(240, 150), 80, 80);
    painter.end();
    const QString path = QDir(folder.path()).filePath(QStringLiteral("Pasted image.png"));
    image.save(path);
    return path;
}

QImage attachmentsSheet()
{
    QTemporaryDir folder;
    AttachmentStager stager;
    stager.setStaged({
        file(QStringLiteral("photo.png"), 48000, 12000, samplePicture(folder)),
        file(QStringLiteral("Pasted image.png"), 61000, 300, pastedPicture(folder)),
        file(QStringLiteral("report.pdf"), 2048, 11000),
        file(QStringLiteral("notes.txt"), 900, 1200),
        file(QStringLiteral("thesis.docx"), 5 * 1048576, 19000),
        file(QStringLiteral("README"), 0, 40),
    });
    QWidget host;
    host.setAttribute(Qt::WA_DontShowOnScreen);
    auto* strip = new StagedStrip(&stager, 20000, &host);
    auto* status = new StatusLine(QStringLiteral("Reading attachment..."), &host);
    QList<SentAttachments::File> three = {{QStringLiteral("report.pdf")}, {QStringLiteral("notes")},
                                          {QStringLiteral("scan.webp")}};
    QList<SentAttachments::File> eight;
    for (int i = 0; i < 8; ++i)
        eight.append({QStringLiteral("part%1.md").arg(i)});
    auto* sentThree = new SentAttachmentRow(three, &host);
    auto* sentEight = new SentAttachmentRow(eight, &host);

    const QList<QPair<QString, QWidget*>> rows = {
        {QStringLiteral("StagedStrip, context 20,000: picture over half, amber, grey, red, no size; header red"), strip},
        {QStringLiteral("StatusLine"), status},
        {QStringLiteral("SentAttachmentRow: three files"), sentThree},
        {QStringLiteral("SentAttachmentRow: eight files scroll in 523"), sentEight},
    };
    int y = kMargin;
    for (const auto& row : rows) {
        y += kCaption;
        const int height = row.second->sizeHint().height();
        const int width = row.second == status ? StagedStrip::stripWidth : row.second->sizeHint().width();
        row.second->setGeometry(kMargin, y, width, height);
        y += height + kMargin;
    }
    host.resize(StagedStrip::stripWidth + 2 * kMargin, y);
    host.show();
    settle();

    QImage sheet(host.size(), QImage::Format_ARGB32_Premultiplied);
    sheet.fill(Theme::pageBackground());
    host.render(&sheet, QPoint(), QRegion(), QWidget::DrawChildren);
    QPainter p(&sheet);
    p.setFont(Theme::interRegular13());
    p.setPen(Theme::secondaryText());
    for (const auto& row : rows)
        p.drawText(QPointF(kMargin, row.second->y() - 8), row.first);
    return sheet;
}

} // namespace

QList<Sheet> attachmentSheets()
{
    return {{QStringLiteral("attachment-views"), attachmentsSheet()}};
}

} // namespace cvn::gallery
