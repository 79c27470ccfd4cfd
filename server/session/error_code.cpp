#include "server/session/error_code.h"

QString errorMessage(int code)
{
    switch (code) {
    case UnknownError: return QStringLiteral("An unknown error occurred.");
    case NotInitialized: return QStringLiteral("The object is not initialized.");
    case InvalidCredentials: return QStringLiteral("The given credentials are not valid.");
    case InvalidToken: return QStringLiteral("The given token is invalid.");
    case PermissionDenied: return QStringLiteral("You do not have permission to perform this operation.");
    case NoSuchSession: return QStringLiteral("No session exists with the given id.");
    case NotASessionPath: return QStringLiteral("The path does not contain session information.");
    case InvalidState: return QStringLiteral("The requested operation can not be started from the current state.");
    case PathNotFound: return QStringLiteral("The path does not exist.");
    case NoOpenDisplay: return QStringLiteral("Failed to find an open display.");
    case CookieFailed: return QStringLiteral("Failed to generate an xauthority cookie.");
    case CreateDirectoryFailed: return QStringLiteral("Failed to create the session directory.");
    case ReadFileFailed: return QStringLiteral("Failed to read a session file.");
    case AgentStartFailed: return QStringLiteral("Failed to start the agent.");
    case ApplicationStartFailed: return QStringLiteral("Failed to start the application.");
    case ScreenShotStartFailed: return QStringLiteral("Failed to start the screen shot application.");
    case WriteFileFailed: return QStringLiteral("Failed to write a session file.");
    case AgentTimeout: return QStringLiteral("Timed out waiting for the agent.");
    default: return QString();
    }
}
