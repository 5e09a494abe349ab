#pragma once

#include <QString>

// Statements on a chat's row that both the transcript writes and the
// chat-wide changes of ChatHistory run.
namespace cvn::chatRowSql {

inline const QString setCouncilOn = QStringLiteral("UPDATE chats SET council_on=? WHERE id=?");
inline const QString markCouncil = QStringLiteral("UPDATE chats SET is_council=1 WHERE id=?");

} // namespace cvn::chatRowSql
