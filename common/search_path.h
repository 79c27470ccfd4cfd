#pragma once

// Lets a program find its companions (lumen_sci, lumen_server, start-agent and start-app) in its own
// folder when the search path holds none of them, as when they are run from a build folder: the
// folder goes to the end of PATH, so that whatever PATH names comes first. Children inherit it.
// Needs the application object (for its folder).
void appendProgramFolderToPath();
