#pragma once

#include <QString>

// The text of `lumen --help`, or of `lumen HOST COMMAND --help` for one command.
QString helpText(const QString &command);
