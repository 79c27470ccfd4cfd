#pragma once

#include <QString>

// Outcome of every session operation: 0 for success, one of these negative codes otherwise. The
// detail of a failure goes to the log; callers and clients only ever see the code.
enum ErrorCode : qint32 {
    NoError = 0,
    UnknownError = -99,
    NotInitialized = -98,
    InvalidCredentials = -97,
    InvalidToken = -96,
    PermissionDenied = -95,
    NoSuchSession = -94,
    NotASessionPath = -93,
    InvalidState = -92,
    PathNotFound = -91,
    NoOpenDisplay = -89,
    CookieFailed = -88,
    CreateDirectoryFailed = -87,
    ReadFileFailed = -86,
    AgentStartFailed = -84,
    ApplicationStartFailed = -83,
    ScreenShotStartFailed = -82,
    WriteFileFailed = -80,
    AgentTimeout = -77,
};

// The fixed text of a code; a null string for 0 and for any code not listed above.
QString errorMessage(int code);
