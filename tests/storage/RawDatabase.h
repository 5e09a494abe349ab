#pragma once

#include <QList>
#include <QString>
#include <QVariant>

struct sqlite3;

namespace cvn::test {

// A second, plain connection to a database file, so tests see what is really
// on disk rather than what ChatDatabase reports.
class RawDatabase {
public:
    explicit RawDatabase(const QString& path);
    ~RawDatabase();

    RawDatabase(const RawDatabase&) = delete;
    RawDatabase& operator=(const RawDatabase&) = delete;

    // Every row of a query; NULL is an invalid QVariant, integers are
    // qint64, texts QString (read with their byte length).
    QList<QVariantList> rows(const QString& sql, const QVariantList& values = {}) const;
    // The first column of the first row, or an invalid QVariant.
    QVariant value(const QString& sql, const QVariantList& values = {}) const;
    // A script; true on success.
    bool exec(const QString& sql);

private:
    sqlite3* m_db = nullptr;
};

// A path for a database file that does not exist yet, in a new temporary
// folder.
QString newDatabasePath();

} // namespace cvn::test
