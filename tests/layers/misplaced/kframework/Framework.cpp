#include "kframework/Framework.h"

#include "client/Client.h"

void Settle() { plat::PnpSettle(); }
