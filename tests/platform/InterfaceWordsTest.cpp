// The texts the program shows name this computer, never the Mac platform the
// interface was first drawn for. Every string literal under src/ is read as
// the compiler would see it (comments, character literals, raw strings and
// include paths told apart), so identifiers and comments may still say what
// they need to. src/bridge/ is left out: its JSON describes the machine to a
// peer that expects those exact words.

#include <QDirIterator>
#include <QFile>
#include <QRegularExpression>
#include <QString>
#include <QStringList>

#include <gtest/gtest.h>

#include <ostream>

namespace {

struct Literal {
    int line = 0;
    QString text; // escapes resolved where they could join or split a word

    friend bool operator==(const Literal&, const Literal&) = default;
    friend void PrintTo(const Literal& literal, std::ostream* out)
    {
        *out << literal.line << ": \"" << literal.text.toStdString() << '"';
    }
};

// Resolves the escapes that matter for finding words; others stay as written.
QString unescaped(QStringView body)
{
    QString out;
    for (qsizetype i = 0; i < body.size(); ++i) {
        if (body[i] != u'\\' || i + 1 == body.size()) {
            out += body[i];
            continue;
        }
        const QChar next = body[++i];
        const int hexDigits = next == u'u' ? 4 : next == u'U' ? 8 : 0;
        bool ok = false;
        const char32_t code = hexDigits && i + hexDigits < body.size()
            ? body.sliced(i + 1, hexDigits).toUInt(&ok, 16)
            : 0;
        if (ok) {
            out += QString::fromUcs4(&code, 1);
            i += hexDigits;
        } else if (next == u'n' || next == u't' || next == u'r') {
            out += u' ';
        } else {
            out += next;
        }
    }
    return out;
}

// Every string literal of a C++ source, in order, with its line.
QList<Literal> stringLiterals(const QString& source)
{
    QList<Literal> found;
    int line = 1;
    const QStringView text(source);
    const qsizetype n = text.size();
    const auto wordBefore = [&](qsizetype at) {
        qsizetype start = at;
        while (start > 0 && (text[start - 1].isLetterOrNumber() || text[start - 1] == u'_'))
            --start;
        return text.sliced(start, at - start).toString();
    };
    const auto advanceTo = [&](qsizetype& i, qsizetype end) {
        line += int(text.sliced(i, end - i).count(u'\n'));
        i = end;
    };
    const QStringList rawPrefixes = {"R", "uR", "UR", "LR", "u8R"};
    for (qsizetype i = 0; i < n;) {
        const QChar c = source[i];
        if (c == u'\n') {
            ++line;
            ++i;
        } else if (text.sliced(i).startsWith(u"//")) {
            const qsizetype end = source.indexOf(u'\n', i);
            advanceTo(i, end < 0 ? n : end);
        } else if (text.sliced(i).startsWith(u"/*")) {
            const qsizetype end = source.indexOf(u"*/", i + 2);
            advanceTo(i, end < 0 ? n : end + 2);
        } else if (c == u'#' && text.sliced(i).startsWith(u"#include")) {
            // A header's path is no text the user reads.
            const qsizetype end = source.indexOf(u'\n', i);
            advanceTo(i, end < 0 ? n : end);
        } else if (c == u'\'') {
            // 1'000 is a digit separator, not the start of a character.
            const QString before = wordBefore(i);
            if (!before.isEmpty() && before[0].isDigit()) {
                ++i;
                continue;
            }
            qsizetype j = i + 1;
            while (j < n && source[j] != u'\'' && source[j] != u'\n')
                j += source[j] == u'\\' ? 2 : 1;
            advanceTo(i, std::min(j + 1, n));
        } else if (c == u'"') {
            const int at = line;
            if (rawPrefixes.contains(wordBefore(i))) {
                const qsizetype open = source.indexOf(u'(', i);
                if (open < 0)
                    break;
                const QString close = u')' + source.sliced(i + 1, open - i - 1) + u'"';
                const qsizetype end = source.indexOf(close, open);
                const qsizetype stop = end < 0 ? n : end;
                found.append({at, source.sliced(open + 1, stop - open - 1)});
                advanceTo(i, end < 0 ? n : end + close.size());
            } else {
                qsizetype j = i + 1;
                while (j < n && source[j] != u'"' && source[j] != u'\n')
                    j += source[j] == u'\\' ? 2 : 1;
                found.append({at, unescaped(text.sliced(i + 1, std::min(j, n) - i - 1))});
                advanceTo(i, std::min(j + 1, n));
            }
        } else {
            ++i;
        }
    }
    return found;
}

// Whether a text names the Mac platform: the words as written anywhere in
// it, and in any case as whole words ("METAL OFFLOAD" as much as "Metal").
bool namesTheMac(const QString& text)
{
    static const QRegularExpression words(QStringLiteral("\\b(mac|macos|metal|apple|finder)\\b"),
                                          QRegularExpression::CaseInsensitiveOption
                                              | QRegularExpression::UseUnicodePropertiesOption);
    for (const char* word : {"Mac", "macOS", "Metal", "Apple"}) {
        if (text.contains(QLatin1String(word), Qt::CaseSensitive))
            return true;
    }
    return text.contains(QChar(0x2318)) || words.match(text).hasMatch();
}

} // namespace

TEST(InterfaceWords, LiteralsAreToldApartFromCommentsIdentifiersAndIncludes)
{
    const QString source = QStringLiteral(
        "#include \"MacBridge.h\"\n"
        "// Your Mac: in a comment\n"
        "/* Metal\n offload */ bool supportsApple7Family = true;\n"
        "setAttribute(Qt::WA_MacShowFocusRect); const char q = '\"'; int n = 1'000;\n"
        "auto a = QStringLiteral(\"Your computer: \");\n"
        "auto b = R\"x(raw \"Metal\" text)x\"; auto c = u8\"say \\\"Apple\\\"\\nMac\";\n"
        "auto d = \"this computer's GPU\" \"\\u2318Q\"; auto e = \"METAL OFFLOAD\"; auto f = \"hardware.metalOffload\";\n");
    const QList<Literal> literals = stringLiterals(source);
    EXPECT_EQ(literals, (QList<Literal>{{6, "Your computer: "},
                                        {7, "raw \"Metal\" text"},
                                        {7, "say \"Apple\" Mac"},
                                        {8, "this computer's GPU"},
                                        {8, QString(QChar(0x2318)) + "Q"},
                                        {8, "METAL OFFLOAD"},
                                        {8, "hardware.metalOffload"}}));
    QList<bool> named;
    for (const Literal& literal : literals)
        named.append(namesTheMac(literal.text));
    EXPECT_EQ(named, (QList<bool>{false, true, true, false, true, true, false}));
}

TEST(InterfaceWords, NoStringLiteralUnderSrcNamesTheMac)
{
    const QString root = QStringLiteral(CVN_SOURCE_DIR "/src");
    QStringList offenders;
    int files = 0;
    QDirIterator it(root, {QStringLiteral("*.cpp"), QStringLiteral("*.h")}, QDir::Files,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QString relative = path.mid(root.size() + 1);
        if (relative.startsWith(QStringLiteral("bridge/")))
            continue;
        QFile file(path);
        ASSERT_TRUE(file.open(QIODevice::ReadOnly)) << path.toStdString();
        ++files;
        for (const Literal& literal : stringLiterals(QString::fromUtf8(file.readAll()))) {
            if (namesTheMac(literal.text))
                offenders << QStringLiteral("src/%1:%2: \"%3\"").arg(relative).arg(literal.line).arg(literal.text);
        }
    }
    EXPECT_GT(files, 100) << "the sources were not found under " << root.toStdString();
    EXPECT_TRUE(offenders.isEmpty()) << offenders.join(u'\n').toStdString();
}
