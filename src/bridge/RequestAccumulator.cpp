#include "bridge/RequestAccumulator.h"

#include "bridge/Json.h"
#include "bridge/RigInspector.h"
#include "platform/Unicode.h"

#include <QStringList>

#include <cstdlib>

namespace cvn {

namespace {

constexpr QByteArrayView terminator = "\r\n\r\n";

const QString noRequestLine = QStringLiteral("(no request line - rejected before parsing)");

QString reasonPhrase(int status)
{
    switch (status) {
    case 200: return QStringLiteral("OK");
    case 204: return QStringLiteral("No Content");
    case 400: return QStringLiteral("Bad Request");
    case 403: return QStringLiteral("Forbidden");
    case 404: return QStringLiteral("Not Found");
    case 405: return QStringLiteral("Method Not Allowed");
    case 431: return QStringLiteral("Request Header Fields Too Large");
    default: return QStringLiteral("Internal Server Error");
    }
}

BridgeAnswer makeAnswer(int status, const QString& requestLine, const std::optional<QString>& origin,
                        bool devCors, const QByteArray& body = {})
{
    const QString website = QString::fromLatin1(websiteOrigin);
    QString allowed = website;
    if (origin && !origin->isEmpty() && *origin != website && devCors && isDevLoopbackOrigin(*origin))
        allowed = *origin;

    BridgeAnswer answer;
    answer.status = status;
    answer.reason = reasonPhrase(status);
    answer.requestLine = requestLine;
    QByteArray& out = answer.bytes;
    out += "HTTP/1.1 " + QByteArray::number(status) + ' ' + answer.reason.toLatin1() + "\r\n";
    out += "Access-Control-Allow-Origin: " + allowed.toLatin1() + "\r\n";
    out += "Access-Control-Allow-Methods: GET, OPTIONS\r\n";
    out += "Access-Control-Max-Age: 86400\r\n";
    if (status == 405)
        out += "Allow: GET, OPTIONS\r\n";
    if (!body.isEmpty())
        out += "Content-Type: application/json; charset=utf-8\r\n";
    out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    out += "Connection: close\r\n\r\n";
    out += body;
    return answer;
}

bool equalsIgnoringAsciiCase(QStringView text, QLatin1StringView word)
{
    if (text.size() != word.size())
        return false;
    for (qsizetype i = 0; i < text.size(); ++i) {
        const char16_t c = text[i].unicode();
        const char16_t lower = (c >= u'A' && c <= u'Z') ? char16_t(c + 32) : c;
        if (lower != static_cast<unsigned char>(word[i].toLatin1()))
            return false;
    }
    return true;
}

} // namespace

bool isDevLoopbackOrigin(QStringView origin)
{
    constexpr QLatin1StringView scheme("http://");
    if (origin.size() < scheme.size() || !equalsIgnoringAsciiCase(origin.first(scheme.size()), scheme))
        return false;
    QStringView rest = origin.sliced(scheme.size());
    const qsizetype colon = rest.indexOf(QLatin1Char(':'));
    const QStringView host = colon < 0 ? rest : rest.first(colon);
    if (!equalsIgnoringAsciiCase(host, QLatin1StringView("localhost"))
        && host != QLatin1StringView("127.0.0.1"))
        return false;
    if (colon < 0)
        return true;
    const QStringView port = rest.sliced(colon + 1);
    if (port.isEmpty() || port.size() > 5)
        return false;
    for (const QChar c : port) {
        if (c.unicode() < u'0' || c.unicode() > u'9')
            return false;
    }
    return true;
}

bool isLoopbackHost(QStringView host, uint16_t serverPort)
{
    // IPv6 literals are bracketed, so the last ":" after any "]" starts the port.
    const qsizetype colon = host.lastIndexOf(QLatin1Char(':'));
    const bool hasPort = colon >= 0 && colon > host.lastIndexOf(QLatin1Char(']'));
    const QStringView name = hasPort ? host.first(colon) : host;
    if (hasPort && host.sliced(colon + 1) != QString::number(serverPort))
        return false;
    return name == QLatin1StringView("127.0.0.1") || name == QLatin1StringView("[::1]")
        || equalsIgnoringAsciiCase(name, QLatin1StringView("localhost"));
}

bool devCorsEnabled()
{
    const char* value = std::getenv("DEV_CORS");
    return value && QString::fromUtf8(value).toLower() == QLatin1String("true");
}

QString escapeForLog(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        const char16_t u = c.unicode();
        if (u == u'\n') {
            out += QLatin1String("\\n");
        } else if (u == u'\r') {
            out += QLatin1String("\\r");
        } else if (u == u'\t') {
            out += QLatin1String("\\t");
        } else if (u < 0x20 || (u >= 0x7F && u <= 0x9F)) {
            out += QStringLiteral("\\x%1").arg(int(u), 2, 16, QLatin1Char('0'));
        } else {
            out += c;
        }
    }
    return out;
}

BridgeAnswer answerOversized()
{
    return makeAnswer(431, noRequestLine, std::nullopt, false);
}

BridgeAnswer answerHeader(QByteArrayView header, bool devCors, uint16_t serverPort)
{
    const QString text = QString::fromUtf8(header);
    const QStringList lines = text.split(QStringLiteral("\r\n"));
    // split() always gives at least one line, empty for an empty header.
    const QString requestLine = lines.first().isEmpty() ? QStringLiteral("(empty request line)") : lines.first();

    const QStringList pieces = lines.first().split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (pieces.size() < 2)
        return makeAnswer(400, requestLine, std::nullopt, devCors);
    const QString method = pieces[0].toUpper();

    std::optional<QString> origin;
    bool foreignHost = false;
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QString lower = lines[i].toLower();
        if (!origin && lower.startsWith(QLatin1String("origin:")))
            origin = trimSpaces(QStringView(lines[i]).sliced(7)).toString();
        // Every Host line counts: a second one must not slip a foreign name past.
        if (lower.startsWith(QLatin1String("host:")))
            foreignHost = foreignHost || !isLoopbackHost(trimSpaces(QStringView(lines[i]).sliced(5)), serverPort);
    }

    // Before any route, pre-flights included: a rebound name never reads
    // anything, whatever it asks.
    if (foreignHost)
        return makeAnswer(403, requestLine, origin, devCors);

    if (method == QLatin1String("OPTIONS"))
        return makeAnswer(204, requestLine, origin, devCors);

    QString path = pieces[1];
    const qsizetype query = path.indexOf(QLatin1Char('?'));
    if (query >= 0)
        path.truncate(query);
    if (path.size() >= 2 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    path = path.toLower();

    const bool health = path == QLatin1String("/health");
    const bool rig = path == QLatin1String("/rig");
    if (!health && !rig)
        return makeAnswer(404, requestLine, origin, devCors);
    if (method != QLatin1String("GET"))
        return makeAnswer(405, requestLine, origin, devCors);
    if (health)
        return makeAnswer(200, requestLine, origin, devCors, RigInspector::healthJson());
    if (const std::optional<QByteArray> snapshot = RigInspector::cachedSnapshot())
        return makeAnswer(200, requestLine, origin, devCors, *snapshot);
    const Json error = Json::object(
        {{"error", Json::string(std::string_view("hardware could not be read on this machine"))}});
    return makeAnswer(500, requestLine, origin, devCors, QByteArray::fromStdString(error.render()));
}

std::optional<BridgeAnswer> RequestAccumulator::feed(QByteArrayView bytes, bool devCors)
{
    if (m_answered)
        return std::nullopt;
    m_buffer.append(bytes);
    // Resume the search a little before the old end: the terminator may
    // straddle two reads.
    const qsizetype from = std::max<qsizetype>(0, m_searchedUpTo - (terminator.size() - 1));
    const qsizetype end = QByteArrayView(m_buffer).indexOf(terminator, from);
    if (end >= 0) {
        m_answered = true;
        return answerHeader(QByteArrayView(m_buffer).first(end), devCors, m_serverPort);
    }
    m_searchedUpTo = m_buffer.size();
    if (m_buffer.size() > headerLimit) {
        m_answered = true;
        return answerOversized();
    }
    return std::nullopt;
}

} // namespace cvn
