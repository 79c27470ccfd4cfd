#pragma once

// Name, version and organisation shared by all three programs; they also select the settings store.
void setApplicationIdentity();

extern const char *const applicationVersion;
