#pragma once

#include <QString>

// The client's own settings, ~/.config/Orvane/lumen.conf (INI), which lumen only reads. Keys at
// the top level hold for every host; a group named after a host (as the user names it on the
// command line, or its machine name) overrides them for that host.
class ClientSettings
{
public:
    // The settings file of the user running lumen.
    static QString path();

    // sbatch's options for `start --slurm` without a value on this host; empty when none are set.
    static QString slurmOptions(const QString &hostAsNamed, const QString &machine);
};
