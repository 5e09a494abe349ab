#include "app/DeepLink.h"

#include "platform/Unicode.h"

#include <QRegularExpression>
#include <QStringDecoder>

namespace cvn::DeepLink {

namespace {

struct SplitUrl {
    std::optional<QString> scheme; // as written
    std::optional<QString> host;
    std::optional<QString> query;  // still percent-encoded
};

bool isSchemeText(QStringView text)
{
    if (text.isEmpty() || !(text[0].isLetter() && text[0].unicode() < 0x80))
        return false;
    for (QChar c : text) {
        const char16_t u = c.unicode();
        const bool ok = (u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') || u == '+'
                        || u == '.' || u == '-';
        if (!ok)
            return false;
    }
    return true;
}

SplitUrl split(const QString& url)
{
    SplitUrl parts;
    qsizetype rest = 0;
    const qsizetype colon = url.indexOf(QLatin1Char(':'));
    if (colon > 0 && isSchemeText(QStringView(url).left(colon))) {
        parts.scheme = url.left(colon);
        rest = colon + 1;
    }
    const qsizetype hash = url.indexOf(QLatin1Char('#'), rest);
    const QStringView body = QStringView(url).mid(rest, hash < 0 ? -1 : hash - rest);
    const qsizetype question = body.indexOf(QLatin1Char('?'));
    if (question >= 0)
        parts.query = body.mid(question + 1).toString();
    if (body.startsWith(QLatin1String("//"))) {
        QStringView authority = body.mid(2);
        for (qsizetype i = 0; i < authority.size(); ++i) {
            if (authority[i] == QLatin1Char('/') || authority[i] == QLatin1Char('?')) {
                authority = authority.left(i);
                break;
            }
        }
        if (const qsizetype at = authority.lastIndexOf(QLatin1Char('@')); at >= 0)
            authority = authority.mid(at + 1);
        if (const qsizetype port = authority.lastIndexOf(QLatin1Char(':'));
            port >= 0 && !authority.startsWith(QLatin1Char('[')))
            authority = authority.left(port);
        if (!authority.isEmpty())
            parts.host = authority.toString();
    }
    return parts;
}

int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

} // namespace

std::optional<QString> percentDecoded(QStringView text)
{
    const QByteArray in = text.toUtf8();
    QByteArray bytes;
    bytes.reserve(in.size());
    for (qsizetype i = 0; i < in.size(); ++i) {
        if (in[i] != '%') {
            bytes.append(in[i]);
            continue;
        }
        if (i + 2 >= in.size())
            return std::nullopt;
        const int high = hexValue(in[i + 1]);
        const int low = hexValue(in[i + 2]);
        if (high < 0 || low < 0)
            return std::nullopt;
        bytes.append(char(high * 16 + low));
        i += 2;
    }
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString decoded = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return decoded;
}

QString trimmedSpaces(const QString& text)
{
    const auto isSpace = [](char32_t c) { return isSpaceSeparatorOrTab(c); };
    const std::u32string points = text.toStdU32String();
    std::size_t from = 0;
    std::size_t to = points.size();
    while (from < to && isSpace(points[from]))
        ++from;
    while (to > from && isSpace(points[to - 1]))
        --to;
    return QString::fromStdU32String(points.substr(from, to - from));
}

bool isValidRepo(const QString& repo)
{
    // anchoredPattern ends in \z: unlike "$", it does not let a final line
    // feed through.
    static const QRegularExpression rule(QRegularExpression::anchoredPattern(
        QStringLiteral("[A-Za-z0-9][A-Za-z0-9._-]{0,95}/[A-Za-z0-9][A-Za-z0-9._-]{0,95}")));
    return rule.match(repo).hasMatch();
}

QString forLog(const QString& text, int limit)
{
    const std::u32string points = text.toStdU32String();
    std::u32string kept = points;
    bool cut = false;
    if (points.size() >= std::size_t(limit)) {
        kept = points.substr(0, std::size_t(limit - 1));
        cut = true;
    }
    QString out;
    for (char32_t c : kept) {
        if (c == U'\n')
            out += QLatin1String("\\n");
        else if (c == U'\r')
            out += QLatin1String("\\r");
        else if (c == U'\t')
            out += QLatin1String("\\t");
        else if (c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x2028 || c == 0x2029)
            out += QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
        else
            out += QString::fromStdU32String(std::u32string(1, c));
    }
    if (cut)
        out += QLatin1String("...");
    return out;
}

QHash<QString, QString> parseQuery(const QString& url, QStringList* log)
{
    QHash<QString, QString> parameters;
    const SplitUrl parts = split(url);
    if (!parts.query || parts.query->isEmpty())
        return parameters;
    for (const QString& piece : parts.query->split(QLatin1Char('&'), Qt::SkipEmptyParts)) {
        const qsizetype equals = piece.indexOf(QLatin1Char('='));
        if (equals <= 0)
            continue;
        QString rawValue = piece.mid(equals + 1);
        rawValue.replace(QLatin1Char('+'), QLatin1Char(' '));
        const std::optional<QString> name = percentDecoded(QStringView(piece).left(equals));
        const std::optional<QString> value = percentDecoded(rawValue);
        if (!name || !value) {
            if (log)
                log->append(QStringLiteral("skipping malformed query parameter '%1'").arg(forLog(piece, wordLogLimit)));
            continue;
        }
        if (name->isEmpty())
            continue;
        parameters.insert(name->toLower(), *value);
    }
    return parameters;
}

Outcome handle(const std::optional<QString>& url)
{
    Outcome outcome;
    const auto openDefaultView = [&outcome] { outcome.raiseWindow = true; };
    if (!url) {
        outcome.log << QStringLiteral("activation with no URL; opening default view");
        openDefaultView();
        return outcome;
    }
    outcome.log << QStringLiteral("activated: ") + forLog(*url, urlLogLimit);

    const SplitUrl parts = split(*url);
    const QString scheme = parts.scheme.value_or(QString());
    if (scheme.toLower() != QLatin1String("corvanthelis") && scheme.toLower() != QLatin1String("tromelvask")) {
        outcome.log << QStringLiteral("unexpected scheme '%1'; opening default view").arg(forLog(scheme, urlLogLimit));
        openDefaultView();
        return outcome;
    }
    if (parts.host && parts.host->toLower() == QLatin1String("health")) {
        outcome.log << QStringLiteral("health check");
        return outcome;
    }

    const QHash<QString, QString> query = parseQuery(*url, &outcome.log);
    const QString action = trimmedSpaces(query.value(QStringLiteral("action"))).toLower();
    if (action == QLatin1String("add-model") || action == QLatin1String("view-model")) {
        openDefaultView();
        const QString repo = trimmedSpaces(query.value(QStringLiteral("repo")));
        if (repo.isEmpty()) {
            outcome.log << action + QStringLiteral(": missing repo parameter");
            outcome.toast = missingRepoToast;
        } else if (!isValidRepo(repo)) {
            outcome.log << action + QStringLiteral(": rejected repo reference '%1'").arg(forLog(repo, repoLogLimit));
            outcome.toast = invalidRepoToast;
        } else {
            outcome.log << action + QStringLiteral(": repo=") + repo;
            outcome.toast = action == QLatin1String("add-model") ? addModelToast : viewModelToast;
        }
        return outcome;
    }
    if (action.isEmpty())
        outcome.log << QStringLiteral("no action in query; opening default view");
    else
        outcome.log << QStringLiteral("unknown action '%1'; opening default view").arg(forLog(action, wordLogLimit));
    openDefaultView();
    return outcome;
}

} // namespace cvn::DeepLink
