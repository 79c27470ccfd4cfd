#include "server/rpc/rpc_method.h"

RpcMethod::~RpcMethod() = default;
