#include "storage/ChatArchive.h"

#include "engine/Turn.h"
#include "platform/ImageSignature.h"
#include "platform/Unicode.h"

#include <limits>
#include <QDateTime>
#include <QJsonArray>
#include <QLocale>
#include <QStringList>

#include <sqlite3.h>

namespace cvn::ChatArchive {

namespace {

using Value = ChatDatabase::Value;

// The extensions the composer attaches as images; every other attachment is
// a document.
bool isImageName(const QString& name)
{
    static const QStringList images = {QStringLiteral("png"), QStringLiteral("jpg"), QStringLiteral("jpeg"),
                                       QStringLiteral("webp")};
    const qsizetype dot = name.lastIndexOf(QLatin1Char('.'));
    return dot >= 0 && images.contains(name.sliced(dot + 1).toLower());
}

QJsonValue orNull(const std::optional<QString>& text)
{
    return text ? QJsonValue(*text) : QJsonValue(QJsonValue::Null);
}

QJsonValue orNull(const std::optional<int64_t>& number)
{
    return number ? QJsonValue(qint64(*number)) : QJsonValue(QJsonValue::Null);
}

// Reads the fields of one JSON object, remembering the first fault as the
// sentence the user is shown.
class Fields {
public:
    Fields(const QJsonObject& object, QString where) : m_object(object), m_where(std::move(where)) {}

    bool ok() const { return m_error.isEmpty(); }
    const QString& error() const { return m_error; }

    QJsonValue field(const QString& key, QJsonValue::Type type, const char* typeName, bool nullable = false)
    {
        if (!ok())
            return {};
        const auto it = m_object.constFind(key);
        if (it == m_object.constEnd())
            return fail(QStringLiteral("missing field \"%1\"").arg(key));
        if (it->type() == type || (nullable && it->isNull()))
            return *it;
        return fail(QStringLiteral("field \"%1\" is not %2").arg(key, QLatin1String(typeName)));
    }
    QString text(const QString& key) { return field(key, QJsonValue::String, "a text").toString(); }
    std::optional<QString> textOrNull(const QString& key)
    {
        const QJsonValue value = field(key, QJsonValue::String, "a text or null", true);
        return value.isString() ? std::optional(value.toString()) : std::nullopt;
    }
    bool flag(const QString& key) { return field(key, QJsonValue::Bool, "true or false").toBool(); }
    std::optional<int64_t> integerOrNull(const QString& key, bool nullable = true)
    {
        const QJsonValue value =
            field(key, QJsonValue::Double, nullable ? "a whole number or null" : "a whole number", nullable);
        if (!value.isDouble())
            return std::nullopt;
        // Whole numbers only; Qt keeps those it read as integers exact,
        // whatever their size.
        const qint64 number = value.toInteger(std::numeric_limits<qint64>::min());
        if (number == std::numeric_limits<qint64>::min() && value.toDouble() != double(number)) {
            fail(QStringLiteral("field \"%1\" is not a whole number").arg(key));
            return std::nullopt;
        }
        return int64_t(number);
    }
    int64_t integer(const QString& key) { return integerOrNull(key, false).value_or(0); }
    QJsonArray array(const QString& key) { return field(key, QJsonValue::Array, "a list").toArray(); }

    QJsonValue fail(const QString& why)
    {
        if (ok())
            m_error = m_where.isEmpty() ? why : m_where + QStringLiteral(": ") + why;
        return {};
    }

private:
    const QJsonObject& m_object;
    QString m_where;
    QString m_error;
};

// The message's text as stored: its attachment blocks in front of it.
QString storedContent(const Message& message)
{
    QList<AttachmentBlocks::Block> blocks;
    for (const Attachment& file : message.attachments)
        blocks.append({file.name, file.text, file.truncated});
    return AttachmentBlocks::join(blocks, message.text);
}

// Written for bytes of no kind the program takes, as images stored before
// their kind was checked may be.
QString dataUri(const QByteArray& bytes)
{
    const QString type = ImageSignature::mimeTypeOf(bytes);
    return QStringLiteral("data:") + (type.isEmpty() ? QStringLiteral("application/octet-stream") : type)
           + QStringLiteral(";base64,") + QString::fromLatin1(bytes.toBase64());
}

// Why a file's image cannot come in, naming it and its chat; empty when it
// can. Only a kind the program decodes is taken, as a chat that keeps
// another would fail at every reply to it (and Qt would read an SVG, which
// opens the local files it names); and no image larger than the composer
// attaches.
QString refusedImage(const QByteArray& bytes, const QString& name, const QString& title)
{
    const QString which = QStringLiteral("\"%1\" of the chat \"%2\"").arg(name, title);
    if (bytes.size() > largestImageBytes)
        return which + QStringLiteral(" is larger than %1 MB, the most an attachment may be")
                           .arg(largestImageBytes / 1'048'576);
    if (ImageSignature::formatOf(bytes).isEmpty())
        return which + QStringLiteral(" is not a %1 image").arg(ImageSignature::kindsText());
    return {};
}

// The bytes of a base64 data URI, whatever type it names; nothing for
// anything else (another scheme, no base64, a payload that does not decode).
std::optional<QByteArray> fromDataUri(const QString& uri)
{
    const qsizetype comma = uri.indexOf(QLatin1Char(','));
    if (!uri.startsWith(QLatin1String("data:"), Qt::CaseInsensitive) || comma < 0
        || !QStringView(uri).first(comma).endsWith(QLatin1String(";base64"), Qt::CaseInsensitive))
        return std::nullopt;
    // A character past ASCII becomes a byte (or '?') that base64 refuses.
    QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        QStringView(uri).sliced(comma + 1).toLatin1(), QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded)
        return std::nullopt;
    return std::move(decoded.decoded);
}

std::optional<QString> readTextOrNull(sqlite3_stmt* s, int column)
{
    return ChatDatabase::isNull(s, column) ? std::nullopt : std::optional(ChatDatabase::textColumn(s, column));
}

std::optional<int64_t> readIntegerOrNull(sqlite3_stmt* s, int column)
{
    return ChatDatabase::isNull(s, column) ? std::nullopt
                                           : std::optional(ChatDatabase::integerColumn(s, column));
}

QString timeText(int64_t seconds, const QTimeZone& zone)
{
    return QDateTime::fromSecsSinceEpoch(seconds, zone).toString(QStringLiteral("yyyy-MM-dd HH:mm"));
}

} // namespace

QJsonObject toJson(const Chat& chat)
{
    QJsonArray messages;
    bool withImages = false;
    for (const Message& message : chat.messages) {
        QJsonArray attachments;
        for (const Attachment& file : message.attachments) {
            attachments.append(QJsonObject {{QStringLiteral("name"), file.name},
                                            {QStringLiteral("kind"), file.kind},
                                            {QStringLiteral("text"), file.text},
                                            {QStringLiteral("truncated"), file.truncated}});
        }
        QJsonObject object {
            {QStringLiteral("role"), message.role},
            {QStringLiteral("text"), message.text},
            {QStringLiteral("createdAt"), qint64(message.createdAt)},
            {QStringLiteral("model"), orNull(message.model)},
            {QStringLiteral("reasoning"), orNull(message.reasoning)},
            {QStringLiteral("reasoningDurationMs"), orNull(message.reasoningDurationMs)},
            {QStringLiteral("attachments"), attachments},
        };
        if (!message.images.isEmpty()) {
            QJsonArray images;
            for (const ChatImage& image : message.images)
                images.append(QJsonObject {{QStringLiteral("name"), image.name},
                                           {QStringLiteral("data"), dataUri(image.data)}});
            object.insert(QStringLiteral("images"), images);
            withImages = true;
        }
        messages.append(object);
    }
    return QJsonObject {
        {QStringLiteral("format"), formatName},
        {QStringLiteral("version"), withImages ? formatVersion : 1},
        {QStringLiteral("title"), chat.title},
        {QStringLiteral("pinned"), chat.pinned},
        {QStringLiteral("council"), chat.council},
        {QStringLiteral("councilOn"), chat.councilOn},
        {QStringLiteral("createdAt"), qint64(chat.createdAt)},
        {QStringLiteral("updatedAt"), orNull(chat.updatedAt)},
        {QStringLiteral("model"), orNull(chat.model)},
        {QStringLiteral("instructions"), orNull(chat.instructions)},
        {QStringLiteral("messages"), messages},
    };
}

std::optional<Chat> fromJson(const QJsonObject& object, QString* error)
{
    Fields fields(object, {});
    if (fields.text(QStringLiteral("format")) != formatName && fields.ok())
        fields.fail(QStringLiteral("not a Corvanthelis chat (\"format\" is not \"%1\")").arg(formatName));
    const int64_t version = fields.integer(QStringLiteral("version"));
    if (fields.ok() && version > formatVersion) {
        fields.fail(QStringLiteral("version %1 is newer than this program reads (%2); update Corvanthelis first")
                        .arg(version)
                        .arg(formatVersion));
    } else if (fields.ok() && version < 1) {
        fields.fail(QStringLiteral("version %1 is not a version of the format").arg(version));
    }
    Chat chat;
    chat.title = fields.text(QStringLiteral("title"));
    chat.pinned = fields.flag(QStringLiteral("pinned"));
    chat.council = fields.flag(QStringLiteral("council"));
    chat.councilOn = fields.flag(QStringLiteral("councilOn"));
    chat.createdAt = fields.integer(QStringLiteral("createdAt"));
    chat.updatedAt = fields.integerOrNull(QStringLiteral("updatedAt"));
    chat.model = fields.textOrNull(QStringLiteral("model"));
    // Files written before chats had instructions lack the field.
    if (object.contains(QStringLiteral("instructions")))
        chat.instructions = fields.textOrNull(QStringLiteral("instructions"));
    // Counting characters walks the whole text: only a text with more code
    // units than the limit can be over it.
    if (chat.instructions && chat.instructions->size() > longestInstructions
        && GraphemeIndex(*chat.instructions).size() > longestInstructions) {
        fields.fail(QStringLiteral("field \"instructions\" is longer than %1 characters")
                        .arg(QLocale(QLocale::English).toString(longestInstructions)));
    }
    const QJsonArray messages = fields.array(QStringLiteral("messages"));
    for (qsizetype i = 0; fields.ok() && i < messages.size(); ++i) {
        const QString where = QStringLiteral("message %1").arg(i + 1);
        if (!messages[i].isObject()) {
            fields.fail(where + QStringLiteral(" is not an object"));
            break;
        }
        const QJsonObject item = messages[i].toObject();
        Fields m(item, where);
        Message message;
        message.role = m.text(QStringLiteral("role"));
        if (m.ok() && message.role != QLatin1String("user") && message.role != QLatin1String("assistant"))
            m.fail(QStringLiteral("field \"role\" is neither \"user\" nor \"assistant\""));
        message.text = m.text(QStringLiteral("text"));
        message.createdAt = m.integer(QStringLiteral("createdAt"));
        message.model = m.textOrNull(QStringLiteral("model"));
        message.reasoning = m.textOrNull(QStringLiteral("reasoning"));
        message.reasoningDurationMs = m.integerOrNull(QStringLiteral("reasoningDurationMs"));
        const QJsonArray files = m.array(QStringLiteral("attachments"));
        for (qsizetype j = 0; m.ok() && j < files.size(); ++j) {
            const QString fileWhere = QStringLiteral("attachment %1").arg(j + 1);
            if (!files[j].isObject()) {
                m.fail(fileWhere + QStringLiteral(" is not an object"));
                break;
            }
            const QJsonObject fileObject = files[j].toObject();
            Fields f(fileObject, fileWhere);
            Attachment file;
            file.name = f.text(QStringLiteral("name"));
            file.kind = f.text(QStringLiteral("kind"));
            file.text = f.text(QStringLiteral("text"));
            file.truncated = f.flag(QStringLiteral("truncated"));
            if (!f.ok())
                m.fail(f.error());
            message.attachments.append(std::move(file));
        }
        // Files written before images were kept have none.
        const QJsonArray images =
            item.contains(QStringLiteral("images")) ? m.array(QStringLiteral("images")) : QJsonArray();
        for (qsizetype j = 0; m.ok() && j < images.size(); ++j) {
            const QString imageWhere = QStringLiteral("image %1").arg(j + 1);
            if (!images[j].isObject()) {
                m.fail(imageWhere + QStringLiteral(" is not an object"));
                break;
            }
            const QJsonObject imageObject = images[j].toObject();
            Fields f(imageObject, imageWhere);
            ChatImage image;
            image.name = f.text(QStringLiteral("name"));
            const QString data = f.text(QStringLiteral("data"));
            if (f.ok()) {
                std::optional<QByteArray> bytes = fromDataUri(data);
                if (!bytes)
                    f.fail(QStringLiteral("field \"data\" is not a base64 data URI"));
                else if (const QString why = refusedImage(*bytes, image.name, chat.title); !why.isEmpty())
                    f.fail(why);
                else
                    image.data = std::move(*bytes);
            }
            if (!f.ok())
                m.fail(f.error());
            message.images.append(std::move(image));
        }
        if (!m.ok()) {
            fields.fail(m.error());
            break;
        }
        chat.messages.append(std::move(message));
    }
    if (!fields.ok()) {
        if (error)
            *error = fields.error();
        return std::nullopt;
    }
    return chat;
}

QString markdown(const Chat& chat, const QTimeZone& zone)
{
    QString out = QStringLiteral("# ") + chat.title + QStringLiteral("\n\nCreated ")
                  + timeText(chat.createdAt, zone) + QStringLiteral("\n");
    for (const Message& message : chat.messages) {
        const bool user = message.role == QLatin1String("user");
        // A reply names its model only where it was stored with the name (a
        // council member's); the chat's model is an id, and may not be the
        // one that wrote an older reply.
        QString author = user ? QStringLiteral("You") : message.model.value_or(QString());
        if (author.isEmpty())
            author = QStringLiteral("Assistant");
        out += QStringLiteral("\n---\n\n**") + author + QStringLiteral("** · ") + timeText(message.createdAt, zone)
               + QStringLiteral("\n\n");
        if (message.reasoning) {
            Turn timing;
            timing.reasoningDurationMs = message.reasoningDurationMs;
            const QString summary = message.reasoningDurationMs ? timing.reasoningLabel() : QStringLiteral("Reasoning");
            out += QStringLiteral("<details>\n<summary>") + summary + QStringLiteral("</summary>\n\n")
                   + *message.reasoning + QStringLiteral("\n\n</details>\n\n");
        }
        out += message.text;
        if (!out.endsWith(QLatin1Char('\n')))
            out += QLatin1Char('\n');
        if (!message.attachments.isEmpty()) {
            out += QStringLiteral("\nAttachments:\n\n");
            for (const Attachment& file : message.attachments)
                out += QStringLiteral("- ") + file.name + QLatin1Char('\n');
        }
        if (!message.images.isEmpty()) {
            out += QStringLiteral("\nImages:\n\n");
            for (const ChatImage& image : message.images)
                out += QStringLiteral("- ") + image.name + QLatin1Char('\n');
        }
    }
    return out;
}

std::optional<QList<Key>> chatKeys(ChatDatabase& db)
{
    const ChatDatabase::Statement s =
        db.prepare(QStringLiteral("SELECT id, ifnull(CAST(created_at AS INTEGER), 0) FROM chats ORDER BY id"));
    if (!s)
        return std::nullopt;
    QList<Key> keys;
    int rc = SQLITE_ROW;
    while ((rc = sqlite3_step(s.get())) == SQLITE_ROW)
        keys.append({ChatDatabase::integerColumn(s.get(), 0), ChatDatabase::integerColumn(s.get(), 1)});
    if (rc != SQLITE_DONE)
        return std::nullopt;
    return keys;
}

std::optional<Chat> read(ChatDatabase& db, const Key& key, bool* gone)
{
    if (gone)
        *gone = false;
    const QString columns = QStringLiteral("SELECT title, pinned, is_council, council_on, created_at, updated_at, "
                                           "model_id, instructions FROM chats WHERE id=?");
    const ChatDatabase::Statement row =
        key.createdAt ? db.prepare(columns + QStringLiteral(" AND ") + ChatDatabase::sameCreatedAt, {key.id, *key.createdAt})
                      : db.prepare(columns, {key.id});
    const int64_t id = key.id;
    if (!row)
        return std::nullopt;
    if (const int rc = db.step(row.get()); rc != SQLITE_ROW) {
        if (gone)
            *gone = rc == SQLITE_DONE;
        return std::nullopt;
    }
    sqlite3_stmt* c = row.get();
    Chat chat;
    chat.title = ChatDatabase::textColumn(c, 0);
    chat.pinned = ChatDatabase::integerColumn(c, 1) != 0;
    chat.council = ChatDatabase::integerColumn(c, 2) != 0;
    chat.councilOn = ChatDatabase::integerColumn(c, 3) != 0;
    chat.createdAt = ChatDatabase::integerColumn(c, 4);
    chat.updatedAt = readIntegerOrNull(c, 5);
    chat.model = readTextOrNull(c, 6);
    chat.instructions = readTextOrNull(c, 7);

    // Each message once for every image it has, in order.
    const ChatDatabase::Statement rows = db.prepare(
        QStringLiteral("SELECT m.role, m.content, m.created_at, m.model_name, m.reasoning, m.reasoning_ms, m.id, %1 "
                       "FROM messages m%2 WHERE m.chat_id=? ORDER BY m.id, %3")
            .arg(ChatDatabase::imageColumns, db.imageJoin(), ChatDatabase::imageOrder),
        {id});
    if (!rows)
        return std::nullopt;
    sqlite3_stmt* m = rows.get();
    int rc = SQLITE_ROW;
    std::optional<int64_t> lastId;
    while ((rc = db.step(m)) == SQLITE_ROW) {
        const int64_t messageId = ChatDatabase::integerColumn(m, 6);
        std::optional<ChatImage> image = ChatDatabase::imageAt(m, 7);
        if (lastId == messageId) {
            if (image)
                chat.messages.last().images.append(std::move(*image));
            continue;
        }
        lastId = messageId;
        Message message;
        if (image)
            message.images.append(std::move(*image));
        message.role = ChatDatabase::isNull(m, 0) ? QStringLiteral("user") : ChatDatabase::textColumn(m, 0);
        message.text = ChatDatabase::textColumn(m, 1);
        message.createdAt = ChatDatabase::integerColumn(m, 2);
        message.model = readTextOrNull(m, 3);
        message.reasoning = readTextOrNull(m, 4);
        message.reasoningDurationMs = readIntegerOrNull(m, 5);
        if (message.role == QLatin1String("user")) {
            AttachmentBlocks::Split split = AttachmentBlocks::split(message.text);
            for (AttachmentBlocks::Block& block : split.blocks) {
                const QString kind = isImageName(block.name) ? QStringLiteral("image") : QStringLiteral("document");
                message.attachments.append({std::move(block.name), kind, std::move(block.text), block.truncated});
            }
            message.text = std::move(split.text);
        }
        chat.messages.append(std::move(message));
    }
    if (rc != SQLITE_DONE)
        return std::nullopt;
    return chat;
}

Added add(ChatDatabase& db, const Chat& chat)
{
    bool duplicate = false;
    const bool committed = db.transaction([&] {
        // Inside the transaction, so that two imports of one file at once
        // still add each chat once.
        const ChatDatabase::Statement same = db.prepare(
            QStringLiteral("SELECT id FROM chats WHERE ") + ChatDatabase::sameCreatedAtAndTitle,
            {chat.createdAt, chat.title});
        if (!same)
            return false;
        QList<int64_t> candidates;
        int rc = SQLITE_ROW;
        while ((rc = db.step(same.get())) == SQLITE_ROW)
            candidates.append(ChatDatabase::integerColumn(same.get(), 0));
        if (rc != SQLITE_DONE)
            return false;
        for (const int64_t id : candidates) {
            const std::optional<Chat> stored = read(db, {id, std::nullopt});
            if (!stored)
                return false;
            if (stored->messages.size() != chat.messages.size())
                continue;
            bool equal = true;
            for (qsizetype i = 0; equal && i < chat.messages.size(); ++i) {
                const Message& a = stored->messages[i];
                const Message& b = chat.messages[i];
                equal = a.role == b.role && storedContent(a) == storedContent(b) && a.createdAt == b.createdAt
                        && a.model == b.model && a.reasoning == b.reasoning
                        && a.reasoningDurationMs == b.reasoningDurationMs && a.images == b.images;
            }
            if (equal) {
                // Nothing to write; committed all the same, as a failed
                // transaction would count as a write that did not get through.
                duplicate = true;
                return true;
            }
        }

        const int64_t id = db.insertChat(chat.title, QString());
        if (id == 0)
            return false;
        if (db.update(QStringLiteral("UPDATE chats SET model_id=?, created_at=?, updated_at=?, pinned=?, "
                                     "is_council=?, council_on=?, instructions=? WHERE id=?"),
                      {Value::textOrNull(chat.model), chat.createdAt, Value::integerOrNull(chat.updatedAt),
                       int(chat.pinned), int(chat.council), int(chat.councilOn),
                       Value::textOrNull(chat.instructions), id})
            != 1)
            return false;
        for (const Message& message : chat.messages) {
            if (db.insertMessage(id, message.role, storedContent(message), Value::textOrNull(message.model),
                                 Value::textOrNull(message.reasoning),
                                 Value::integerOrNull(message.reasoningDurationMs), message.createdAt,
                                 message.images)
                == 0)
                return false;
        }
        return true;
    });
    if (!committed)
        return Added::notWritten;
    return duplicate ? Added::duplicate : Added::added;
}

} // namespace cvn::ChatArchive
