#pragma once

#include <QLoggingCategory>

// The application's log categories: subsystem "org.corvanthelis.models" and
// one category each. Enable with QT_LOGGING_RULES, e.g.
// "org.corvanthelis.models.runtime.debug=true".
Q_DECLARE_LOGGING_CATEGORY(lcRuntime)
Q_DECLARE_LOGGING_CATEGORY(lcBridge)
Q_DECLARE_LOGGING_CATEGORY(lcProtocol)
Q_DECLARE_LOGGING_CATEGORY(lcChatDatabase)
