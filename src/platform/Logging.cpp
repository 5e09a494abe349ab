#include "platform/Logging.h"

Q_LOGGING_CATEGORY(lcRuntime, "org.corvanthelis.models.runtime", QtInfoMsg)
Q_LOGGING_CATEGORY(lcBridge, "org.corvanthelis.models.bridge", QtInfoMsg)
Q_LOGGING_CATEGORY(lcProtocol, "org.corvanthelis.models.protocol", QtInfoMsg)
Q_LOGGING_CATEGORY(lcChatDatabase, "org.corvanthelis.models.ChatDatabase", QtInfoMsg)
