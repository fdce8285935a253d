#pragma once

#include <QLoggingCategory>

// Event log categories: QT_LOGGING_RULES selects them as for any Qt program
// ("quaylight.net.debug=false"). Events an operator reads afterwards are logged
// at info level.
Q_DECLARE_LOGGING_CATEGORY(lcSerial) // quaylight.serial: port opened, closed, lost, refused
Q_DECLARE_LOGGING_CATEGORY(lcNet)    // quaylight.net: listening, peers, socket errors
Q_DECLARE_LOGGING_CATEGORY(lcApp)    // quaylight.app: start, exit, settings, messages
Q_DECLARE_LOGGING_CATEGORY(lcLink)   // quaylight.link: the link to a remote hub, its line and answers
