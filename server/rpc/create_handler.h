#pragma once

class Handler;
class QIODevice;
struct RpcContext;

// Builds the handler of one connection with a fresh set of method objects. The caller makes the
// device the handler's parent.
Handler *createHandler(RpcContext *context, QIODevice *device);
