#pragma once

#include <QString>

// How far the making or the removal of a session has got, recorded in its directory (the file
// "stage", one word) while either is under way, so that a server that takes over after the previous
// one was killed can tell a half-made or half-removed session from a live one. A directory without
// the file holds a session that was completed (or was made before the record existed).
//
// Each stage is recorded before the step it names, so a crash leaves the stage of the step that was
// in progress. The record is written in place: a crash in the middle of a write leaves it empty,
// which reads as Unknown.
class SessionStage
{
public:
    enum Stage {
        Complete,            // no record: the application was started
        Preparing,           // the directory is being filled; an agent may have been launched, unrecorded
        AgentLaunched,       // the agent's launcher is in "monitor_pid"; the application was not started
        StartingApplication, // the application may or may not have been started
        Removing,            // the session ended and its files are being removed
        Unknown,             // a record that cannot be read
    };

    static Stage read(const QString &directory);
    static bool write(const QString &directory, Stage stage, QString &error);
    // Marks the session as complete by removing the record.
    static bool clear(const QString &directory, QString &error);

    static QString name(Stage stage);
};
