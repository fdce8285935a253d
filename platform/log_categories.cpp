#include "platform/log_categories.h"

Q_LOGGING_CATEGORY(lcSerial, "quaylight.serial", QtInfoMsg)
Q_LOGGING_CATEGORY(lcNet, "quaylight.net", QtInfoMsg)
Q_LOGGING_CATEGORY(lcApp, "quaylight.app", QtInfoMsg)
Q_LOGGING_CATEGORY(lcLink, "quaylight.link", QtInfoMsg)
