#pragma once

class Dispatcher;
class SessionManager;

// Registers the "Live.*" methods the server offers its clients and peers. A new method is a class
// of its own in server/rpc/ and one line here.
void addLiveMethods(Dispatcher &dispatcher, SessionManager *sessionManager);
