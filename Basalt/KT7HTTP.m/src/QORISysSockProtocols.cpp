#include "QORISysSockProtocols.h"

// Out of line, so the interfaces' type information lives in the framework and is exported.
QORISysSockProtocolRq::QORISysSockProtocolRq() = default;
QORISysSockProtocolRq::~QORISysSockProtocolRq() = default;

QORISysSockProtocols::QORISysSockProtocols() = default;
QORISysSockProtocols::~QORISysSockProtocols() = default;
