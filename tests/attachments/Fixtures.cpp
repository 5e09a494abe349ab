#include "Fixtures.h"

#include "support/TempEnv.h"

#include <QBuffer>
#include <QFile>
#include <QPainter>

#include <zlib.h>

namespace cvn::test {

namespace {

void putU16(QByteArray& out, uint32_t v)
{
    out.append(char(v & 0xFF));
    out.append(char((v >> 8) & 0xFF));
}

void putU32(QByteArray& out, uint32_t v)
{
    putU16(out, v & 0xFFFF);
    putU16(out, v >> 16);
}

} // namespace

QByteArray rawDeflate(const QByteArray& data)
{
    z_stream stream {};
    deflateInit2(&stream, Z_BEST_COMPRESSION, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    QByteArray out(qsizetype(deflateBound(&stream, uLong(data.size()))), Qt::Uninitialized);
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.constData()));
    stream.avail_in = uInt(data.size());
    stream.next_out = reinterpret_cast<Bytef*>(out.data());
    stream.avail_out = uInt(out.size());
    deflate(&stream, Z_FINISH);
    out.truncate(qsizetype(stream.total_out));
    deflateEnd(&stream);
    return out;
}

QByteArray zipArchive(const QList<ZipEntry>& entries, const ZipOptions& options)
{
    QByteArray out;
    QByteArray directory;
    for (const ZipEntry& entry : entries) {
        const QByteArray name = entry.name.toUtf8();
        const QByteArray body = entry.payload ? *entry.payload : entry.method == 8 ? rawDeflate(entry.data) : entry.data;
        const uint32_t crc = uint32_t(crc32(0, reinterpret_cast<const Bytef*>(entry.data.constData()), uInt(entry.data.size())));
        const uint32_t size = entry.declaredSize.value_or(uint32_t(entry.data.size()));
        const uint16_t flags = entry.dataDescriptor ? 0x08 : 0;
        const auto offset = uint32_t(out.size());

        putU32(out, 0x04034B50);
        putU16(out, 20);
        putU16(out, flags);
        putU16(out, entry.method);
        putU32(out, 0); // time, date
        putU32(out, entry.dataDescriptor ? 0 : crc);
        putU32(out, entry.dataDescriptor ? 0 : uint32_t(body.size()));
        putU32(out, entry.dataDescriptor ? 0 : size);
        putU16(out, uint16_t(name.size()));
        putU16(out, 0);
        out += name + body;
        if (entry.dataDescriptor) {
            putU32(out, 0x08074B50);
            putU32(out, crc);
            putU32(out, uint32_t(body.size()));
            putU32(out, size);
        }

        putU32(directory, 0x02014B50);
        putU16(directory, 20);
        putU16(directory, 20);
        putU16(directory, flags);
        putU16(directory, entry.method);
        putU32(directory, 0);
        putU32(directory, crc);
        putU32(directory, uint32_t(body.size()));
        putU32(directory, size);
        putU16(directory, uint16_t(name.size()));
        putU16(directory, 0); // extra
        putU16(directory, 0); // comment
        putU16(directory, 0); // disk
        putU16(directory, 0); // internal attributes
        putU32(directory, 0); // external attributes
        putU32(directory, offset);
        directory += name;
    }
    const auto directoryOffset = uint32_t(out.size());
    out += directory;
    putU32(out, 0x06054B50);
    putU16(out, 0);
    putU16(out, 0);
    putU16(out, uint16_t(entries.size()));
    putU16(out, options.entryCount.value_or(uint16_t(entries.size())));
    putU32(out, uint32_t(directory.size()));
    putU32(out, options.directoryOffset.value_or(directoryOffset));
    putU16(out, uint16_t(options.comment.size()));
    out += options.comment + options.trailing;
    return out;
}

QByteArray docxWithParagraphs(const QStringList& paragraphs)
{
    QByteArray xml = "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>"
                     "<w:document xmlns:w=\"http://schemas.openxmlformats.org/wordprocessingml/2006/main\"><w:body>";
    for (const QString& paragraph : paragraphs)
        xml += "<w:p><w:r><w:t xml:space=\"preserve\">" + paragraph.toHtmlEscaped().toUtf8() + "</w:t></w:r></w:p>";
    xml += "</w:body></w:document>";
    return zipArchive({
        {QStringLiteral("[Content_Types].xml"), QByteArray("<Types/>")},
        {QStringLiteral("word/document.xml"), xml},
    });
}

namespace {

// Numbered objects, a cross-reference table and a trailer; object 1 is the
// catalog.
QByteArray pdfOfObjects(const QList<QByteArray>& objects)
{
    QByteArray out = "%PDF-1.4\n";
    QList<qsizetype> offsets;
    for (qsizetype i = 0; i < objects.size(); ++i) {
        offsets << out.size();
        out += QByteArray::number(i + 1) + " 0 obj\n" + objects[i] + "\nendobj\n";
    }
    const qsizetype xref = out.size();
    out += "xref\n0 " + QByteArray::number(objects.size() + 1) + "\n0000000000 65535 f \n";
    for (qsizetype offset : offsets)
        out += QByteArray::number(offset).rightJustified(10, '0') + " 00000 n \n";
    out += "trailer\n<< /Size " + QByteArray::number(objects.size() + 1) + " /Root 1 0 R >>\nstartxref\n"
        + QByteArray::number(xref) + "\n%%EOF\n";
    return out;
}

} // namespace

QByteArray pdfSharingContent(int pages, const QByteArray& content)
{
    // Objects: 1 catalog, 2 page tree, 3 font, 4 the content stream, then
    // the pages.
    QList<QByteArray> objects;
    objects << "<< /Type /Catalog /Pages 2 0 R >>";
    QByteArray kids;
    for (int i = 0; i < pages; ++i)
        kids += QByteArray::number(5 + i) + " 0 R ";
    objects << "<< /Type /Pages /Kids [" + kids + "] /Count " + QByteArray::number(pages) + " >>";
    objects << "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>";
    QByteArray packed(qsizetype(compressBound(uLong(content.size()))), Qt::Uninitialized);
    auto packedSize = uLongf(packed.size());
    compress2(reinterpret_cast<Bytef*>(packed.data()), &packedSize, reinterpret_cast<const Bytef*>(content.constData()),
              uLong(content.size()), Z_BEST_COMPRESSION);
    packed.truncate(qsizetype(packedSize));
    objects << "<< /Length " + QByteArray::number(packed.size()) + " /Filter /FlateDecode >>\nstream\n" + packed
            + "\nendstream";
    for (int i = 0; i < pages; ++i)
        objects << "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 3 0 R >> >> "
                   "/Contents 4 0 R >>";
    return pdfOfObjects(objects);
}

QByteArray pdfWithPages(const QList<QStringList>& pages)
{
    // Objects: 1 catalog, 2 page tree, 3 font, then a page and its content
    // stream for each page.
    QList<QByteArray> objects;
    objects << "<< /Type /Catalog /Pages 2 0 R >>";
    QByteArray kids;
    for (qsizetype i = 0; i < pages.size(); ++i)
        kids += QByteArray::number(4 + 2 * i) + " 0 R ";
    objects << "<< /Type /Pages /Kids [" + kids + "] /Count " + QByteArray::number(pages.size()) + " >>";
    objects << "<< /Type /Font /Subtype /Type1 /BaseFont /Helvetica /Encoding /WinAnsiEncoding >>";
    for (qsizetype i = 0; i < pages.size(); ++i) {
        QByteArray content;
        if (pages[i].isEmpty()) {
            content = "0 0 1 rg 100 100 200 200 re f";
        } else {
            content = "BT /F1 12 Tf 14 TL 40 780 Td";
            for (const QString& line : pages[i]) {
                QByteArray escaped = line.toLatin1();
                escaped.replace('\\', "\\\\").replace('(', "\\(").replace(')', "\\)");
                content += " (" + escaped + ") Tj T*";
            }
            content += " ET";
        }
        objects << "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 612 792] /Resources << /Font << /F1 3 0 R >> >> "
                   "/Contents "
                + QByteArray::number(5 + 2 * i) + " 0 R >>";
        objects << "<< /Length " + QByteArray::number(content.size()) + " >>\nstream\n" + content + "\nendstream";
    }
    return pdfOfObjects(objects);
}

QImage pictureWithText(const QStringList& lines)
{
    QImage image(800, 200, QImage::Format_RGB32);
    image.fill(Qt::white);
    QPainter painter(&image);
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPixelSize(40);
    painter.setFont(font);
    painter.setPen(Qt::black);
    for (qsizetype i = 0; i < lines.size(); ++i)
        painter.drawText(40, 70 + int(i) * 70, lines[i]);
    return image;
}

QByteArray jpegWithOrientation(const QImage& image, uint16_t orientation)
{
    QByteArray jpeg;
    QBuffer buffer(&jpeg);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 95);
    // A little-endian TIFF block with one IFD entry: 0x0112, SHORT, 1 value.
    QByteArray exif("Exif\0\0II*\0", 10);
    putU32(exif, 8);
    putU16(exif, 1);
    putU16(exif, 0x0112);
    putU16(exif, 3);
    putU32(exif, 1);
    putU16(exif, orientation);
    putU16(exif, 0);
    putU32(exif, 0); // no next IFD
    QByteArray segment("\xFF\xE1");
    segment.append(char((exif.size() + 2) >> 8));
    segment.append(char((exif.size() + 2) & 0xFF));
    segment += exif;
    return jpeg.left(2) + segment + jpeg.mid(2);
}

QString writeTempFile(const QString& name, const QByteArray& bytes)
{
    const QString path = makeTempFolder() + QLatin1Char('/') + name;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return QString();
    return path;
}

QString sparseFile(const QString& name, int64_t size, const QString& folder)
{
    QFile file((folder.isEmpty() ? makeTempFolder() : folder) + QLatin1Char('/') + name);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(size))
        return QString();
    return file.fileName();
}

} // namespace cvn::test
