#include "RawDatabase.h"

#include "support/TempEnv.h"

#include <QFile>

#include <gtest/gtest.h>
#include <sqlite3.h>

namespace cvn::test {

RawDatabase::RawDatabase(const QString& path)
{
    EXPECT_EQ(sqlite3_open_v2(QFile::encodeName(path).constData(), &m_db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE,
                              nullptr),
              SQLITE_OK);
    sqlite3_busy_timeout(m_db, 5000);
}

RawDatabase::~RawDatabase()
{
    sqlite3_close_v2(m_db);
}

QList<QVariantList> RawDatabase::rows(const QString& sql, const QVariantList& values) const
{
    QList<QVariantList> result;
    sqlite3_stmt* statement = nullptr;
    const QByteArray text = sql.toUtf8();
    if (sqlite3_prepare_v2(m_db, text.constData(), int(text.size()), &statement, nullptr) != SQLITE_OK) {
        ADD_FAILURE() << "prepare failed: " << sqlite3_errmsg(m_db) << " in " << text.constData();
        return result;
    }
    for (int i = 0; i < values.size(); ++i) {
        if (values[i].typeId() == QMetaType::QString) {
            const QByteArray utf8 = values[i].toString().toUtf8();
            sqlite3_bind_text64(statement, i + 1, utf8.constData(), utf8.size(), SQLITE_TRANSIENT, SQLITE_UTF8);
        } else {
            sqlite3_bind_int64(statement, i + 1, values[i].toLongLong());
        }
    }
    while (sqlite3_step(statement) == SQLITE_ROW) {
        QVariantList row;
        for (int c = 0; c < sqlite3_column_count(statement); ++c) {
            switch (sqlite3_column_type(statement, c)) {
            case SQLITE_NULL:
                row.append(QVariant());
                break;
            case SQLITE_INTEGER:
                row.append(QVariant(qint64(sqlite3_column_int64(statement, c))));
                break;
            default: {
                const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(statement, c));
                row.append(QVariant(QString::fromUtf8(p, sqlite3_column_bytes(statement, c))));
                break;
            }
            }
        }
        result.append(row);
    }
    sqlite3_finalize(statement);
    return result;
}

QVariant RawDatabase::value(const QString& sql, const QVariantList& values) const
{
    const QList<QVariantList> result = rows(sql, values);
    return result.isEmpty() || result.first().isEmpty() ? QVariant() : result.first().first();
}

bool RawDatabase::exec(const QString& sql)
{
    return sqlite3_exec(m_db, sql.toUtf8().constData(), nullptr, nullptr, nullptr) == SQLITE_OK;
}

QString newDatabasePath()
{
    return makeTempFolder(QStringLiteral("db")) + QStringLiteral("/chats.db");
}

} // namespace cvn::test
