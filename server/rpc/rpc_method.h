#pragma once

#include <json/value.h>

// One remote procedure. Calls arrive on pool threads, so an implementation keeps no state that two
// connections could race on.
class RpcMethod
{
public:
    virtual ~RpcMethod();

    // `params` is the request's "params" (null when absent) and `result` starts as null. Returns true
    // with the result in `result`, or false with the error object {"code":…,"message":…} in it.
    // Bad input is answered with an error object, never with an exception.
    virtual bool invoke(Json::Value params, Json::Value &result) = 0;

    // {"description":…,"parameters":…,"returns":…}; depends only on the class.
    virtual Json::Value describe() = 0;
};
