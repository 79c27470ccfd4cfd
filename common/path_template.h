#pragma once

#include <QString>

// Replaces @HOME@, @TEMP@, @USER@ and @HOST@ in one pass; text produced by a value is not scanned
// again, and unknown or differently cased names stay as they are.
QString expandPathTemplate(const QString &text);
