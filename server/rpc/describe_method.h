#pragma once

#include "server/rpc/rpc_method.h"

#include <QMap>
#include <QString>

// "system.describe": the description document of every method in the table, itself included.
class DescribeMethod : public RpcMethod
{
public:
    // The table is not owned; the dispatcher that owns it owns this method too.
    explicit DescribeMethod(const QMap<QString, RpcMethod *> *methods);

    bool invoke(Json::Value params, Json::Value &result) override;
    Json::Value describe() override;

private:
    const QMap<QString, RpcMethod *> *methods;
};
