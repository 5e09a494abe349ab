#pragma once

// The answer to URLs of the application's schemes, corvanthelis:// and
// tromelvask://, with which the product website opens the application.
//
// handle() is pure: it takes the URL text as it arrived (argument, forwarded
// line) and says what to do about it: the lines for the "protocol" log, the
// toast to show, and whether the window comes forward. The caller carries
// those out on the main thread (AppController). The URL is split by hand
// rather than through QUrl, which lower-cases the scheme and quietly repairs
// broken percent escapes, both of which the log and the checks must see.

#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

namespace cvn::DeepLink {

inline const QString addModelToast = QStringLiteral("Adding models from the website is coming in a later update.");
inline const QString viewModelToast = QStringLiteral("Opening models from the website is coming in a later update.");
inline const QString missingRepoToast = QStringLiteral("Missing model reference");
inline const QString invalidRepoToast = QStringLiteral("That model link is not valid");

// Limits at which a text is cut for the log (its first limit - 1
// characters followed by "...").
constexpr int urlLogLimit = 257;
constexpr int wordLogLimit = 49;
constexpr int repoLogLimit = 65;

struct Outcome {
    QStringList log;               // in the order written
    std::optional<QString> toast;  // an information toast for the chat screen
    bool raiseWindow = false;      // bring the window forward (before the toast)
};

// No URL (a bare activation) opens the default view.
Outcome handle(const std::optional<QString>& url);

// The query's parameters by lower-cased name, the last of a name winning.
// Pieces without a name are skipped; a piece whose percent escapes are broken
// is skipped with a line appended to `log`.
QHash<QString, QString> parseQuery(const QString& url, QStringList* log = nullptr);

// Percent decoding that refuses a "%" without two hex digits after it and
// bytes that are not UTF-8.
std::optional<QString> percentDecoded(QStringView text);

// Trims tabs and space separators at both ends, keeping line breaks.
QString trimmedSpaces(const QString& text);

// owner/name, each 1 to 96 ASCII letters, digits, ".", "_" or "-", starting
// with a letter or digit; the whole text must match.
bool isValidRepo(const QString& repo);

// The text cut for the log at `limit`, with control characters written as
// escapes ("\n", "\x01") so one log line stays one line.
QString forLog(const QString& text, int limit);

} // namespace cvn::DeepLink
